// gwctl: the stand-in host as a command-line tool. It drives the library as the host
// application does, against the emulated gateway (in process or over TCP), and prints what the
// host's screens would show.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Diagnostics.h"
#include "EmulatorConnection.h"
#include "FirmwareFiles.h"
#include "Folders.h"
#include "Gateway.h"
#include "PopupDrivers.h"
#include "ProcessUtils.h"
#include "TerminalIo.h"
#include "ValueStore.h"
#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "devices/SerialNumList.h"
#include "gateway/CGatewayChecks.h"
#include "platform/Environment.h"
#include "platform/Os.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

constexpr int kStdin = 0;
constexpr int kStderr = 2;

// Exit codes, as diff has them.
constexpr int kExitSame = 0;
constexpr int kExitDifferences = 1;
constexpr int kExitTrouble = 2;

constexpr const char* kCodeLabels[] = {"LC", "PROM", "BS", "CPLD", "MAC"};
constexpr CODETYPE kCodeTypes[] = {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE};

CODETYPE CodeTypeOf(const std::string& label) {
    for (const CODETYPE codeType : kCodeTypes) {
        if (label == kCodeLabels[codeType]) {
            return codeType;
        }
    }
    return LC_CODE;
}

DIFFTYPE VerdictOf(const CCodeDiffResults& results, CODETYPE codeType) {
    const DIFFTYPE verdicts[] = {results.m_eLC, results.m_ePROM, results.m_eBS, results.m_eCPLD,
                                 results.m_eMAC};
    return verdicts[codeType];
}

json VerdictsJson(const CCodeDiffResults& results) {
    json out = json::object();
    for (const CODETYPE codeType : kCodeTypes) {
        out[kCodeLabels[codeType]] = gwu::DiffTypeWord(VerdictOf(results, codeType));
    }
    return out;
}

struct Options {
    std::string command;
    std::string card = "VCL";
    std::string device;
    std::string firmware;
    std::string runtime;
    std::string logs;
    std::string customCpld;
    std::optional<std::string> keys;
    bool json = false;
    bool verbose = false;
};

// Everything one run of the tool needs: folders, the gateway connection, the host frame and
// the facade. Owns them all; the facade is destroyed first.
class Session {
public:
    explicit Session(const Options& options) : m_options(options) {}
    ~Session() {
        m_checks.reset();
        if (!m_scratch.empty()) {
            std::error_code ec;
            fs::remove_all(m_scratch, ec);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Sets up folders, device and input; a message in error when that fails.
    bool Open(std::string& error);
    int Run();

private:
    bool Communication() const { return m_options.card == "VCL"; }
    void Check(CCodeDiffResults& results, bool& read);
    json Snapshot(const CCodeDiffResults& results, bool read);
    void PrintSnapshot(const json& snapshot) const;
    int Finish(json document, bool read, bool differences);
    int CommandCheck();
    int CommandUpdate();
    int CommandCable();
    int CommandList();

    const Options& m_options;
    std::string m_firmware;
    std::string m_scratch;  // a working copy of the sample firmware, removed at the end
    std::string m_deviceText;
    std::unique_ptr<gwu::emu::Gateway> m_gateway;
    std::unique_ptr<CBaseComms> m_comms;
    gwu::host::Frame m_frame;
    std::unique_ptr<CGatewayChecks> m_checks;
};

bool Session::Open(std::string& error) {
    const fs::path samples = GWU_SAMPLE_DIR;
    // Folders: the option, else the environment, else the sample folders.
    auto folder = [](const std::string& option, const char* variable) {
        if (!option.empty()) {
            gwu::host::SetEnvVar(variable, option);
        }
        const char* value = std::getenv(variable);
        return value != nullptr && *value != '\0';
    };
    folder(m_options.runtime, gwu::host::kRuntimeDirVariable);
    folder(m_options.logs, gwu::host::kLogDirVariable);
    const bool tcp = m_options.device.rfind("tcp://", 0) == 0;
    const bool firmwareNamed = folder(m_options.firmware, gwu::host::kFirmwareDirVariable);
    if (tcp && !firmwareNamed && (m_options.command == "update" || m_options.command == "cable")) {
        // The device behind gwemu loads from gwemu's folder, which only the user knows; the
        // shipped samples are never the target of an update.
        error = "over TCP an update needs the firmware folder gwemu uses (--firmware or " +
                std::string(gwu::host::kFirmwareDirVariable) + ")";
        return false;
    }
    if (!firmwareNamed && !tcp) {
        // An update moves release files: the in-process device works on a scratch copy of
        // the sample release, never on the shipped folder itself.
        m_scratch = gwu::host::MakeTempFolder("gwctl-firmware-");
        if (m_scratch.empty()) {
            error = "cannot create a working copy of the sample firmware folder";
            return false;
        }
        std::error_code ec;
        fs::copy(samples / "firmware", m_scratch, fs::copy_options::recursive, ec);
        if (ec) {
            error = "cannot copy the sample firmware folder: " + ec.message();
            return false;
        }
        gwu::host::SetEnvVar(gwu::host::kFirmwareDirVariable, m_scratch);
    }
    fs::create_directories(gwu::host::LogFolder());
    m_firmware = gwu::host::FirmwareFolder();

    if (tcp) {
        std::string host;
        int port = 0;
        if (!gwu::host::TcpConnection::ParseAddress(m_options.device, host, port)) {
            error = "bad device address '" + m_options.device + "' (expected tcp://HOST:PORT)";
            return false;
        }
        m_comms = std::make_unique<gwu::host::TcpConnection>(host, port);
        m_deviceText = m_options.device;
    } else {
        std::string scenario = (samples / "scenarios" / "behind.json").string();
        if (!m_options.device.empty()) {
            if (m_options.device.rfind("emu:", 0) != 0) {
                error =
                    "bad device '" + m_options.device + "' (expected emu:FILE or tcp://HOST:PORT)";
                return false;
            }
            scenario = m_options.device.substr(4);
        }
        try {
            m_gateway = gwu::emu::Gateway::FromScenarioFile(scenario, m_firmware);
        } catch (const std::exception& e) {
            error = e.what();
            return false;
        }
        m_comms = std::make_unique<gwu::host::EmulatorConnection>(*m_gateway);
        m_deviceText = "emulated gateway, scenario " + scenario;
    }

    // Keyboard input for the repair's prompts.
    if (m_options.keys) {
        std::string keyError;
        auto events = gwu::host::ParseKeyScript(*m_options.keys, &keyError);
        if (!events) {
            error = "bad --keys: " + keyError;
            return false;
        }
        gwu::host::SetPopupDriver(std::make_unique<gwu::host::ScriptDriver>(std::move(*events)));
    } else if (gwu::host::terminal::IsTerminal(kStdin) && !m_options.json) {
        gwu::host::SetPopupDriver(std::make_unique<gwu::host::TerminalDriver>(kStdin, kStderr));
    }

    m_checks = std::make_unique<CGatewayChecks>(&m_frame, m_comms.get());
    m_checks->SetCardName(m_options.card);
    if (!m_options.customCpld.empty()) {
        m_checks->SetCustomCPLDFileName(m_options.customCpld);
    }
    return true;
}

void Session::Check(CCodeDiffResults& results, bool& read) {
    read = m_checks->SetReleaseIds(true);
    results = m_checks->PerformAllChecks();
}

json Session::Snapshot(const CCodeDiffResults& results, bool read) {
    json values = json::object();
    std::vector<std::string> names;
    if (Communication()) {
        names.assign(CHLXUtils::PublishedValueNames().begin(),
                     CHLXUtils::PublishedValueNames().end());
    } else {
        names.assign(CQPTUtils::PublishedValueNames().begin(),
                     CQPTUtils::PublishedValueNames().end());
    }
    for (const std::string& name : names) {
        CString value;
        m_frame.Store().GetValue(name, &value, CTabValueStore::kMaxLength);
        values[name] = value;
    }
    // What each check compared the device with.
    json disk = json::object();
    CGatewayFileUtils files;
    for (const CODETYPE codeType : kCodeTypes) {
        if (!Communication() && codeType != LC_CODE && codeType != PROM_CODE) {
            continue;
        }
        CString id;
        if (codeType == CPLD_CODE) {
            id = m_checks->GetCustomCPLDFileName();
        } else if (codeType != MAC_CODE) {
            const CString name = m_checks->GetFilename("", codeType, true);
            const bool found = Communication() ? files.GetHLXVersionFromFile(name, id)
                                               : files.GetQPTVersionFromFile(name, id);
            if (!found) {
                id.clear();
            }
        }
        disk[kCodeLabels[codeType]] = id;
    }
    json snapshot;
    snapshot["card"] = m_options.card;
    snapshot["read"] = read;
    snapshot["values"] = values;
    snapshot["disk"] = disk;
    snapshot["results"] = VerdictsJson(results);
    snapshot["summary"] = results.ToString();
    snapshot["differences"] = results.DifferencesFound();
    snapshot["legacy"] = {{"installed", m_checks->IsKRTInstalled()},
                          {"version", m_checks->GetKRTVersion()}};
    return snapshot;
}

void Session::PrintSnapshot(const json& snapshot) const {
    const json& values = snapshot["values"];
    const std::string prefix = Communication() ? "HLX" : "QPT";
    auto value = [&values](const std::string& name) {
        return values.contains(name) ? values[name].get<std::string>() : std::string();
    };
    if (!snapshot["read"].get<bool>()) {
        std::printf("  The device was not read.\n");
    }
    std::printf("  Serial number  %s\n", value(prefix + "_SerialNum").c_str());
    std::printf("  %-5s %-36s %-24s %s\n", "code", "device release (trimmed)", "disk release",
                "verdict");
    const char* const valueNames[] = {"_Release", "_PROM_Release", "_Bootstrap_Release",
                                      "_CPLD_Release", "_MAC_Firmware_Release"};
    for (const auto& [code, disk] : snapshot["disk"].items()) {
        const CODETYPE codeType = CodeTypeOf(code);
        const std::string name = prefix + valueNames[codeType];
        std::string device = value(name + "_Untrimmed");
        const std::string trimmed = value(name);
        if (trimmed != device) {
            device += " (" + trimmed + ")";
        }
        const std::string diskText =
            disk.get<std::string>().empty() ? "-" : disk.get<std::string>();
        std::printf("  %-5s %-36s %-24s %s\n", code.c_str(), device.c_str(), diskText.c_str(),
                    snapshot["results"][code].get<std::string>().c_str());
    }
    std::printf("  Summary: %s\n", snapshot["summary"].get<std::string>().c_str());
    if (snapshot["legacy"]["installed"].get<bool>()) {
        std::printf("  Legacy tester software on the device: %s\n",
                    snapshot["legacy"]["version"].get<std::string>().c_str());
    }
}

int Session::Finish(json document, bool read, bool differences) {
    if (m_options.json) {
        std::cout << document.dump(2) << std::endl;
    }
    if (!read) {
        return kExitTrouble;
    }
    return differences ? kExitDifferences : kExitSame;
}

int Session::CommandCheck() {
    CCodeDiffResults results;
    bool read = false;
    Check(results, read);
    json snapshot = Snapshot(results, read);
    if (!m_options.json) {
        std::printf("Check of card %s (%s)\n", m_options.card.c_str(), m_deviceText.c_str());
        PrintSnapshot(snapshot);
    }
    return Finish(snapshot, read, results.DifferencesFound());
}

int Session::CommandUpdate() {
    CCodeDiffResults results;
    bool read = false;
    Check(results, read);
    json first = Snapshot(results, read);
    if (!m_options.json) {
        std::printf("Check of card %s (%s)\n", m_options.card.c_str(), m_deviceText.c_str());
        PrintSnapshot(first);
    }
    json rounds = json::array();
    for (int round = 1; round <= 6 && read && results.DifferencesFound(); ++round) {
        CODETYPE codeType = LC_CODE;
        CGatewayChecks::SelectUpdateCodeType(results, codeType);
        const CCodeDiffResults before = results;
        m_checks->PerformUpdate(results);
        m_checks->WaitForUpdate();
        Check(results, read);
        rounds.push_back({{"code_type", kCodeLabels[codeType]},
                          {"before", VerdictsJson(before)},
                          {"after", VerdictsJson(results)}});
        if (!m_options.json) {
            std::printf("Update %d: %s\n  before: %s\n  after:  %s\n", round, kCodeLabels[codeType],
                        before.ToString().c_str(), results.ToString().c_str());
        }
        if (results.ToString() == before.ToString()) {
            if (!m_options.json) {
                std::printf("  The update changed nothing; stopping.\n");
            }
            break;
        }
    }
    json last = Snapshot(results, read);
    if (!m_options.json) {
        std::printf("Final check:\n");
        PrintSnapshot(last);
    }
    last["rounds"] = rounds;
    return Finish(last, read, results.DifferencesFound());
}

int Session::CommandCable() {
    const std::string valueName = "HLX_MAC_Firmware_Release";
    CString before;
    CString after;
    m_checks->SetReleaseIds(true);
    m_frame.Store().GetValue(valueName, &before, CTabValueStore::kMaxLength);
    std::string resultLine;
    auto previous = gwu::host::SetMonitorSink([&](const std::string& line) {
        if (line.rfind("Firmware update result:", 0) == 0) {
            resultLine = line;
        }
        if (m_options.verbose) {
            std::fprintf(stderr, "MON %s\n", line.c_str());
        }
    });
    m_checks->UpdateActiveCableFirmware();
    gwu::host::SetMonitorSink(std::move(previous));
    const bool read = m_checks->SetReleaseIds(true);
    m_frame.Store().GetValue(valueName, &after, CTabValueStore::kMaxLength);
    if (m_options.json) {
        std::cout << json{{"card", m_options.card},
                          {"cable", {{"before", before}, {"after", after}, {"result", resultLine}}}}
                         .dump(2)
                  << std::endl;
    } else {
        std::printf("Cable firmware update (%s)\n  before: %s\n  %s\n  after:  %s\n",
                    m_deviceText.c_str(), before.c_str(),
                    resultLine.empty() ? "no answer from the device" : resultLine.c_str(),
                    after.c_str());
    }
    return read ? kExitSame : kExitTrouble;
}

int Session::CommandList() {
    const std::string path = gwu::os::JoinPath(gwu::host::LogFolder(), gwu::kSerialNumListName);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    if (m_options.json) {
        std::cout << json{{"file", path},
                          {"exists", static_cast<bool>(in.is_open())},
                          {"lines", lines}}
                         .dump(2)
                  << std::endl;
    } else {
        std::printf("Serial-number list %s%s\n", path.c_str(), in.is_open() ? ":" : " (none yet)");
        for (const std::string& line : lines) {
            std::printf("  %s\n", line.c_str());
        }
    }
    return kExitSame;
}

int Session::Run() {
    if (m_options.command == "check") {
        return CommandCheck();
    }
    if (m_options.command == "update") {
        return CommandUpdate();
    }
    if (m_options.command == "cable") {
        return CommandCable();
    }
    return CommandList();
}

int Fail(const Options& options, const std::string& message) {
    if (options.json) {
        std::cout << json{{"error", {{"message", message}}}}.dump(2) << std::endl;
    } else {
        std::fprintf(stderr, "gwctl: %s\n", message.c_str());
    }
    return kExitTrouble;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "gwctl: checks and updates the firmware of a gateway device through the gatewayutils "
        "library,\nagainst the emulated gateway (in process by default, or gwemu over TCP).",
        "gwctl"};
    app.footer(
        "Commands:\n"
        "  check   read the device, compare every code type with the disk release, print it all\n"
        "  update  check, update the first differing code type, check again; repeat until\n"
        "          nothing differs or a round changes nothing (at most 6 rounds)\n"
        "  cable   update the active-cable firmware from its hex image\n"
        "  list    print the serial-number list file\n\n"
        "Exit codes: 0 the device matches the disk release, 1 differences remain, 2 trouble\n"
        "(bad arguments, device not read, bad scenario).\n\n"
        "Environment: GWU_FIRMWARE_DIR, GWU_RUNTIME_DIR, GWU_LOG_DIR name the folders when the\n"
        "options do not; else the repository's sample folders are used (the firmware folder as a\n"
        "scratch copy, so that updates never touch the shipped samples).");
    app.add_option("command", options.command, "check, update, cable or list")
        ->required()
        ->check(CLI::IsMember({"check", "update", "cable", "list"}));
    app.add_option("--card", options.card,
                   "the fitted card's name; VCL is the communication "
                   "module, any other the measurement module")
        ->capture_default_str();
    app.add_option(
        "--device", options.device,
        "emu:FILE (in-process emulator with that scenario) or tcp://HOST:PORT "
        "(gwemu); default: the in-process sample scenario samples/scenarios/behind.json");
    app.add_option("--firmware", options.firmware, "firmware release folder");
    app.add_option("--runtime", options.runtime, "runtime folder (deployed-unit list)");
    app.add_option("--logs", options.logs, "log-files folder (serial-number list)");
    app.add_option("--custom-cpld", options.customCpld, "custom CPLD file name to configure");
    app.add_option("--keys", options.keys,
                   "scripted keyboard for the repair's prompts, e.g. 'HX100241<tick>' (<tick>, "
                   "<cross>, <back>, <bs>); without it the terminal is used when stdin is one");
    app.add_flag("--json", options.json, "print one JSON document and nothing else on stdout");
    app.add_flag("--verbose", options.verbose, "monitor and error lines to stderr");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // The parser may stop (at a bad command, say) before it has stored --json.
        options.json = options.json || std::any_of(argv + 1, argv + argc, [](const char* arg) {
                           return std::string(arg) == "--json";
                       });
        if (options.json) {
            return Fail(options, e.what());
        }
        app.exit(e);
        return kExitTrouble;
    }

    if (!options.verbose) {
        gwu::host::SetMonitorSink([](const std::string&) {});
        gwu::host::SetErrorSink([](const std::string&) {});
    }
    Session session(options);
    std::string error;
    if (!session.Open(error)) {
        return Fail(options, error);
    }
    return session.Run();
}

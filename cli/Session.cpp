#include "Session.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "Diagnostics.h"
#include "Folders.h"
#include "OpenDevice.h"
#include "PopupDrivers.h"
#include "ProcessUtils.h"
#include "TerminalIo.h"
#include "devices/SerialNumList.h"
#include "devices/ValueNames.h"
#include "platform/Environment.h"
#include "platform/Os.h"

namespace gwu::cli {

namespace fs = std::filesystem;

namespace {

constexpr int kStdin = 0;
constexpr int kStderr = 2;
constexpr int kMaxRounds = 6;
// A code type whose update did not take this many rounds in a row is not tried again.
constexpr int kFailuresBeforeGivingUp = 2;

const char* UpdateResultWord(UPDATERESULT result) {
    switch (result) {
        case UPDATE_SUCCEEDED:
            return "succeeded";
        case UPDATE_FAILED:
            return "failed";
        case UPDATE_NOT_RUN:
            break;
    }
    return "not run";
}

std::optional<std::string> ReleaseIn(const std::string& fileName) {
    CString id;
    if (fileName.empty() || !CGatewayFileUtils().GetHLXVersionFromFile(fileName, id)) {
        return std::nullopt;
    }
    return id;
}

}  // namespace

Session::Session(const Options& options)
    : m_options(options),
      m_statusLine(kStderr,
                   !options.json && !options.quiet && gwu::host::terminal::IsTerminal(kStderr)) {}

Session::~Session() {
    m_checks.reset();
    if (!m_scratch.empty()) {
        std::error_code ec;
        fs::remove_all(m_scratch, ec);
    }
}

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
        // An update places release files: the in-process device works on a scratch copy of
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
    m_firmware = gwu::host::FirmwareFolder();
    std::error_code ec;
    fs::create_directories(gwu::host::LogFolder(), ec);

    // Without --device: the in-process emulator on the sample scenario.
    const std::string device = m_options.device.empty()
                                   ? "emu:" + (samples / "scenarios" / "behind.json").string()
                                   : m_options.device;
    m_connection = gwu::host::OpenDevice(device, m_firmware, m_deviceText, error);
    if (!m_connection) {
        return false;
    }
    m_comms = std::make_unique<ProgressComms>(*m_connection, m_statusLine);

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
    if (m_options.command != "list") {
        if (const auto problem = FirmwareFolderProblem()) {
            error = *problem;
            return false;
        }
    }
    return true;
}

std::optional<std::string> Session::FirmwareFolderProblem() const {
    const std::string what = "firmware folder " + m_firmware;
    std::error_code ec;
    const fs::file_status status = fs::status(m_firmware, ec);
    if (!fs::exists(status)) {
        return what + " does not exist";
    }
    if (!fs::is_directory(status)) {
        return what + " cannot be read: it is not a folder";
    }
    fs::directory_iterator listing(m_firmware, ec);
    if (ec) {
        return what + " cannot be read: " + ec.message();
    }
    // The release-compared code types of the family; one release among them is enough.
    std::string names;
    for (const CODETYPE codeType : FamilyCodeTypes(Communication())) {
        if (BasisOf(codeType) != Basis::Release) {
            continue;
        }
        const std::string name = m_checks->GetFilename("", codeType, true);
        if (ReleaseIn(name)) {
            return std::nullopt;
        }
        names += (names.empty() ? "" : ", ") + name;
    }
    return what + " holds no release of the " +
           (Communication() ? "communication module" : "measurement module") + " (" + names +
           "): nothing to compare the device with";
}

CheckReport Session::Check() {
    CheckReport report;
    m_comms->SetPhase("reading", "");
    report.read = m_checks->SetReleaseIds(true);
    report.results = m_checks->PerformAllChecks();

    const auto& published = Communication()
                                ? std::vector<const char*>(gwu::kHLXPublishedValues.begin(),
                                                           gwu::kHLXPublishedValues.end())
                                : std::vector<const char*>(gwu::kQPTPublishedValues.begin(),
                                                           gwu::kQPTPublishedValues.end());
    auto value = [this](const std::string& name) {
        CString text;
        m_frame.Store().GetValue(name, &text, CTabValueStore::kMaxLength);
        return text;
    };
    for (const char* name : published) {
        report.values[name] = value(name);
    }
    for (const CODETYPE codeType : FamilyCodeTypes(Communication())) {
        CodeRow row;
        row.codeType = codeType;
        row.basis = BasisOf(codeType);
        const gwu::ReleaseValueNames& names =
            Communication() ? gwu::kHLXReleaseValues[codeType] : gwu::kQPTReleaseValues[codeType];
        row.trimmed = value(names.trimmed);
        row.device = value(names.untrimmed);
        if (row.basis == Basis::Release) {
            row.disk = ReleaseIn(m_checks->GetFilename("", codeType, true));
        } else if (row.basis == Basis::CustomCpld && !m_checks->GetCustomCPLDFileName().empty()) {
            row.disk = m_checks->GetCustomCPLDFileName();
        }
        row.compared = report.read && row.basis == Basis::Release && row.disk.has_value();
        row.verdict = report.results.GetDiff(codeType);
        report.rows.push_back(row);
    }
    report.legacyInstalled = m_checks->IsKRTInstalled();
    report.legacyVersion = m_checks->GetKRTVersion();
    return report;
}

int Session::Finish(const Json& document, const CheckReport& report) const {
    if (m_options.json) {
        std::cout << document.dump(2) << std::endl;
    }
    if (!report.read) {
        return kExitTrouble;
    }
    if (report.ComparedCount() == 0) {
        return kExitTrouble;  // no release to compare with: no verdict at all
    }
    return report.results.DifferencesFound() ? kExitDifferences : kExitSame;
}

int Session::CommandCheck() {
    const CheckReport report = Check();
    if (!m_options.json) {
        std::printf("Check of card %s (%s)\n", m_options.card.c_str(), m_deviceText.c_str());
        PrintReport(report, Communication() ? gwu::kHLXSerialNumValue : gwu::kQPTSerialNumValue);
    }
    return Finish(ToJson(report, m_options.card), report);
}

int Session::CommandUpdate() {
    const std::string serialName =
        Communication() ? gwu::kHLXSerialNumValue : gwu::kQPTSerialNumValue;
    CheckReport report = Check();
    if (!m_options.json) {
        std::printf("Check of card %s (%s)\n", m_options.card.c_str(), m_deviceText.c_str());
        PrintReport(report, serialName);
    }
    Json rounds = Json::array();
    std::map<CODETYPE, int> failuresInARow;
    std::set<CODETYPE> givenUp;
    for (int round = 1; round <= kMaxRounds && report.read; ++round) {
        // A code type given up on is left as it is; the others still get their turn.
        CCodeDiffResults asked = report.results;
        for (const CODETYPE codeType : givenUp) {
            asked.SetDiff(codeType, DIFF_SAME);
        }
        CODETYPE codeType = LC_CODE;
        if (!CGatewayChecks::SelectUpdateCodeType(asked, codeType)) {
            break;  // never asked with nothing differing: the library would repeat the last
        }
        const std::optional<std::string> expected =
            ReleaseIn(m_checks->GetFilename("", codeType, true));
        const CCodeDiffResults before = report.results;
        m_comms->SetPhase("updating", CodeLabel(codeType));
        m_checks->PerformUpdate(asked);
        const UPDATERESULT result = m_checks->WaitForUpdate();
        report = Check();
        const CodeRow* row = report.Row(codeType);
        const std::string reported = row != nullptr ? row->device : std::string();
        const bool took = report.read && row != nullptr && row->verdict == DIFF_SAME &&
                          (row->basis != Basis::Release || row->compared);
        rounds.push_back({{"code_type", CodeLabel(codeType)},
                          {"before", VerdictsJson(before)},
                          {"after", VerdictsJson(report.results)},
                          {"result", UpdateResultWord(result)},
                          {"expected", expected ? Json(*expected) : Json(nullptr)},
                          {"reported", reported},
                          {"took", took}});
        const int failures = took ? 0 : failuresInARow[codeType] + 1;
        failuresInARow[codeType] = failures;
        if (!m_options.json) {
            std::printf("Update %d: %s (device operation %s)\n  before: %s\n  after:  %s\n", round,
                        CodeLabel(codeType), UpdateResultWord(result), before.ToString().c_str(),
                        report.results.ToString().c_str());
            if (took) {
                std::printf("  %s took: the device reports %s\n", CodeLabel(codeType),
                            reported.c_str());
            } else {
                std::printf("  FAILED: %s did not take: expected %s, the device reports %s\n",
                            CodeLabel(codeType), expected ? expected->c_str() : "(none on disk)",
                            reported.c_str());
            }
        }
        if (failures >= kFailuresBeforeGivingUp) {
            givenUp.insert(codeType);
            if (!m_options.json) {
                std::printf("  %s failed %d rounds in a row; not trying it again.\n",
                            CodeLabel(codeType), failures);
            }
        }
    }
    if (!m_options.json) {
        std::printf("Final check:\n");
        PrintReport(report, serialName);
    }
    Json document = ToJson(report, m_options.card);
    document["rounds"] = rounds;
    return Finish(document, report);
}

int Session::CommandCable() {
    if (!Communication()) {
        std::fprintf(stderr,
                     "gwctl: only the communication module (card VCL) has cable firmware\n");
        return kExitTrouble;
    }
    const std::string valueName = gwu::kHLXReleaseValues[MAC_CODE].trimmed;
    CGatewayFileUtils files;
    const std::string image = files.GetHexFilename(MAC_CODE);
    const std::optional<std::string> expected = ReleaseIn(image);
    CString before;
    CString after;
    m_comms->SetPhase("reading", "");
    const bool readBefore = m_checks->SetReleaseIds(true);
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
    m_comms->SetPhase("updating", "MAC");
    m_checks->UpdateActiveCableFirmware();
    gwu::host::SetMonitorSink(std::move(previous));
    m_comms->SetPhase("reading", "");
    const bool read = readBefore && m_checks->SetReleaseIds(true);
    m_frame.Store().GetValue(valueName, &after, CTabValueStore::kMaxLength);
    const bool took = read && expected && after == *expected;
    if (m_options.json) {
        std::cout << Json{{"card", m_options.card},
                          {"cable",
                           {{"before", before},
                            {"after", after},
                            {"expected", expected ? Json(*expected) : Json(nullptr)},
                            {"result", resultLine},
                            {"took", took}}}}
                         .dump(2)
                  << std::endl;
    } else {
        std::printf("Cable firmware update (%s)\n  before: %s\n  %s\n  after:  %s\n",
                    m_deviceText.c_str(), before.c_str(),
                    resultLine.empty() ? "no answer from the device" : resultLine.c_str(),
                    after.c_str());
        if (!read) {
            std::printf("  The device was not read.\n");
        } else if (!expected) {
            std::printf("  No release in the hex image %s to compare with.\n", image.c_str());
        } else if (!took) {
            std::printf("  FAILED: expected %s, the device reports %s\n", expected->c_str(),
                        after.c_str());
        }
    }
    if (!read || !expected) {
        return kExitTrouble;
    }
    return took ? kExitSame : kExitDifferences;
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
        std::cout << Json{{"file", path},
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

}  // namespace gwu::cli

#include "cli/Session.h"

#include <cstdlib>
#include <filesystem>

#include "connections/OpenDevice.h"
#include "devices/ValueNames.h"
#include "host/Folders.h"
#include "host/ProcessUtils.h"
#include "host/popup/PopupDrivers.h"
#include "host/popup/TerminalIo.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "platform/ValueStore.h"

namespace gwu::cli {

namespace fs = std::filesystem;

namespace {

constexpr int kStdin = 0;
constexpr int kStderr = 2;

}  // namespace

std::optional<std::string> ReleaseIn(const std::string& fileName) {
    CString id;
    if (fileName.empty() || !CGatewayFileUtils().GetHLXVersionFromFile(fileName, id)) {
        return std::nullopt;
    }
    return id;
}

Session::Session(const Options& options)
    : m_options(options),
      m_statusLine(kStderr, !options.json && !options.quiet && options.command != "serve" &&
                                gwu::host::terminal::IsTerminal(kStderr)) {}

Session::~Session() {
    m_checks.reset();
    if (!m_scratch.empty()) {
        std::error_code ec;
        fs::remove_all(m_scratch, ec);
    }
}

bool Session::Open(std::string& error) {
    const fs::path samples = gwu::os::SampleFolder();
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
    const bool updates = m_options.command == "update" || m_options.command == "cable" ||
                         m_options.command == "serve";
    if (tcp && !firmwareNamed && updates) {
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
    } else if (gwu::host::terminal::IsTerminal(kStdin) && !m_options.json &&
               m_options.command != "serve") {
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

Json Session::PublishedValues() const {
    const auto& published = Communication()
                                ? std::vector<const char*>(gwu::kHLXPublishedValues.begin(),
                                                           gwu::kHLXPublishedValues.end())
                                : std::vector<const char*>(gwu::kQPTPublishedValues.begin(),
                                                           gwu::kQPTPublishedValues.end());
    Json values = Json::object();
    for (const char* name : published) {
        CString text;
        m_frame.Store().GetValue(name, &text, CTabValueStore::kMaxLength);
        values[name] = text;
    }
    return values;
}

CheckReport Session::Check() {
    CheckReport report;
    m_comms->SetPhase("reading", "");
    report.read = m_checks->SetReleaseIds(true);
    report.results = m_checks->PerformAllChecks();
    report.values = PublishedValues();
    auto value = [this](const std::string& name) {
        CString text;
        m_frame.Store().GetValue(name, &text, CTabValueStore::kMaxLength);
        return text;
    };
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

}  // namespace gwu::cli

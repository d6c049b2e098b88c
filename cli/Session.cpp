#include "cli/Session.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "connections/OpenDevice.h"
#include "devices/SerialNumList.h"
#include "devices/ValueNames.h"
#include "firmware/ReleaseFile.h"
#include "host/Folders.h"
#include "host/LineSinks.h"
#include "host/popup/PopupDrivers.h"
#include "host/popup/TerminalIo.h"
#include "os/Format.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "platform/ValueStore.h"
#include "process/ProcessUtils.h"

namespace gwu::cli {

namespace fs = std::filesystem;

namespace {

constexpr int kStdin = 0;
constexpr int kStderr = 2;

// The list writer's monitor lines start so; lines that tell of a recovery are no problem.
constexpr std::string_view kListWriter = "CHLXUtils::StoreHLXSerialNumToFile";
constexpr std::string_view kListErrno = " encountered problems: ";
constexpr std::string_view kListNotes[] = {"restoring the list from", "was set aside as"};
// How much of the list is read at a time.
constexpr size_t kListChunk = size_t{64} * 1024;

// The first problem among the list writer's monitor lines, in words.
std::optional<std::string> WriterProblem(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        const std::string_view rest = std::string_view(line).substr(kListWriter.size());
        if (rest.rfind(kListErrno, 0) == 0) {
            const std::string_view number = rest.substr(kListErrno.size());
            int cause = 0;
            std::from_chars(number.data(), number.data() + number.size(), cause);
            return std::generic_category().message(cause);
        }
        bool note = false;
        for (const std::string_view text : kListNotes) {
            note = note || rest.find(text) != std::string_view::npos;
        }
        if (!note) {
            return std::string(rest.rfind(": ", 0) == 0 ? rest.substr(2) : rest);
        }
    }
    return std::nullopt;
}

// Whether a line of the file (its CR before the LF not counted) is exactly the text. Reads the
// file in chunks and keeps no more of a line than the text's length and one byte, so a list of
// any size takes little memory. Nothing, with the reason, when the file cannot be read.
std::optional<bool> FileHoldsLine(const std::string& path, const std::string& text,
                                  std::string& reason) {
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    const std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        reason = std::generic_category().message(errno);
        return std::nullopt;
    }
    std::string line;  // the line read so far, cut at text.size() + 2 bytes: too long to match
    const auto matches = [&line, &text] {
        const std::string_view seen(line);
        return seen == text || (seen.size() == text.size() + 1 && seen.back() == '\r' &&
                                seen.substr(0, text.size()) == text);
    };
    std::vector<char> chunk(kListChunk);
    for (;;) {
        const size_t count = std::fread(chunk.data(), 1, chunk.size(), file.get());
        for (size_t i = 0; i < count; ++i) {
            if (chunk[i] == '\n') {
                if (matches()) {
                    return true;
                }
                line.clear();
            } else if (line.size() < text.size() + 2) {
                line += chunk[i];
            }
        }
        if (count < chunk.size()) {
            break;
        }
    }
    if (std::ferror(file.get()) != 0) {
        reason = std::generic_category().message(errno);
        return std::nullopt;
    }
    return matches() && !line.empty();
}

}  // namespace

MonitorTap::MonitorTap(std::function<void(const std::string&)> observe) {
    auto previous = std::make_shared<host::LineSink>();
    m_previous =
        host::SetMonitorSink([observe = std::move(observe), previous](const std::string& line) {
            observe(line);
            (*previous ? *previous : host::StderrSink("MON"))(line);
        });
    *previous = m_previous;
}

MonitorTap::~MonitorTap() {
    host::SetMonitorSink(std::move(m_previous));
}

ListOutcome ListOutcomeOf(const std::string& file, const std::string& serial,
                          const std::string& expected,
                          const std::vector<std::string>& writerLines) {
    ListOutcome outcome;
    outcome.file = file;
    outcome.problem = WriterProblem(writerLines);
    std::string reason;
    const std::optional<bool> holds = FileHoldsLine(file, expected, reason);
    // The line is the device's only when its first field is the serial number itself.
    outcome.recorded =
        holds.value_or(false) && !serial.empty() && serial.find(',') == std::string::npos;
    if (!outcome.recorded && !outcome.problem) {
        outcome.problem = holds ? "it holds no line with the values of this check"
                                : "it cannot be read: " + reason;
    }
    return outcome;
}

std::optional<std::string> ReleaseIn(const std::string& fileName) {
    CString id;
    if (fileName.empty() || !CGatewayFileUtils().GetHLXVersionFromFile(fileName, id)) {
        return std::nullopt;
    }
    return id;
}

std::optional<std::string> ReleaseProblemIn(const std::string& fileName) {
    if (fileName.empty()) {
        return std::nullopt;
    }
    const std::string path = gwu::os::JoinPath(gwu::host::FirmwareFolder(), fileName);
    const firmware::ReleaseIdReading reading = firmware::ReadReleaseIdOrProblem(path);
    std::error_code ec;
    if (reading.id || !fs::exists(path, ec)) {
        return std::nullopt;  // a missing file keeps the plain "(no release on disk)"
    }
    return path + ": " + reading.problem;
}

Session::Session(const Options& options, const Needs& needs)
    : m_options(options),
      m_needs(needs),
      m_statusLine(kStderr, !options.json && !options.quiet && needs.terminal &&
                                gwu::host::terminal::IsTerminal(kStderr)) {}

Session::~Session() {
    m_update.reset();
    m_checks.reset();
    if (m_previousPlacement) {
        gwu::host::SetPlacementCheck(std::move(*m_previousPlacement));
    }
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
    std::error_code ec;
    fs::create_directories(gwu::host::LogFolder(), ec);
    if (!m_needs.device) {
        return true;  // no device, no firmware folder
    }
    // A tool is no host program: its repair report goes to the log folder (or the folder the
    // user names), never beside the executable in an installation's bin/ folder.
    gwu::host::SetRepairReportFolder(m_options.reportDir.empty() ? gwu::host::LogFolder()
                                                                 : m_options.reportDir);
    const bool tcp = m_options.device.rfind("tcp://", 0) == 0;
    const bool firmwareNamed = folder(m_options.firmware, gwu::host::kFirmwareDirVariable);
    if (tcp && !firmwareNamed && m_needs.placesReleases) {
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
        // Entry by entry: copying a folder onto the existing scratch folder fails on Windows
        // ("File exists"), where the standard library creates the target folder again.
        for (fs::directory_iterator it(samples / "firmware", ec), end; !ec && it != end;
             it.increment(ec)) {
            fs::copy(it->path(), fs::path(m_scratch) / it->path().filename(),
                     fs::copy_options::recursive, ec);
        }
        if (ec) {
            error = "cannot copy the sample firmware folder: " + ec.message();
            return false;
        }
        gwu::host::SetEnvVar(gwu::host::kFirmwareDirVariable, m_scratch);
    }
    m_firmware = gwu::host::FirmwareFolder();

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
    } else if (gwu::host::terminal::IsTerminal(kStdin) && !m_options.json && m_needs.terminal) {
        gwu::host::SetPopupDriver(std::make_unique<gwu::host::TerminalDriver>(kStdin, kStderr));
    }

    m_checks = std::make_unique<CGatewayChecks>(&m_frame, m_comms.get());
    m_checks->SetCardName(m_options.card);
    m_update = std::make_unique<gwu::VerifiedUpdate>(*m_checks, m_frame, m_options.card);
    m_update->onStep = [this](const char* step, CODETYPE codeType) {
        m_comms->SetPhase(step, std::string(step) == "reading" ? "" : CodeLabel(codeType));
    };
    if (!m_options.customCpld.empty()) {
        m_checks->SetCustomCPLDFileName(m_options.customCpld);
    }
    if (const auto problem = FirmwareFolderProblem()) {
        error = *problem;
        return false;
    }
    InstallPolicy();
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

namespace {

// Collects the list writer's monitor lines while it lives.
class ListWriterLines {
public:
    ListWriterLines()
        : m_tap([this](const std::string& line) {
              if (line.rfind(kListWriter, 0) == 0) {
                  m_lines.push_back(line);
              }
          }) {}
    // The lines since the last call.
    std::vector<std::string> Take() { return std::exchange(m_lines, {}); }

private:
    std::vector<std::string> m_lines;
    MonitorTap m_tap;
};

}  // namespace

CheckReport Session::Check() {
    ListWriterLines lines;
    const gwu::CheckRecord record = m_update->Check();
    return ReportOf(record, lines.Take());
}

CheckReport Session::Update(
    CheckReport report,
    const std::function<void(const UpdateRound&, const CheckReport&)>& onRound) {
    ListWriterLines lines;
    // Nothing is placed and the device is told nothing unless the policy lets the folder in.
    m_update->beforeUpdating = [this] { return AcceptFolder().value_or(std::string()); };
    m_update->onRound = [&](const UpdateRound& round, const gwu::CheckRecord& check) {
        report = ReportOf(check, lines.Take());
        onRound(round, report);
    };
    const gwu::UpdateRecord record = m_update->Run(report.record);
    m_update->onRound = nullptr;
    report.refused = record.refused;
    return report;
}

CheckReport Session::ReportOf(const gwu::CheckRecord& record,
                              const std::vector<std::string>& writerLines) const {
    CheckReport report;
    report.record = record;
    report.read = record.read;
    report.results = record.results;
    report.values = PublishedValues();
    auto value = [this](const std::string& name) {
        CString text;
        m_frame.Store().GetValue(name, &text, CTabValueStore::kMaxLength);
        return text;
    };
    if (Communication()) {
        const std::string file = gwu::os::JoinPath(gwu::host::LogFolder(), gwu::kSerialNumListName);
        if (report.read) {
            // The line the list writer makes of the published values; it cannot store a line end.
            auto field = [&value](const char* name) {
                std::string text = value(name);
                std::replace(text.begin(), text.end(), '\r', ' ');
                std::replace(text.begin(), text.end(), '\n', ' ');
                return text;
            };
            const std::string serial = field(gwu::kHLXSerialNumValue);
            const std::string expected = serial + "," +
                                         field(gwu::kHLXReleaseValues[LC_CODE].trimmed) + "," +
                                         field(gwu::kHLXReleaseValues[PROM_CODE].trimmed) + "," +
                                         field(gwu::kHLXReleaseValues[BS_CODE].trimmed);
            report.list = ListOutcomeOf(file, serial, expected, writerLines);
        } else {
            report.list = ListOutcome{file, false, "the device was not read"};
        }
    }
    const signing::FolderVerdict verdict = signing::Evaluate(m_firmware, *m_policy);
    report.folder = FolderReportOf(verdict, m_firmware);
    for (const gwu::CodeTypeCheck& check : record.codeTypes) {
        CodeRow row;
        row.codeType = check.codeType;
        row.basis = BasisOf(check.codeType);
        row.trimmed = check.trimmed;
        row.device = check.device;
        row.disk = check.disk;
        if (row.basis == Basis::Release && !row.disk) {
            row.problem = ReleaseProblemIn(m_checks->GetFilename("", check.codeType, true));
        }
        row.compared = check.compared;
        row.verdict = check.verdict;
        if (verdict.check.manifest) {
            const signing::FileCheck* file =
                verdict.check.Find(m_checks->GetFilename("", check.codeType, true));
            row.manifest = file != nullptr ? signing::FileStateName(file->state) : "absent";
        }
        report.rows.push_back(row);
    }
    report.legacyInstalled = m_checks->IsKRTInstalled();
    report.legacyVersion = m_checks->GetKRTVersion();
    return report;
}

}  // namespace gwu::cli

// One run of gwctl: its options, folders, the gateway connection, the host frame and the
// facade, and the operations that the commands (Commands.h) drive them with.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Progress.h"
#include "cli/Report.h"
#include "firmware/signing/Policy.h"
#include "gateway/CGatewayChecks.h"
#include "gateway/VerifiedUpdate.h"
#include "host/Folders.h"
#include "host/MemoryValueStore.h"
#include "platform/Comms.h"
#include "wire/Cards.h"

namespace gwu::cli {

// Exit codes, as diff has them.
constexpr int kExitSame = 0;
constexpr int kExitDifferences = 1;
constexpr int kExitTrouble = 2;

struct Options {
    std::string command;
    std::string card = wire::kCommunicationCard;
    std::string device;
    std::string firmware;
    std::string runtime;
    std::string logs;
    std::string customCpld;
    std::string reportDir;  // the repair report's folder; empty: the log-files folder
    std::optional<std::string> keys;
    std::string tester;           // the tester's name in the history; empty: the default
    std::string serialFilter;     // history: only this serial number's events
    std::string since;            // history: only events from this UTC time on
    std::string operationFilter;  // history: only this operation's events
    std::string trust;            // the trust folder; empty: GWU_TRUST_DIR, else the default
    std::string fleetUrl;         // sync: the collector's URL; empty: fleet.conf's
    std::string tokenFile;        // sync: the tester's token file; empty: fleet.conf's
    bool allowUnsigned = false;   // a folder without a trusted signature may still be used
    bool allowRollback = false;   // an older set of a trusted publisher may still be used
    bool json = false;
    bool verbose = false;
    bool quiet = false;
};

// The trust folder: the option, else GWU_TRUST_DIR, else the samples' keys/ (share/gatewayutils
// of the install, which ships it empty, or the repository's samples/ from the build tree).
constexpr const char* kTrustDirVariable = "GWU_TRUST_DIR";
std::string TrustFolder(const std::string& option);
// The samples' own trust folder, which holds the sample publisher's key: trusted for the sample
// firmware folder only.
std::string SampleTrustFolder();
// The tester's policy for a firmware folder: the trust folder's keys and the log folder's
// sequence ledger; the samples' own key is left out (and said) unless the folder is the sample
// firmware.
signing::Policy FirmwarePolicy(const std::string& trust, bool sample, bool allowUnsigned,
                               bool allowRollback);

// The folder as the policy's verdict sees it, for the reports.
FolderReport FolderReportOf(const signing::FolderVerdict& verdict, const std::string& path);

// The release identifier stored in a file of the firmware folder; none for a missing or
// malformed file.
std::optional<std::string> ReleaseIn(const std::string& fileName);
// For a file of the firmware folder that is there but holds no release identifier, its path
// and why in words; none for a release file and for a missing one.
std::optional<std::string> ReleaseProblemIn(const std::string& fileName);

// While it lives, shows every monitor line to the observer and passes it on to the sink
// installed before. For one thread at a time, with no other thread writing monitor lines.
class MonitorTap {
public:
    explicit MonitorTap(std::function<void(const std::string&)> observe);
    ~MonitorTap();
    MonitorTap(const MonitorTap&) = delete;
    MonitorTap& operator=(const MonitorTap&) = delete;

private:
    std::function<void(const std::string&)> m_previous;
};

// What the list writer's monitor lines and then the list itself tell of the device's line:
// expected is the line the check's values make (without its line end).
ListOutcome ListOutcomeOf(const std::string& file, const std::string& serial,
                          const std::string& expected, const std::vector<std::string>& writerLines);

// One round of an update, with its evidence (the library's verified update).
using gwu::UpdateRound;
Json RoundJson(const UpdateRound& round);

// An update of the active cable's firmware.
struct CableOutcome {
    bool read = false;  // the device was read before and after
    std::string image;  // the hex image's path
    std::optional<std::string> expected;
    std::string before;
    std::string after;
    std::string resultLine;  // the device's answer line, empty when none came
    bool took = false;
    std::string refused;  // why nothing was sent to the device; empty when the request went
    FolderReport folder;
    std::string serial;  // the device's serial number after the update
};
Json CableJson(const CableOutcome& outcome);

// The serial-number list file of the log folder, line by line without line ends.
struct SerialList {
    std::string path;
    bool exists = false;
    std::vector<std::string> lines;
};
SerialList ReadSerialList();

// What a command needs of the session: Session::Open sets up that and nothing more.
struct Needs {
    // The device and the firmware folder it is compared with; without it only the runtime and
    // log folders are set up.
    bool device = true;
    // The command places release files where the device loads them (an update): over TCP the
    // firmware folder must then be named, since only the user knows the one gwemu uses.
    bool placesReleases = false;
    // The command talks to a person on this terminal: the status line on stderr and the
    // repair's prompts from stdin when they are a terminal. A command with a screen of its own
    // shows both there and installs its own popup driver.
    bool terminal = true;
};

// Owns everything the commands use; the facade is destroyed first. The commands are in
// Commands.h.
class Session {
public:
    Session(const Options& options, const Needs& needs);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Sets up what the command needs of folders, device and input; a message in error when
    // that fails.
    bool Open(std::string& error);

    // The operations behind the commands, for one thread at a time. Check reads the device and
    // runs the checks; Update goes on from that check round by round until nothing differs
    // (the library's verified update), telling each round and the check after it; Cable
    // updates the active cable's firmware.
    CheckReport Check();
    CheckReport Update(CheckReport report,
                       const std::function<void(const UpdateRound&, const CheckReport&)>& onRound);
    CableOutcome Cable();

    // Before an update or a cable run: why the folder may not reach the device, or none; a
    // verified folder's sequence is then recorded for its publisher. The folder as the policy
    // saw it (every file read) goes to seen when one is given.
    std::optional<std::string> AcceptFolder(FolderReport* seen = nullptr);
    // Lines a person must see on every run: the trust folder's broken entries.
    const std::vector<std::string>& TrustProblems() const { return m_policy->problems; }

    // Safe from any thread while an operation runs.
    bool Communication() const { return wire::IsCommunicationCard(m_options.card); }
    const Options& GetOptions() const { return m_options; }
    const std::string& DeviceText() const { return m_deviceText; }
    const std::string& FirmwareFolder() const { return m_firmware; }
    // Every published value of the family as the value store holds it now.
    Json PublishedValues() const;
    // The step waited for on the device now, if any.
    std::optional<StatusLine::Wait> CurrentWait() const { return m_statusLine.Current(); }

private:
    // A message when the firmware folder gives the checks nothing to compare with. Asks the
    // facade for the family's file names.
    std::optional<std::string> FirmwareFolderProblem() const;
    // The report of a check the library made, with what gwctl adds: the published values, the
    // list's outcome from the list writer's monitor lines, the folder's state.
    CheckReport ReportOf(const gwu::CheckRecord& record,
                         const std::vector<std::string>& writerLines) const;
    // The trust folder and the policy for the firmware folder; installs its checks in the
    // library and the stand-in host.
    void InstallPolicy();

    const Options& m_options;
    const Needs m_needs;
    std::string m_firmware;
    std::string m_scratch;  // a working copy of the sample firmware, removed at the end
    std::string m_deviceText;
    std::unique_ptr<CBaseComms> m_connection;  // owns the emulated gateway, if any
    StatusLine m_statusLine;
    std::unique_ptr<ProgressComms> m_comms;
    gwu::host::Frame m_frame;
    std::unique_ptr<CGatewayChecks> m_checks;
    std::unique_ptr<gwu::VerifiedUpdate> m_update;  // over m_checks
    std::shared_ptr<const signing::Policy> m_policy = std::make_shared<const signing::Policy>();
    std::optional<host::PlacementCheck> m_previousPlacement;  // restored at the end
};

}  // namespace gwu::cli

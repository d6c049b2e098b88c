// One run of gwctl: its options, folders, the gateway connection, the host frame and the
// facade, and the commands that drive them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Progress.h"
#include "cli/Report.h"
#include "gateway/CGatewayChecks.h"
#include "host/MemoryValueStore.h"
#include "platform/Comms.h"

namespace gwu::cli {

// Exit codes, as diff has them.
constexpr int kExitSame = 0;
constexpr int kExitDifferences = 1;
constexpr int kExitTrouble = 2;

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
    bool quiet = false;
};

// The release identifier stored in a file of the firmware folder; none for a missing or
// malformed file.
std::optional<std::string> ReleaseIn(const std::string& fileName);

// Owns everything the commands use; the facade is destroyed first. The commands are in
// Commands.cpp.
class Session {
public:
    explicit Session(const Options& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Sets up folders, device and input; a message in error when that fails.
    bool Open(std::string& error);
    int Run();

private:
    bool Communication() const { return m_options.card == "VCL"; }
    // A message when the firmware folder gives the checks nothing to compare with. Asks the
    // facade for the family's file names.
    std::optional<std::string> FirmwareFolderProblem() const;
    // Reads the device and runs the checks; the outcome with what it was compared with.
    CheckReport Check();
    // Prints a document in JSON mode and turns the final check into the exit code.
    int Finish(const nlohmann::ordered_json& document, const CheckReport& report) const;
    int CommandCheck();
    int CommandUpdate();
    int CommandCable();
    int CommandList();

    const Options& m_options;
    std::string m_firmware;
    std::string m_scratch;  // a working copy of the sample firmware, removed at the end
    std::string m_deviceText;
    std::unique_ptr<CBaseComms> m_connection;  // owns the emulated gateway, if any
    StatusLine m_statusLine;
    std::unique_ptr<ProgressComms> m_comms;
    gwu::host::Frame m_frame;
    std::unique_ptr<CGatewayChecks> m_checks;
};

}  // namespace gwu::cli

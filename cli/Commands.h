// gwctl's commands: each one's name, what it needs of the session and what it runs.
#pragma once

#include <string>
#include <vector>

#include "cli/Session.h"

namespace gwu::cli {

struct Command {
    const char* name;
    Needs needs;
    // Runs the command on an open session and returns the exit code. None for serve, which
    // gwctl's main starts with its own options (cli/serve/Serve.h).
    int (*run)(Session& session);
    // After its result is out, the command sends the history to the fleet when the log folder's
    // fleet.conf names one (cli/Sync.h).
    bool syncsAfter = false;
};

// The exit code of a command that ends with a check (0 same, 1 differences, 2 trouble or a
// refused update), and of a cable update.
int CheckExitCode(const CheckReport& report);
int CableExitCode(const CableOutcome& outcome);

// Every command, in the order the help lists them.
const std::vector<Command>& Commands();
// The command of that name; none for any other name.
const Command* FindCommand(const std::string& name);

}  // namespace gwu::cli

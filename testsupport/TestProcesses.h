// Test-side process helpers on the platform's own API: a child program with its output in
// files, the count of this process's open files and a program run on a pseudo-terminal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "process/ChildProcess.h"

namespace gwu::test {

// A program with stdin from the null device, stdout and stderr in the files STEM.out and
// STEM.err, and no GWU_ variables in its environment but the "NAME=VALUE" entries given; killed
// and reaped if it is still running when the object goes. A program that cannot be started fails
// the test.
class Child : public host::ChildProcess {
public:
    Child(std::vector<std::string> arguments, const std::string& stem,
          const std::vector<std::string>& environment = {});
};

// The number of files (on Windows: handles) this process has open.
std::size_t OpenHandleCount();

#ifndef _WIN32
// A program run with stdin, stdout and stderr on a pseudo-terminal (POSIX only): once its
// output holds the prompt, the input is typed (nothing is typed with an empty prompt); then
// everything it writes is read until it exits. Killed after 30 s without an end.
struct TerminalRun {
    std::string output;
    bool timedOut = false;
    int status = -1;  // as waitpid gives it
};
TerminalRun RunInTerminal(std::vector<std::string> arguments, const std::string& prompt = {},
                          const std::string& input = {});
#endif

}  // namespace gwu::test

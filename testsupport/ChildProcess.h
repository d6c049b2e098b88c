// Test-side process helpers on the platform's own API: a child program with its output in
// files, the count of this process's open files and a program run on a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gwu::test {

// A program with stdin from the null device, stdout and stderr in the files STEM.out and
// STEM.err and no GWU_ variables in its environment; killed and reaped if it is still running
// when the object goes.
class Child {
public:
    Child(std::vector<std::string> arguments, const std::string& stem);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Asks the program to stop: SIGTERM on POSIX systems. Windows cannot signal another
    // process, so there it is terminated with the exit code 128 + 15.
    void Stop();
    // The exit status (128 + the signal of a killed program); -1 when the program does not end
    // within timeoutMs.
    int Wait(int timeoutMs);

private:
    std::intptr_t m_process = -1;  // the pid, or on Windows the process HANDLE
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

#include "testsupport/TestProcesses.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace gwu::test {

Child::Child(std::vector<std::string> arguments, const std::string& stem,
             const std::vector<std::string>& environment)
    : host::ChildProcess(std::move(arguments), stem, environment) {
    if (!Started()) {
        ADD_FAILURE() << StartError();
    }
}

#ifdef _WIN32

std::size_t OpenHandleCount() {
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

#else  // POSIX

std::size_t OpenHandleCount() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

namespace {

// Reads from the pseudo-terminal until the output holds the text (or, with an empty text,
// until the program has closed it). False on timeout.
bool ReadUntil(int master, std::string& output, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (text.empty() || output.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            return text.empty();  // EIO once the program has gone
        }
        output.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

}  // namespace

TerminalRun RunInTerminal(std::vector<std::string> arguments, const std::string& prompt,
                          const std::string& input) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    TerminalRun run;
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
        ADD_FAILURE() << "forkpty failed";
        return run;
    }
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    run.timedOut = !ReadUntil(master, run.output, prompt);
    if (!run.timedOut && !prompt.empty()) {
        (void)!write(master, input.data(), input.size());
        run.timedOut = !ReadUntil(master, run.output, "");
    }
    if (run.timedOut) {
        kill(child, SIGKILL);
    }
    waitpid(child, &run.status, 0);
    close(master);
    return run;
}

#endif

}  // namespace gwu::test

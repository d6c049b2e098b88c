#include "testsupport/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string_view>
#include <thread>

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
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

extern char** environ;
#endif

namespace gwu::test {

namespace {

constexpr int kStopSignal = 15;  // SIGTERM

bool IsHostVariable(std::string_view variable) {
    return variable.rfind("GWU_", 0) == 0;
}

}  // namespace

#ifdef _WIN32

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::string Quoted(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

HANDLE Inheritable(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Child::Child(std::vector<std::string> arguments, const std::string& stem) {
    std::string commandLine;
    for (const std::string& argument : arguments) {
        commandLine += (commandLine.empty() ? "" : " ") + Quoted(argument);
    }
    // The environment block: NAME=VALUE strings, each ending in a zero, then one more zero.
    std::string environment;
    if (char* strings = ::GetEnvironmentStringsA()) {
        for (const char* at = strings; *at != '\0'; at += std::string_view(at).size() + 1) {
            if (!IsHostVariable(at)) {
                environment += at;
                environment += '\0';
            }
        }
        ::FreeEnvironmentStringsA(strings);
    }
    environment += '\0';

    const HANDLE input = Inheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    const HANDLE output = Inheritable(stem + ".out", GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE error = Inheritable(stem + ".err", GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION started{};
    if (::CreateProcessA(arguments.front().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                         environment.data(), nullptr, &startup, &started)) {
        ::CloseHandle(started.hThread);
        m_process = reinterpret_cast<std::intptr_t>(started.hProcess);
    } else {
        ADD_FAILURE() << "cannot start " << arguments.front() << ": error " << ::GetLastError();
    }
    for (const HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
}

Child::~Child() {
    if (m_process != -1) {
        const HANDLE process = reinterpret_cast<HANDLE>(m_process);
        ::TerminateProcess(process, 128 + 9);
        ::WaitForSingleObject(process, INFINITE);
        ::CloseHandle(process);
    }
}

void Child::Stop() {
    if (m_process != -1) {
        ::TerminateProcess(reinterpret_cast<HANDLE>(m_process), 128 + kStopSignal);
    }
}

int Child::Wait(int timeoutMs) {
    if (m_process == -1) {
        return -1;
    }
    const HANDLE process = reinterpret_cast<HANDLE>(m_process);
    DWORD code = 0;
    if (::WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process, &code)) {
        return -1;
    }
    ::CloseHandle(process);
    m_process = -1;
    return static_cast<int>(code);
}

std::size_t OpenHandleCount() {
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

#else  // POSIX

Child::Child(std::vector<std::string> arguments, const std::string& stem) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    for (const auto& [fd, suffix] : {std::pair{STDOUT_FILENO, ".out"}, {STDERR_FILENO, ".err"}}) {
        posix_spawn_file_actions_addopen(&actions, fd, (stem + suffix).c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!IsHostVariable(*variable)) {
            environment.push_back(*variable);
        }
    }
    argv.push_back(nullptr);
    environment.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment.data()) == 0) {
        m_process = pid;
    } else {
        ADD_FAILURE() << "cannot start " << argv[0];
    }
    posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
    if (m_process > 0) {
        ::kill(static_cast<pid_t>(m_process), SIGKILL);
        ::waitpid(static_cast<pid_t>(m_process), nullptr, 0);
    }
}

void Child::Stop() {
    if (m_process > 0) {
        ::kill(static_cast<pid_t>(m_process), kStopSignal);
    }
}

int Child::Wait(int timeoutMs) {
    for (int i = 0; i < timeoutMs / 10 && m_process > 0; ++i) {
        int status = 0;
        if (::waitpid(static_cast<pid_t>(m_process), &status, WNOHANG) == m_process) {
            m_process = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::size_t OpenHandleCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
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

#include "process/ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <thread>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// (after windows.h, which it needs)
#include <psapi.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;
#endif

namespace gwu::host {

namespace {

constexpr int kStopSignal = 15;  // SIGTERM
constexpr int kKillSignal = 9;   // SIGKILL

// Whether the program gets a variable of this process: not one of the host's GWU_ variables,
// nor one that the added entries name (a name ends at the first "=" after its first character:
// Windows' hidden variables, "=C:=..." and the like, start with one).
bool Inherited(std::string_view variable, const std::vector<std::string>& added) {
    const auto name = [](std::string_view entry) { return entry.substr(0, entry.find('=', 1)); };
    if (variable.rfind("GWU_", 0) == 0) {
        return false;
    }
    for (const std::string& entry : added) {
        if (name(entry) == name(variable)) {
            return false;
        }
    }
    return true;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> arguments, const std::string& stem)
    : ChildProcess(std::move(arguments), stem, {}) {}

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

ChildProcess::ChildProcess(std::vector<std::string> arguments, const std::string& stem,
                           const std::vector<std::string>& added) {
    if (arguments.empty()) {
        m_startError = "no program named";
        return;
    }
    std::string commandLine;
    for (const std::string& argument : arguments) {
        commandLine += (commandLine.empty() ? "" : " ") + Quoted(argument);
    }
    // The environment block: NAME=VALUE strings, each ending in a zero, then one more zero.
    std::string environment;
    if (char* strings = ::GetEnvironmentStringsA()) {
        for (const char* at = strings; *at != '\0'; at += std::string_view(at).size() + 1) {
            if (Inherited(at, added)) {
                environment += at;
                environment += '\0';
            }
        }
        ::FreeEnvironmentStringsA(strings);
    }
    for (const std::string& entry : added) {
        environment += entry;
        environment += '\0';
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
    if (output == INVALID_HANDLE_VALUE || error == INVALID_HANDLE_VALUE) {
        m_startError =
            "cannot create " + stem + ".out or .err: error " + std::to_string(::GetLastError());
    } else if (::CreateProcessA(arguments.front().c_str(), commandLine.data(), nullptr, nullptr,
                                TRUE, 0, environment.data(), nullptr, &startup, &started)) {
        ::CloseHandle(started.hThread);
        m_process = reinterpret_cast<std::intptr_t>(started.hProcess);
        m_started = true;
    } else {
        m_startError =
            "cannot start " + arguments.front() + ": error " + std::to_string(::GetLastError());
    }
    for (const HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
}

ChildProcess::~ChildProcess() {
    if (m_process != -1) {
        const HANDLE process = reinterpret_cast<HANDLE>(m_process);
        ::TerminateProcess(process, 128 + 9);
        ::WaitForSingleObject(process, INFINITE);
        ::CloseHandle(process);
    }
}

void ChildProcess::Stop() {
    if (m_process != -1) {
        ::TerminateProcess(reinterpret_cast<HANDLE>(m_process), 128 + kStopSignal);
    }
}

void ChildProcess::Kill() {
    if (m_process != -1) {
        ::TerminateProcess(reinterpret_cast<HANDLE>(m_process), 128 + kKillSignal);
    }
}

int ChildProcess::Wait(int timeoutMs) {
    if (m_process == -1) {
        return -1;
    }
    const HANDLE process = reinterpret_cast<HANDLE>(m_process);
    // The peak working set, read in slices of the wait and once more at the end (a system that
    // forgets it with the process keeps the last figure read).
    const auto readPeak = [this, process] {
        PROCESS_MEMORY_COUNTERS counters{};
        if (::K32GetProcessMemoryInfo(process, &counters, sizeof counters)) {
            m_peakResident = std::max<std::uint64_t>(m_peakResident, counters.PeakWorkingSetSize);
        }
    };
    DWORD waited = WAIT_TIMEOUT;
    for (int slice = 0; slice <= timeoutMs / 10 && waited == WAIT_TIMEOUT; ++slice) {
        readPeak();
        waited = ::WaitForSingleObject(process, static_cast<DWORD>(std::min(timeoutMs, 10)));
    }
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !::GetExitCodeProcess(process, &code)) {
        return -1;
    }
    readPeak();
    ::CloseHandle(process);
    m_process = -1;
    return static_cast<int>(code);
}

#else  // POSIX

ChildProcess::ChildProcess(std::vector<std::string> arguments, const std::string& stem,
                           const std::vector<std::string>& added) {
    if (arguments.empty()) {
        m_startError = "no program named";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string out = stem + ".out";
    const std::string err = stem + ".err";
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (Inherited(*variable, added)) {
            environment.push_back(*variable);
        }
    }
    for (const std::string& entry : added) {
        environment.push_back(const_cast<char*>(entry.c_str()));  // posix_spawn only reads it
    }
    argv.push_back(nullptr);
    environment.push_back(nullptr);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment.data());
    if (failed == 0) {
        m_process = pid;
        m_started = true;
    } else {
        m_startError = "cannot start " + arguments.front() + ": " + std::strerror(failed);
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (m_process > 0) {
        ::kill(static_cast<pid_t>(m_process), SIGKILL);
        ::waitpid(static_cast<pid_t>(m_process), nullptr, 0);
    }
}

void ChildProcess::Stop() {
    if (m_process > 0) {
        ::kill(static_cast<pid_t>(m_process), kStopSignal);
    }
}

void ChildProcess::Kill() {
    if (m_process > 0) {
        ::kill(static_cast<pid_t>(m_process), kKillSignal);
    }
}

int ChildProcess::Wait(int timeoutMs) {
    for (int i = 0; i < timeoutMs / 10 && m_process > 0; ++i) {
        int status = 0;
        struct rusage usage {};
        if (::wait4(static_cast<pid_t>(m_process), &status, WNOHANG, &usage) == m_process) {
            m_process = -1;
            m_peakResident = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // in KiB
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

#endif

}  // namespace gwu::host

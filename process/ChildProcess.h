// A program started by the stand-in host's tools and by a host's tests (the emulated gateway,
// gwctl): its standard output and error go to files, and it never outlives its owner.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gwu::host {

// Starts arguments[0] (a path; no search of PATH) with the other arguments, stdin from the null
// device, stdout and stderr in the files STEM.out and STEM.err, and the environment of this
// process without its GWU_ variables, so that the program uses only the folders its arguments
// name. Killed and reaped if it is still running when the object goes.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> arguments, const std::string& stem);
    // The same with "NAME=VALUE" entries added to the program's environment, each in place of a
    // variable of the same name: what a test gives the program on purpose (GWU_TIMEOUT_SCALE,
    // say).
    ChildProcess(std::vector<std::string> arguments, const std::string& stem,
                 const std::vector<std::string>& environment);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Whether the program was started; StartError() says why not.
    bool Started() const { return m_started; }
    const std::string& StartError() const { return m_startError; }

    // Asks the program to stop: SIGTERM on POSIX systems. Windows cannot signal another
    // process, so there it is terminated with the exit code 128 + 15.
    void Stop();
    // Kills the program at once, with no chance to clean up: SIGKILL on POSIX systems, on
    // Windows termination with the exit code 128 + 9 (what a crash or a power cut leaves).
    void Kill();
    // The exit status (128 + the signal of a killed program); -1 when the program was not
    // started or does not end within timeoutMs.
    int Wait(int timeoutMs);
    // The pid (on Windows the process HANDLE); -1 once the program has been reaped.
    std::intptr_t Id() const { return m_process; }
    // The program's peak resident memory in bytes, once Wait has seen it end; 0 when unknown.
    // - Linux: wait4's ru_maxrss. The kernel carries this process's own peak over into the
    //   program at its start, so a program that stays below that peak shows as that much: the
    //   figure is exact for a program that grows beyond it, an upper bound for one that does
    //   not.
    // - Windows: the process's PeakWorkingSetSize, read while Wait waits and once it has ended.
    std::uint64_t PeakResidentBytes() const { return m_peakResident; }

private:
    std::intptr_t m_process = -1;  // the pid, or on Windows the process HANDLE
    std::uint64_t m_peakResident = 0;
    bool m_started = false;
    std::string m_startError;
};

}  // namespace gwu::host

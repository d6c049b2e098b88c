// The emulated gateway as a host's test fixture: the gwemu program serving a scenario on a free
// loopback port, for as long as the object lives. A host's test opens Device() with OpenDevice
// and drives its own code over TCP, exactly as against a gateway on the network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gatewayutils/process/ChildProcess.h"

namespace gwu::host {

class EmulatorProcess {
public:
    // Starts gwemu (its path) on the scenario file, listening on 127.0.0.1 with a port of the
    // system's choice; its devices load their releases from firmwareFolder (none given: gwemu's
    // default). gwemu's output goes to outputStem.out and outputStem.err. Waits up to
    // timeoutMs for it to listen. extraArguments are passed on to gwemu after the others (for
    // instance "--log-faults", whose lines follow the listening line in outputStem.out).
    EmulatorProcess(const std::string& gwemu, const std::string& scenario,
                    const std::string& firmwareFolder, const std::string& outputStem,
                    int timeoutMs = 10000, const std::vector<std::string>& extraArguments = {});
    // Starts gwemu in any mode, a recording proxy or a replay for one: arguments[0] is its path,
    // the others its options but --listen, which is 127.0.0.1 with a port of the system's
    // choice. environment: "NAME=VALUE" entries added to gwemu's environment (GWU_TIMEOUT_SCALE
    // for the wait of a recording proxy, say). Output and wait as above.
    EmulatorProcess(std::vector<std::string> arguments, const std::string& outputStem,
                    int timeoutMs = 10000, const std::vector<std::string>& environment = {});
    // Stops gwemu.
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    bool Listening() const { return !m_device.empty(); }
    // "tcp://127.0.0.1:PORT" once listening, else empty.
    const std::string& Device() const { return m_device; }
    // Why it does not listen: it could not be started, it ended (with its status and what it
    // wrote on stderr) or it did not listen in time.
    const std::string& Error() const { return m_error; }
    // gwemu's process id (on Windows its process HANDLE), to watch its resources; -1 once it
    // has been reaped.
    std::intptr_t Id() const { return m_child.Id(); }

    // Stops gwemu and returns its exit status: 0 when it ended as asked (on Windows, where it
    // cannot be asked, 128 + 15), -1 when it does not end within timeoutMs.
    int Stop(int timeoutMs = 5000);
    // Kills gwemu at once (SIGKILL; on Windows termination), as a crash would end it, and
    // returns its exit status (128 + 9), or -1 when it does not end within timeoutMs.
    int Kill(int timeoutMs = 5000);

private:
    int End(int timeoutMs, bool kill);

    ChildProcess m_child;
    std::string m_device;
    std::string m_error;
    int m_status = -1;
    bool m_stopped = false;
};

}  // namespace gwu::host

// An emulated gateway playing a scenario behind one of the stand-in host's connections: in
// process, or over loopback TCP through a server as gwemu runs one.
#pragma once

#include <memory>
#include <string>

#include "emulator/model/Gateway.h"
#include "emulator/serving/TcpServer.h"
#include "platform/Comms.h"

namespace gwu::test {

class EmulatedDevice {
public:
    // The scenario as JSON text, named "scenario.json" in the gateway's refusals.
    EmulatedDevice(const std::string& scenario, bool tcp, const std::string& firmwareFolder);
    emu::Gateway& Gateway() { return *m_gateway; }
    CBaseComms& Comms() { return *m_comms; }

private:
    // Destroyed from the bottom up: the connection, the server, the gateway.
    std::unique_ptr<emu::Gateway> m_gateway;
    std::unique_ptr<emu::TcpServer> m_server;
    std::unique_ptr<CBaseComms> m_comms;
};

}  // namespace gwu::test

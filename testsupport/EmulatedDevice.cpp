#include "testsupport/EmulatedDevice.h"

#include "connections/EmulatorConnection.h"
#include "connections/TcpConnection.h"

namespace gwu::test {

EmulatedDevice::EmulatedDevice(const std::string& scenario, bool tcp,
                               const std::string& firmwareFolder)
    : m_gateway(emu::Gateway::FromScenarioText(scenario, "scenario.json", firmwareFolder)) {
    if (tcp) {
        m_server = std::make_unique<emu::TcpServer>(*m_gateway);
        m_comms = std::make_unique<host::TcpConnection>(m_server->Host(), m_server->Port());
    } else {
        m_comms = std::make_unique<host::EmulatorConnection>(*m_gateway);
    }
}

}  // namespace gwu::test

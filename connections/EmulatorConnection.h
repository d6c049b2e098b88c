// The stand-in host's connection to an emulated gateway in the same process: the embedded
// default. Like every connection of the stand-in host it turns what the emulator makes of a
// request into what a real connection does (fill the reply places, or throw
// CBaseCommsException), and it may be shared by threads (two threads checking through one
// facade, two facades on one connection): its exchanges (Connect, Disconnect, SelectCard,
// ExecuteSubCommand with its whole sub-stream) run one at a time. The selected card is the
// connection's, not a caller's.
#pragma once

#include <mutex>

#include "gatewayutils/emulator/model/Gateway.h"
#include "gatewayutils/platform/Comms.h"

namespace gwu::host {

// Requests run on the caller's thread, which also waits out the scenario's latency (a timeout's
// wait scaled by GWU_TIMEOUT_SCALE) before the next exchange starts, as a device that answers
// one request at a time.
class EmulatorConnection : public CBaseComms {
public:
    // Borrows the gateway, which outlives the connection.
    explicit EmulatorConnection(emu::Gateway& gateway) : m_gateway(gateway) {}

    bool Disconnect() override;
    bool SelectCard(const char* name) override;
    int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) override;
    bool Connect() override;

private:
    emu::Gateway& m_gateway;
    std::mutex m_mutex;  // one exchange at a time
};

}  // namespace gwu::host

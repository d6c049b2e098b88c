// What answers the messages a TCP client of gwemu sends: the emulated gateway itself, a
// recording proxy to another gateway, or the replay of a recorded session. The TCP server and the
// host's in-process replay connection both serve a backend.
#pragma once

#include <cstdint>
#include <string>

#include "gatewayutils/emulator/Gateway.h"
#include "gatewayutils/wire/Protocol.h"

namespace gwu::emu {

// What to do with one client message.
struct ServerAnswer {
    enum class Kind : std::uint8_t {
        Frame,   // send the frame
        Silent,  // send nothing: the client's own timeout ends its wait
        Drop,    // close the client's connection
    };
    Kind kind = Kind::Frame;
    std::string frame;          // Frame: the whole frame, length prefix included
    std::uint32_t delayMs = 0;  // how long to wait before sending or dropping
};

// A frame whose empty payload decodes as nothing a client expects: the client sees a malformed
// reply. A replay answers it to a message it refuses.
std::string RefusalFrame();

// Called on the server's thread, one client at a time, in the order the messages arrive.
class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    virtual ServerAnswer Answer(const wire::ClientMessage& message) = 0;
    // The client's connection ended, by either side.
    virtual void ClientClosed() {}
};

// The emulated gateway as a backend: connecting always succeeds; requests are executed.
class GatewayBackend : public DeviceBackend {
public:
    // Borrows the gateway, which outlives the backend.
    explicit GatewayBackend(Gateway& gateway) : m_gateway(gateway) {}
    ServerAnswer Answer(const wire::ClientMessage& message) override;

private:
    Gateway& m_gateway;
};

}  // namespace gwu::emu

// What answers the messages a TCP client of gwemu sends: the emulated gateway itself, a
// recording proxy to another gateway, or the replay of a recorded session. The TCP server and the
// host's in-process replay connection both serve a backend.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "gatewayutils/emulator/model/Gateway.h"
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

// Answers one client's messages in the order they arrive, on one thread at a time.
class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    virtual ServerAnswer Answer(const wire::ClientMessage& message) = 0;
    // The client's connection ended, by either side.
    virtual void ClientClosed() {}
    // A backend of its own for one more client, to be served at the same time as the others
    // (on a thread of its own); it borrows what this one borrows. Null for a backend that holds
    // one session (a recording, a replay): the server serves its clients one after the other.
    virtual std::unique_ptr<DeviceBackend> NewClient() { return nullptr; }
};

// The emulated gateway as a backend: connecting always succeeds; requests are executed on the
// card this client selected last (before it selects one: the gateway's selection), each request
// with its selection as one step of the gateway, so clients served at once never see each
// other's selection.
class GatewayBackend : public DeviceBackend {
public:
    // Borrows the gateway, which outlives the backend.
    explicit GatewayBackend(Gateway& gateway) : m_gateway(gateway) {}
    ServerAnswer Answer(const wire::ClientMessage& message) override;
    std::unique_ptr<DeviceBackend> NewClient() override;

private:
    Gateway& m_gateway;
    std::optional<std::string> m_card;
};

}  // namespace gwu::emu

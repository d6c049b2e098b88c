// The stand-in host's connection that talks the frame protocol to a gateway server through a
// transport (over TCP to gwemu, or to a backend in this process). It may be shared by threads:
// its exchanges (Connect, Disconnect, SelectCard, ExecuteSubCommand with its whole sub-stream)
// run one at a time, and the selected card is the connection's, not a caller's.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "gatewayutils/connections/FrameTransport.h"
#include "gatewayutils/platform/Comms.h"
#include "gatewayutils/wire/Protocol.h"

namespace gwu::host {

// The transport opens on first use and again after a failure; the selected card is sent again on
// every new opening. Connect answers false when the gateway cannot be reached; requests throw
// CBaseCommsException for a refused connection, a reset, a timeout (the request's own, scaled by
// the GWU_TIMEOUT_SCALE environment variable, default 1) or a malformed reply
// (wire/CommsFailures.h). SelectCard and Disconnect never throw.
class FrameConnection : public CBaseComms {
public:
    explicit FrameConnection(std::unique_ptr<FrameTransport> transport);
    ~FrameConnection() override;
    FrameConnection(const FrameConnection&) = delete;
    FrameConnection& operator=(const FrameConnection&) = delete;

    bool Disconnect() override;
    bool SelectCard(const char* name) override;
    int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) override;
    bool Connect() override;

private:
    // Sends a message that a one-byte flag answers (the selected card goes with a card
    // selection), opening the transport first when asked; false when the exchange fails.
    bool FlagExchange(wire::MessageKind kind, bool open);
    void Open();

    std::mutex m_mutex;  // one exchange at a time: the transport and the card are shared
    std::unique_ptr<FrameTransport> m_transport;
    std::string m_card;
};

}  // namespace gwu::host

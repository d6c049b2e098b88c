// Connections of the stand-in host to the emulated gateway: in-process (the embedded default),
// over TCP to gwemu, and to a backend in this process with the TCP connection's messages (a
// replayed session). All turn what the emulator makes of a request into what a real connection
// would do: fill the reply places, or throw CBaseCommsException.
//
// Each connection may be shared by threads (two threads checking through one facade, two facades
// on one connection): its exchanges (Connect, Disconnect, SelectCard, ExecuteSubCommand with its
// whole sub-stream) run one at a time. The selected card is the connection's, not a caller's.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "gatewayutils/emulator/Backend.h"
#include "gatewayutils/emulator/Gateway.h"
#include "gatewayutils/platform/Comms.h"
#include "gatewayutils/wire/Protocol.h"

namespace gwu::host {

// Codes of the comms exceptions the connections throw themselves.
enum CommsFailure : int {
    kCommsRefused = 1001,    // the gateway cannot be reached
    kCommsTimeout = 1002,    // no reply within the request's timeout
    kCommsReset = 1003,      // the connection dropped
    kCommsMalformed = 1004,  // a reply that is not a valid frame
};

// Talks to an emulated gateway in the same process. Requests run on the caller's thread, which
// also waits out the scenario's latency (a timeout's wait scaled by GWU_TIMEOUT_SCALE) before
// the next exchange starts, as a device that answers one request at a time.
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

// Carries the frames of the frame protocol (Protocol.h) between a FrameConnection and a gateway
// server: over TCP to gwemu, or to a backend in this process.
class FrameTransport {
public:
    virtual ~FrameTransport() = default;
    virtual bool IsOpen() const = 0;
    // Opens unless open already. Throws CBaseCommsException(kCommsRefused).
    virtual void Open() = 0;
    virtual void Close() = 0;
    // Sends a whole frame and returns the reply frame's payload, waited for up to the timeout
    // (scaled by GWU_TIMEOUT_SCALE). Throws CBaseCommsException for a timeout, a reset or bytes
    // that are not a frame, and closes the transport first.
    virtual std::string Exchange(const std::string& frame, int timeoutMs) = 0;
};

// Talks the frame protocol to a gateway server. The transport opens on first use and again after
// a failure; the selected card is sent again on every new opening. Connect answers false when the
// gateway cannot be reached; requests throw CBaseCommsException for a refused connection, a
// reset, a timeout (the request's own, scaled by the GWU_TIMEOUT_SCALE environment variable,
// default 1) or a malformed reply. SelectCard and Disconnect never throw.
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

// Talks to gwemu (or any server of the frame protocol) over TCP.
class TcpConnection : public FrameConnection {
public:
    TcpConnection(std::string host, int port);

    // Parses "tcp://HOST:PORT" or "HOST:PORT"; false when malformed.
    static bool ParseAddress(const std::string& text, std::string& host, int& port);
};

// Carries frames to a backend in this process (a replayed session, say), with what the TCP
// connection would see: a silent answer times out, a dropped one resets, and an answer or drop
// that comes later than the wait times out.
class BackendTransport : public FrameTransport {
public:
    explicit BackendTransport(std::unique_ptr<emu::DeviceBackend> backend);
    ~BackendTransport() override;
    bool IsOpen() const override { return m_open; }
    void Open() override { m_open = true; }
    void Close() override;
    std::string Exchange(const std::string& frame, int timeoutMs) override;

private:
    void End();  // the backend learns that its client's connection ended

    std::unique_ptr<emu::DeviceBackend> m_backend;
    bool m_open = false;
};

// The request as the emulator sees it, and the emulator's answer applied to the request.
wire::Request ToEmulatorRequest(const SubRequest& request, int timeoutMs);
void ApplyResponse(const SubRequest& request, const wire::Response& response);

}  // namespace gwu::host

// Connections of the stand-in host to the emulated gateway: in-process (the embedded default)
// and over TCP to gwemu. Both turn what the emulator makes of a request into what a real
// connection would do: fill the reply places, or throw CBaseCommsException.
#pragma once

#include <memory>
#include <string>

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
// also waits out the scenario's latency (a timeout's wait scaled by GWU_TIMEOUT_SCALE).
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
};

// Talks to gwemu over TCP. The socket opens on first use and again after a failure; the
// selected card is sent again on every new socket. Connect answers false when the gateway
// cannot be reached; requests throw CBaseCommsException for a refused connection, a reset, a
// timeout (the request's own, scaled by the GWU_TIMEOUT_SCALE environment variable, default 1)
// or a malformed reply. SelectCard and Disconnect never throw.
class TcpConnection : public CBaseComms {
public:
    TcpConnection(std::string host, int port);
    ~TcpConnection() override;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    bool Disconnect() override;
    bool SelectCard(const char* name) override;
    int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) override;
    bool Connect() override;

    // Parses "tcp://HOST:PORT" or "HOST:PORT"; false when malformed.
    static bool ParseAddress(const std::string& text, std::string& host, int& port);

private:
    class Socket;
    // Sends a message that a one-byte flag answers (the selected card goes with a card
    // selection), opening the socket first when asked; false when the exchange fails.
    bool FlagExchange(wire::MessageKind kind, bool open);
    // Sends one frame and waits up to the timeout for the reply frame's payload.
    std::string Exchange(const std::string& frame, int timeoutMs);
    void Open();
    void Close();

    std::string m_host;
    int m_port;
    std::string m_card;
    std::unique_ptr<Socket> m_socket;
};

// The request as the emulator sees it, and the emulator's answer applied to the request.
wire::Request ToEmulatorRequest(const SubRequest& request, int timeoutMs);
void ApplyResponse(const SubRequest& request, const wire::Response& response);

}  // namespace gwu::host

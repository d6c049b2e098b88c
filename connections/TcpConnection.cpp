#include "connections/TcpConnection.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "wire/Address.h"
#include "wire/CommsFailures.h"
#include "wire/FrameClient.h"

namespace gwu::host {

namespace {

// Every failure of the wire client as the comms exception a connection throws.
CBaseCommsException CommsFailureOf(const wire::FrameClient::Error& error) {
    switch (error.failure) {
        case wire::FrameClient::Failure::Refused:
            return CBaseCommsException(wire::kCommsRefused);
        case wire::FrameClient::Failure::Timeout:
            return CBaseCommsException(wire::kCommsTimeout);
        case wire::FrameClient::Failure::Reset:
            return CBaseCommsException(wire::kCommsReset);
        case wire::FrameClient::Failure::Malformed:
            break;
    }
    return CBaseCommsException(wire::kCommsMalformed);
}

class SocketTransport : public FrameTransport {
public:
    SocketTransport(std::string host, int port)
        : m_client(std::move(host), static_cast<std::uint16_t>(port)) {}
    bool IsOpen() const override { return m_client.IsOpen(); }
    void Open() override {
        try {
            m_client.Open();
        } catch (const wire::FrameClient::Error& e) {
            throw CommsFailureOf(e);
        }
    }
    void Close() override { m_client.Close(); }
    std::string Exchange(const std::string& frame, int timeoutMs) override {
        try {
            return m_client.Exchange(frame, timeoutMs * wire::TimeoutScale());
        } catch (const wire::FrameClient::Error& e) {
            throw CommsFailureOf(e);
        }
    }

private:
    wire::FrameClient m_client;
};

}  // namespace

TcpConnection::TcpConnection(std::string host, int port)
    : FrameConnection(std::make_unique<SocketTransport>(std::move(host), port)) {}

bool TcpConnection::ParseAddress(const std::string& text, std::string& host, int& port) {
    const std::optional<wire::HostPort> address =
        wire::ParseHostPort(text, {"tcp://", false, false, 1});
    if (!address) {
        return false;
    }
    host = address->host;
    port = address->port;
    return true;
}

}  // namespace gwu::host

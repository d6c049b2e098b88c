#include "connections/TcpConnection.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

#include "connections/CommsFailure.h"
#include "wire/FrameClient.h"

namespace gwu::host {

namespace {

// Every failure of the wire client as the comms exception a connection throws.
CBaseCommsException CommsFailureOf(const wire::FrameClient::Error& error) {
    switch (error.failure) {
        case wire::FrameClient::Failure::Refused:
            return CBaseCommsException(kCommsRefused);
        case wire::FrameClient::Failure::Timeout:
            return CBaseCommsException(kCommsTimeout);
        case wire::FrameClient::Failure::Reset:
            return CBaseCommsException(kCommsReset);
        case wire::FrameClient::Failure::Malformed:
            break;
    }
    return CBaseCommsException(kCommsMalformed);
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
    std::string rest = text.rfind("tcp://", 0) == 0 ? text.substr(6) : text;
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) {
        return false;
    }
    char* end = nullptr;
    const long value = std::strtol(rest.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || value <= 0 || value > 65535) {
        return false;
    }
    host = rest.substr(0, colon);
    port = static_cast<int>(value);
    return true;
}

}  // namespace gwu::host

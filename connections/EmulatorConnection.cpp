#include "connections/EmulatorConnection.h"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "host/Replies.h"
#include "wire/FrameClient.h"
#include "wire/Protocol.h"

namespace gwu::host {

namespace {

wire::Builder BuilderOf(SubRequestKind kind) {
    switch (kind) {
        case SubRequestKind::VsiReset:
            return wire::Builder::VsiReset;
        case SubRequestKind::MsiReset:
            return wire::Builder::MsiReset;
        case SubRequestKind::VsiGetSerialNumber:
            return wire::Builder::VsiGetSerialNumber;
        case SubRequestKind::MsiGetCardDetails:
            return wire::Builder::MsiGetCardDetails;
        case SubRequestKind::VsiSetSerialNumber:
            return wire::Builder::VsiSetSerialNumber;
    }
    return wire::Builder::VsiReset;
}

}  // namespace

wire::Request ToEmulatorRequest(const SubRequest& request, int timeoutMs) {
    wire::Request out;
    out.builder = BuilderOf(request.kind);
    out.type = request.requestType;
    out.flags = request.flags;
    out.capacity = request.capacity;
    out.data = SentData(request);
    out.timeoutMs = timeoutMs > 0 ? static_cast<std::uint32_t>(timeoutMs) : 0;
    return out;
}

void ApplyResponse(const SubRequest& request, const wire::Response& response) {
    switch (response.outcome) {
        case wire::Outcome::Reply:
            FillReply(request, response.bytes, response.error, response.claimedLength);
            return;
        case wire::Outcome::Throw:
            throw CBaseCommsException(response.exceptionCode);
        case wire::Outcome::Timeout:
            throw CBaseCommsException(kCommsTimeout);
        case wire::Outcome::Disconnect:
            throw CBaseCommsException(kCommsReset);
    }
    throw CBaseCommsException(kCommsMalformed);
}

// ---------------------------------------------------------------------------------------------
// In process

bool EmulatorConnection::Disconnect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return true;
}

bool EmulatorConnection::SelectCard(const char* name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_gateway.SelectCard(name != nullptr ? name : "");
    return true;
}

bool EmulatorConnection::Connect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return true;
}

int EmulatorConnection::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int /*reserved*/) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const SubRequest& request : subStream.Requests()) {
        const wire::Response response = m_gateway.Execute(ToEmulatorRequest(request, timeoutMs));
        // The device's time to answer passes outside the gateway's lock. Waiting in vain for
        // a silent device is scaled as the TCP connection scales its timeouts.
        if (response.delayMs > 0) {
            const double scale =
                response.outcome == wire::Outcome::Timeout ? wire::TimeoutScale() : 1.0;
            std::this_thread::sleep_for(
                std::chrono::duration<double, std::milli>(response.delayMs * scale));
        }
        ApplyResponse(request, response);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The frame protocol, over any transport

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

FrameConnection::FrameConnection(std::unique_ptr<FrameTransport> transport)
    : m_transport(std::move(transport)) {}

FrameConnection::~FrameConnection() = default;

void FrameConnection::Open() {
    if (m_transport->IsOpen()) {
        return;
    }
    m_transport->Open();
    if (!m_card.empty()) {
        wire::ClientMessage select;
        select.kind = wire::MessageKind::SelectCard;
        select.cardName = m_card;
        m_transport->Exchange(wire::EncodeClientMessage(select), 10000);
    }
}

bool FrameConnection::FlagExchange(wire::MessageKind kind, bool open) {
    try {
        if (open) {
            Open();
        }
        wire::ClientMessage message;
        message.kind = kind;
        message.cardName = kind == wire::MessageKind::SelectCard ? m_card : std::string();
        return wire::DecodeFlag(m_transport->Exchange(wire::EncodeClientMessage(message), 10000));
    } catch (const CBaseCommsException&) {
        return false;
    } catch (const wire::ProtocolError&) {
        m_transport->Close();
        return false;
    }
}

bool FrameConnection::Connect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return FlagExchange(wire::MessageKind::Connect, true);
}

bool FrameConnection::Disconnect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_transport->IsOpen() || FlagExchange(wire::MessageKind::Disconnect, false);
}

bool FrameConnection::SelectCard(const char* name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_card = name != nullptr ? name : "";
    // Without an open transport the selection is sent when it opens.
    return !m_transport->IsOpen() || FlagExchange(wire::MessageKind::SelectCard, false);
}

int FrameConnection::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int /*reserved*/) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Open();
    for (const SubRequest& request : subStream.Requests()) {
        wire::ClientMessage execute;
        execute.kind = wire::MessageKind::Execute;
        execute.request = ToEmulatorRequest(request, timeoutMs);
        wire::Response response;
        try {
            response = wire::DecodeResponse(
                m_transport->Exchange(wire::EncodeClientMessage(execute), timeoutMs));
        } catch (const wire::ProtocolError&) {
            m_transport->Close();
            throw CBaseCommsException(kCommsMalformed);
        }
        if (response.outcome == wire::Outcome::Disconnect) {
            m_transport->Close();
        }
        ApplyResponse(request, response);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Over TCP

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

// ---------------------------------------------------------------------------------------------
// To a backend in this process

BackendTransport::BackendTransport(std::unique_ptr<emu::DeviceBackend> backend)
    : m_backend(std::move(backend)) {}

BackendTransport::~BackendTransport() {
    End();
}

void BackendTransport::Close() {
    End();
}

void BackendTransport::End() {
    if (m_open) {
        m_open = false;
        m_backend->ClientClosed();
    }
}

std::string BackendTransport::Exchange(const std::string& frame, int timeoutMs) {
    if (!m_open) {
        throw CBaseCommsException(kCommsReset);
    }
    const auto fail = [this](int code) {
        Close();
        return CBaseCommsException(code);
    };
    wire::FrameDecoder sent;
    std::optional<std::string> payload;
    wire::ClientMessage message;
    try {
        sent.Feed(frame);
        payload = sent.Next();
        if (!payload) {
            throw fail(kCommsReset);
        }
        message = wire::DecodeClientMessage(*payload);
    } catch (const wire::ProtocolError&) {
        throw fail(kCommsReset);  // a server closes the connection of a malformed message
    }
    const emu::ServerAnswer answer = m_backend->Answer(message);
    const double waitMs = timeoutMs * wire::TimeoutScale();
    const bool late = answer.kind == emu::ServerAnswer::Kind::Silent || answer.delayMs > waitMs;
    // The client waits what the answer takes, and gives up after its own wait.
    const double delay =
        late ? (answer.kind == emu::ServerAnswer::Kind::Silent ? 0 : waitMs) : answer.delayMs;
    if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(delay));
    }
    if (late) {
        throw fail(kCommsTimeout);
    }
    if (answer.kind == emu::ServerAnswer::Kind::Drop) {
        throw fail(kCommsReset);
    }
    wire::FrameDecoder received;
    try {
        received.Feed(answer.frame);
        if (auto reply = received.Next()) {
            return *reply;
        }
    } catch (const wire::ProtocolError&) {
    }
    throw fail(kCommsMalformed);
}

}  // namespace gwu::host

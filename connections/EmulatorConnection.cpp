#include "connections/EmulatorConnection.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "host/Replies.h"
#include "wire/Protocol.h"
#include "wire/Socket.h"

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

double TimeoutScale() {
    const char* text = std::getenv("GWU_TIMEOUT_SCALE");
    if (text == nullptr) {
        return 1.0;
    }
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    return end != text && scale > 0 ? scale : 1.0;
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
    return true;
}

bool EmulatorConnection::SelectCard(const char* name) {
    m_gateway.SelectCard(name != nullptr ? name : "");
    return true;
}

bool EmulatorConnection::Connect() {
    return true;
}

int EmulatorConnection::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int /*reserved*/) {
    for (const SubRequest& request : subStream.Requests()) {
        const wire::Response response = m_gateway.Execute(ToEmulatorRequest(request, timeoutMs));
        // The device's time to answer passes outside the gateway's lock. Waiting in vain for
        // a silent device is scaled as the TCP connection scales its timeouts.
        if (response.delayMs > 0) {
            const double scale = response.outcome == wire::Outcome::Timeout ? TimeoutScale() : 1.0;
            std::this_thread::sleep_for(
                std::chrono::duration<double, std::milli>(response.delayMs * scale));
        }
        ApplyResponse(request, response);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Over TCP

class TcpConnection::Socket {
public:
    explicit Socket(wire::net::Socket socket) : m_socket(std::move(socket)) {}
    const wire::net::Socket& Get() const { return m_socket; }
    wire::FrameDecoder& Decoder() { return m_decoder; }

private:
    wire::net::Socket m_socket;
    wire::FrameDecoder m_decoder;
};

TcpConnection::TcpConnection(std::string host, int port) : m_host(std::move(host)), m_port(port) {}

TcpConnection::~TcpConnection() = default;

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

void TcpConnection::Close() {
    m_socket.reset();
}

void TcpConnection::Open() {
    if (m_socket) {
        return;
    }
    wire::net::Socket socket = wire::net::Connect(m_host, static_cast<std::uint16_t>(m_port));
    if (!socket.Valid()) {
        throw CBaseCommsException(kCommsRefused);
    }
    m_socket = std::make_unique<Socket>(std::move(socket));
    if (!m_card.empty()) {
        wire::ClientMessage select;
        select.kind = wire::MessageKind::SelectCard;
        select.cardName = m_card;
        Exchange(wire::EncodeClientMessage(select), 10000);
    }
}

std::string TcpConnection::Exchange(const std::string& frame, int timeoutMs) {
    const wire::net::Socket& socket = m_socket->Get();
    for (size_t sent = 0; sent < frame.size();) {
        const long n = wire::net::Send(socket, frame.data() + sent, frame.size() - sent);
        if (n <= 0) {
            Close();
            throw CBaseCommsException(kCommsReset);
        }
        sent += static_cast<size_t>(n);
    }
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::microseconds(static_cast<long long>(timeoutMs * 1000.0 * TimeoutScale()));
    char chunk[4096];
    for (;;) {
        try {
            if (auto payload = m_socket->Decoder().Next()) {
                return *payload;
            }
        } catch (const wire::ProtocolError&) {
            Close();
            throw CBaseCommsException(kCommsMalformed);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            Close();
            throw CBaseCommsException(kCommsTimeout);
        }
        wire::net::Wait waiting{&socket, wire::net::kReadable};
        const int ready = wire::net::Poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready == 0) {
            continue;  // the deadline check above ends the wait
        }
        const long got = ready > 0 ? wire::net::Receive(socket, chunk, sizeof chunk) : -1;
        if (got <= 0) {
            Close();
            throw CBaseCommsException(kCommsReset);
        }
        try {
            m_socket->Decoder().Feed(std::string_view(chunk, static_cast<size_t>(got)));
        } catch (const wire::ProtocolError&) {
            Close();
            throw CBaseCommsException(kCommsMalformed);
        }
    }
}

bool TcpConnection::FlagExchange(wire::MessageKind kind, bool open) {
    try {
        if (open) {
            Open();
        }
        wire::ClientMessage message;
        message.kind = kind;
        message.cardName = kind == wire::MessageKind::SelectCard ? m_card : std::string();
        return wire::DecodeFlag(Exchange(wire::EncodeClientMessage(message), 10000));
    } catch (const CBaseCommsException&) {
        return false;
    } catch (const wire::ProtocolError&) {
        Close();
        return false;
    }
}

bool TcpConnection::Connect() {
    return FlagExchange(wire::MessageKind::Connect, true);
}

bool TcpConnection::Disconnect() {
    return !m_socket || FlagExchange(wire::MessageKind::Disconnect, false);
}

bool TcpConnection::SelectCard(const char* name) {
    m_card = name != nullptr ? name : "";
    // Without a socket the selection is sent when the socket opens.
    return !m_socket || FlagExchange(wire::MessageKind::SelectCard, false);
}

int TcpConnection::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int /*reserved*/) {
    Open();
    for (const SubRequest& request : subStream.Requests()) {
        wire::ClientMessage execute;
        execute.kind = wire::MessageKind::Execute;
        execute.request = ToEmulatorRequest(request, timeoutMs);
        wire::Response response;
        try {
            response =
                wire::DecodeResponse(Exchange(wire::EncodeClientMessage(execute), timeoutMs));
        } catch (const wire::ProtocolError&) {
            Close();
            throw CBaseCommsException(kCommsMalformed);
        }
        if (response.outcome == wire::Outcome::Disconnect) {
            Close();
        }
        ApplyResponse(request, response);
    }
    return 0;
}

}  // namespace gwu::host

#include "wire/FrameClient.h"

#include <chrono>
#include <cstdlib>

#include "wire/Protocol.h"
#include "wire/Socket.h"

namespace gwu::wire {

namespace {

const char* FailureText(FrameClient::Failure failure) {
    switch (failure) {
        case FrameClient::Failure::Refused:
            return "the gateway cannot be reached";
        case FrameClient::Failure::Timeout:
            return "no reply in time";
        case FrameClient::Failure::Reset:
            return "the connection dropped";
        case FrameClient::Failure::Malformed:
            return "a reply that is not a frame";
    }
    return "failed";
}

}  // namespace

double TimeoutScale() {
    const char* text = std::getenv("GWU_TIMEOUT_SCALE");
    if (text == nullptr) {
        return 1.0;
    }
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    return end != text && scale > 0 ? scale : 1.0;
}

FrameClient::Error::Error(Failure failure_)
    : std::runtime_error(FailureText(failure_)), failure(failure_) {}

class FrameClient::Connection {
public:
    explicit Connection(net::Socket socket) : m_socket(std::move(socket)) {}
    const net::Socket& Get() const { return m_socket; }
    FrameDecoder& Decoder() { return m_decoder; }

private:
    net::Socket m_socket;
    FrameDecoder m_decoder;
};

FrameClient::FrameClient(std::string host, std::uint16_t port)
    : m_host(std::move(host)), m_port(port) {}

FrameClient::~FrameClient() = default;

void FrameClient::Open() {
    if (m_socket) {
        return;
    }
    net::Socket socket = net::Connect(m_host, m_port);
    if (!socket.Valid()) {
        throw Error(Failure::Refused);
    }
    m_socket = std::make_unique<Connection>(std::move(socket));
}

void FrameClient::Close() {
    m_socket.reset();
}

std::string FrameClient::Exchange(const std::string& frame, double waitMs) {
    if (!m_socket) {
        throw Error(Failure::Reset);
    }
    const auto fail = [this](Failure failure) {
        Close();
        return Error(failure);
    };
    const net::Socket& socket = m_socket->Get();
    for (size_t sent = 0; sent < frame.size();) {
        const long n = net::Send(socket, frame.data() + sent, frame.size() - sent);
        if (n <= 0) {
            throw fail(Failure::Reset);
        }
        sent += static_cast<size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(static_cast<long long>(waitMs * 1000.0));
    char chunk[4096];
    for (;;) {
        try {
            if (auto payload = m_socket->Decoder().Next()) {
                return *payload;
            }
        } catch (const ProtocolError&) {
            throw fail(Failure::Malformed);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw fail(Failure::Timeout);
        }
        net::Wait waiting{&socket, net::kReadable};
        const int ready = net::Poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready == 0) {
            continue;  // the deadline check above ends the wait
        }
        const long got = ready > 0 ? net::Receive(socket, chunk, sizeof chunk) : -1;
        if (got <= 0) {
            throw fail(Failure::Reset);
        }
        try {
            m_socket->Decoder().Feed(std::string_view(chunk, static_cast<size_t>(got)));
        } catch (const ProtocolError&) {
            throw fail(Failure::Malformed);
        }
    }
}

}  // namespace gwu::wire

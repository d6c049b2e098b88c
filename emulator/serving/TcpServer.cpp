#include "emulator/serving/TcpServer.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <tuple>
#include <utility>

#include "wire/Protocol.h"

namespace gwu::emu {

namespace {

namespace net = wire::net;

constexpr int kBacklog = 16;
constexpr size_t kReadChunk = 4096;

}  // namespace

TcpServer::TcpServer(Gateway& gateway, const std::string& host, std::uint16_t port)
    : TcpServer(std::make_unique<GatewayBackend>(gateway), host, port) {}

TcpServer::TcpServer(std::unique_ptr<GatewayBackend> backend, const std::string& host,
                     std::uint16_t port)
    : m_ownBackend(std::move(backend)),
      m_backend(*m_ownBackend),
      m_host(host == "localhost" ? "127.0.0.1" : host) {
    Start(port);
}

TcpServer::TcpServer(DeviceBackend& backend, const std::string& host, std::uint16_t port)
    : m_backend(backend), m_host(host == "localhost" ? "127.0.0.1" : host) {
    Start(port);
}

void TcpServer::Start(std::uint16_t port) {
    m_listener = net::Listen(m_host, port, kBacklog, m_port);
    std::tie(m_wakeRead, m_wakeWrite) = net::Pair();
    m_thread = std::thread([this] { Run(); });
}

TcpServer::~TcpServer() {
    Stop();
}

void TcpServer::Stop() {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    if (!m_stopping.exchange(true)) {
        const char byte = 1;
        // The pair is empty and ours alone: a one-byte send cannot block or fall short.
        net::Send(m_wakeWrite, &byte, 1);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_listener.Reset();
}

bool TcpServer::WaitFor(const net::Socket& socket, int events) const {
    net::Wait waits[2] = {{&socket, events}, {&m_wakeRead, net::kReadable}};
    while (!m_stopping.load()) {
        if (net::Poll(waits, 2, -1) < 0 || waits[1].ready) {
            return false;
        }
        if (waits[0].ready) {
            return true;
        }
    }
    return false;
}

void TcpServer::Run() {
    while (WaitFor(m_listener, net::kReadable)) {
        net::Socket client = net::Accept(m_listener);
        // Never blocked by one client: every wait goes through WaitFor, which Stop() ends.
        if (!client.Valid() || !net::SetNonBlocking(client)) {
            continue;  // the client gave up before it was accepted, or a transient failure
        }
        if (auto backend = m_backend.NewClient()) {
            StartClient(std::move(client), std::move(backend));
        } else {
            Serve(client, m_backend);
        }
    }
    // Stopping: every client's wait ends as the server's did.
    for (Client& served : m_clients) {
        served.thread.join();
    }
    m_clients.clear();
}

void TcpServer::StartClient(net::Socket client, std::unique_ptr<DeviceBackend> backend) {
    m_clients.remove_if([](Client& served) {
        if (!served.done.load()) {
            return false;
        }
        served.thread.join();
        return true;
    });
    if (m_clients.size() >= kMaxClients) {
        return;  // closed as it goes: the client sees its connection end
    }
    Client& served = m_clients.emplace_back();
    try {
        served.thread =
            std::thread([this, &served, socket = std::move(client), backend = std::move(backend)] {
                Serve(socket, *backend);
                served.done.store(true);
            });
    } catch (const std::system_error&) {
        m_clients.pop_back();  // no thread to serve it: its connection closes
    }
}

void TcpServer::Serve(const net::Socket& client, DeviceBackend& backend) {
    try {
        wire::FrameDecoder decoder;
        char chunk[kReadChunk];
        bool open = true;
        while (open && WaitFor(client, net::kReadable)) {
            const long count = net::Receive(client, chunk, sizeof chunk);
            if (count < 0 && net::LastCallWouldBlock()) {
                continue;
            }
            if (count <= 0) {
                break;  // closed by the client (a frame left unfinished is dropped) or failed
            }
            decoder.Feed(std::string_view(chunk, static_cast<size_t>(count)));
            for (auto payload = decoder.Next(); open && payload; payload = decoder.Next()) {
                open = Answer(client, backend, *payload);
            }
        }
    } catch (const std::exception&) {
        // A malformed frame, or anything else of this client's failure, ends its connection
        // only.
    }
    backend.ClientClosed();
}

bool TcpServer::Answer(const net::Socket& client, DeviceBackend& backend,
                       const std::string& payload) {
    wire::ClientMessage message;
    try {
        message = wire::DecodeClientMessage(payload);
    } catch (const wire::ProtocolError&) {
        return false;
    }
    const ServerAnswer answer = backend.Answer(message);
    if (answer.kind == ServerAnswer::Kind::Silent) {
        return true;  // the client's own timeout ends its wait
    }
    // The answer takes its time, or the drop does (no lock is held while waiting).
    if (!Delay(answer.delayMs) || answer.kind == ServerAnswer::Kind::Drop) {
        return false;
    }
    return SendAll(client, answer.frame);
}

bool TcpServer::Delay(std::uint32_t ms) const {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kLongestPoll{60000};  // each wait within Poll's int
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    net::Wait wake{&m_wakeRead, net::kReadable};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return true;
        }
        // Ready only once Stop() was called; a failed wait ends the delay as a stop would.
        if (net::Poll(&wake, 1, static_cast<int>(std::min(left, kLongestPoll).count())) != 0) {
            return false;
        }
    }
}

bool TcpServer::SendAll(const net::Socket& client, const std::string& bytes) const {
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (!WaitFor(client, net::kWritable)) {
            return false;
        }
        const long count = net::Send(client, bytes.data() + sent, bytes.size() - sent);
        if (count < 0) {
            if (net::LastCallWouldBlock()) {
                continue;
            }
            return false;
        }
        sent += static_cast<size_t>(count);
    }
    return true;
}

}  // namespace gwu::emu

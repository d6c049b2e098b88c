#include "TcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "Protocol.h"

namespace gwu::emu {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

constexpr int kBacklog = 4;
constexpr size_t kReadChunk = 4096;

}  // namespace

UniqueFd::~UniqueFd() {
    Reset();
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = other.Release();
    }
    return *this;
}

int UniqueFd::Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::Reset() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

TcpServer::TcpServer(Gateway& gateway, const std::string& host, std::uint16_t port)
    : m_gateway(gateway), m_host(host == "localhost" ? "127.0.0.1" : host) {
    const std::string where = m_host + ":" + std::to_string(port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, m_host.c_str(), &address.sin_addr) != 1) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "not an IPv4 address: " + m_host);
    }
    m_listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!m_listener.Valid()) {
        ThrowErrno("cannot open a socket for " + where);
    }
    const int yes = 1;
    ::setsockopt(m_listener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(m_listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        ::listen(m_listener.Get(), kBacklog) != 0) {
        ThrowErrno("cannot listen on " + where);
    }
    socklen_t length = sizeof address;
    if (::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowErrno("cannot read the address of " + where);
    }
    m_port = ntohs(address.sin_port);

    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ThrowErrno("cannot create the stop pipe");
    }
    m_wakeRead = UniqueFd(pipeFds[0]);
    m_wakeWrite = UniqueFd(pipeFds[1]);
    m_thread = std::thread([this] { Run(); });
}

TcpServer::~TcpServer() {
    Stop();
}

void TcpServer::Stop() {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    if (!m_stopping.exchange(true)) {
        const char byte = 1;
        // The pipe is empty and ours alone: a one-byte write cannot block or fall short.
        [[maybe_unused]] const ssize_t written = ::write(m_wakeWrite.Get(), &byte, 1);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_listener.Reset();
}

bool TcpServer::WaitFor(int fd, short events) const {
    pollfd fds[2] = {{fd, events, 0}, {m_wakeRead.Get(), POLLIN, 0}};
    while (!m_stopping.load()) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (fds[1].revents != 0) {
            return false;
        }
        if (fds[0].revents != 0) {
            return true;
        }
    }
    return false;
}

void TcpServer::Run() {
    while (WaitFor(m_listener.Get(), POLLIN)) {
        UniqueFd client(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.Valid()) {
            continue;  // the client gave up before it was accepted, or a transient failure
        }
        try {
            Serve(client);
        } catch (const std::exception&) {
            // Nothing of one client's failure reaches the next one: its connection just ends.
        }
    }
}

void TcpServer::Serve(const UniqueFd& client) {
    FrameDecoder decoder;
    char chunk[kReadChunk];
    while (WaitFor(client.Get(), POLLIN)) {
        const ssize_t count = ::recv(client.Get(), chunk, sizeof chunk, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;  // closed by the client (a frame left unfinished is dropped) or failed
        }
        try {
            decoder.Feed(std::string_view(chunk, static_cast<size_t>(count)));
        } catch (const ProtocolError&) {
            return;
        }
        while (auto payload = decoder.Next()) {
            if (!Answer(client, *payload)) {
                return;
            }
        }
    }
}

bool TcpServer::Answer(const UniqueFd& client, const std::string& payload) {
    ClientMessage message;
    try {
        message = DecodeClientMessage(payload);
    } catch (const ProtocolError&) {
        return false;
    }
    switch (message.kind) {
        case MessageKind::Connect:
        case MessageKind::Disconnect:
            return SendAll(client, EncodeFlag(true));
        case MessageKind::SelectCard:
            m_gateway.SelectCard(message.cardName);
            return SendAll(client, EncodeFlag(true));
        case MessageKind::Execute:
            break;
    }
    const Response response = m_gateway.Execute(message.request);
    switch (response.outcome) {
        case Outcome::Timeout:
            return true;  // the device stays silent; the client's own timeout ends its wait
        case Outcome::Disconnect:
            return false;
        case Outcome::Reply:
        case Outcome::Throw:
            break;
    }
    return SendAll(client, EncodeResponse(response));
}

bool TcpServer::SendAll(const UniqueFd& client, const std::string& bytes) const {
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (!WaitFor(client.Get(), POLLOUT)) {
            return false;
        }
        const ssize_t count = ::send(client.Get(), bytes.data() + sent, bytes.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return false;
        }
        sent += static_cast<size_t>(count);
    }
    return true;
}

}  // namespace gwu::emu

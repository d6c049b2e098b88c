#include "Socket.h"

#include <algorithm>
#include <memory>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace gwu::emu::net {

namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
using PollEntry = WSAPOLLFD;
constexpr int kSendFlags = 0;

// Winsock is started once, on first use, and cleaned up at exit.
void EnsureStarted() {
    struct Started {
        Started() {
            WSADATA data{};
            ::WSAStartup(MAKEWORD(2, 2), &data);
        }
        ~Started() { ::WSACleanup(); }
    };
    static const Started started;
}

int LastCode() {
    return ::WSAGetLastError();
}

bool Interrupted() {
    return false;  // Winsock calls are not interrupted by signals
}

int CloseNative(NativeSocket socket) {
    return ::closesocket(socket);
}

NativeSocket OpenNative(int family, int type, int protocol) {
    EnsureStarted();
    return ::socket(family, type, protocol);
}

bool NativeValid(NativeSocket socket) {
    return socket != INVALID_SOCKET;
}
#else
using NativeSocket = int;
using PollEntry = pollfd;
constexpr int kSendFlags = MSG_NOSIGNAL;

int LastCode() {
    return errno;
}

bool Interrupted() {
    return errno == EINTR;
}

int CloseNative(NativeSocket socket) {
    return ::close(socket);
}

NativeSocket OpenNative(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

bool NativeValid(NativeSocket socket) {
    return socket >= 0;
}
#endif

NativeSocket NativeOf(const Socket& socket) {
    return static_cast<NativeSocket>(socket.Get());
}

Socket Own(NativeSocket socket) {
    return NativeValid(socket) ? Socket(static_cast<Socket::Native>(socket)) : Socket();
}

[[noreturn]] void ThrowLast(const std::string& what) {
    throw std::system_error(LastError(), what);
}

}  // namespace

Socket::~Socket() {
    Reset();
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Reset();
        m_handle = other.Release();
    }
    return *this;
}

Socket::Native Socket::Release() {
    const Native handle = m_handle;
    m_handle = kInvalid;
    return handle;
}

void Socket::Reset() {
    if (Valid()) {
        CloseNative(static_cast<NativeSocket>(m_handle));
        m_handle = kInvalid;
    }
}

std::error_code LastError() {
#ifdef _WIN32
    return std::error_code(LastCode(), std::system_category());
#else
    return std::error_code(LastCode(), std::generic_category());
#endif
}

bool LastCallWouldBlock() {
#ifdef _WIN32
    return LastCode() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

Socket Listen(const std::string& ipv4, std::uint16_t port, int backlog, std::uint16_t& bound) {
    const std::string where = ipv4 + ":" + std::to_string(port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) != 1) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "not an IPv4 address: " + ipv4);
    }
    Socket listener = Own(OpenNative(AF_INET, SOCK_STREAM, 0));
    if (!listener.Valid()) {
        ThrowLast("cannot open a socket for " + where);
    }
#ifdef _WIN32
    // Windows lets SO_REUSEADDR take over a port in use; exclusive use is its safe default.
    const BOOL exclusive = TRUE;
    ::setsockopt(NativeOf(listener), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
#else
    const int yes = 1;
    ::setsockopt(NativeOf(listener), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    if (::bind(NativeOf(listener), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        ::listen(NativeOf(listener), backlog) != 0) {
        ThrowLast("cannot listen on " + where);
    }
    socklen_t length = sizeof address;
    if (::getsockname(NativeOf(listener), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowLast("cannot read the address of " + where);
    }
    bound = ntohs(address.sin_port);
    return listener;
}

Socket Accept(const Socket& listener) {
#ifdef _WIN32
    return Own(::accept(NativeOf(listener), nullptr, nullptr));
#else
    return Own(::accept4(NativeOf(listener), nullptr, nullptr, SOCK_CLOEXEC));
#endif
}

Socket Connect(const std::string& host, std::uint16_t port) {
#ifdef _WIN32
    EnsureStarted();
#endif
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return Socket();
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    for (const addrinfo* at = addresses.get(); at != nullptr; at = at->ai_next) {
        Socket socket = Own(OpenNative(at->ai_family, at->ai_socktype, at->ai_protocol));
        if (socket.Valid() &&
            ::connect(NativeOf(socket), at->ai_addr, static_cast<socklen_t>(at->ai_addrlen)) == 0) {
            const int one = 1;
            ::setsockopt(NativeOf(socket), IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<const char*>(&one), sizeof one);
            return socket;
        }
    }
    return Socket();
}

std::pair<Socket, Socket> Pair() {
#ifdef _WIN32
    // No socket pairs here: a loopback connection to a listener of its own makes one.
    std::uint16_t port = 0;
    const Socket listener = Listen("127.0.0.1", 0, 1, port);
    Socket one = Connect("127.0.0.1", port);
    Socket other = one.Valid() ? Accept(listener) : Socket();
    if (!other.Valid()) {
        ThrowLast("cannot connect a socket pair");
    }
    return {std::move(one), std::move(other)};
#else
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        ThrowLast("cannot create a socket pair");
    }
    return {Socket(fds[0]), Socket(fds[1])};
#endif
}

bool SetNonBlocking(const Socket& socket) {
#ifdef _WIN32
    u_long on = 1;
    return ::ioctlsocket(NativeOf(socket), FIONBIO, &on) == 0;
#else
    const int flags = ::fcntl(NativeOf(socket), F_GETFL);
    return flags >= 0 && ::fcntl(NativeOf(socket), F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

long Send(const Socket& socket, const char* data, std::size_t size) {
    for (;;) {
        // Winsock takes an int's worth at a time; the caller sends the rest.
        const auto count =
            ::send(NativeOf(socket), data, static_cast<int>(std::min<std::size_t>(size, 1u << 30)),
                   kSendFlags);
        if (count < 0 && Interrupted()) {
            continue;
        }
        return static_cast<long>(count);
    }
}

long Receive(const Socket& socket, char* data, std::size_t size) {
    for (;;) {
        const auto count = ::recv(NativeOf(socket), data,
                                  static_cast<int>(std::min<std::size_t>(size, 1u << 30)), 0);
        if (count < 0 && Interrupted()) {
            continue;
        }
        return static_cast<long>(count);
    }
}

int Poll(Wait* waits, std::size_t count, int timeoutMs) {
    std::vector<PollEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        entries[i].fd = NativeOf(*waits[i].socket);
        entries[i].events = static_cast<short>(((waits[i].events & kReadable) != 0 ? POLLIN : 0) |
                                               ((waits[i].events & kWritable) != 0 ? POLLOUT : 0));
        entries[i].revents = 0;
    }
    for (;;) {
#ifdef _WIN32
        const int ready = ::WSAPoll(entries.data(), static_cast<ULONG>(count), timeoutMs);
#else
        const int ready = ::poll(entries.data(), static_cast<nfds_t>(count), timeoutMs);
#endif
        if (ready < 0 && Interrupted()) {
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            waits[i].ready = ready > 0 && entries[i].revents != 0;
        }
        return ready;
    }
}

}  // namespace gwu::emu::net

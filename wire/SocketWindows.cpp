// Sockets on Windows: Winsock, started on first use and cleaned up at exit. Its calls are never
// cut short by a signal, and a broken connection fails the call without raising anything.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>
#include <vector>

#include "wire/Socket.h"
#include "wire/SocketPlatform.h"

namespace gwu::wire::net {

namespace {

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

SOCKET NativeOf(const Socket& socket) {
    return static_cast<SOCKET>(socket.Get());
}

Socket Own(SOCKET socket) {
    return socket != INVALID_SOCKET ? Socket(static_cast<Socket::Native>(socket)) : Socket();
}

SOCKET OpenNative(int family, int type, int protocol) {
    EnsureStarted();
    return ::socket(family, type, protocol);
}

}  // namespace

void platform::Close(Socket::Native handle) {
    ::closesocket(static_cast<SOCKET>(handle));
}

bool platform::Interrupted() {
    return false;
}

long platform::SendOnce(const Socket& socket, const char* data, int size) {
    return static_cast<long>(::send(NativeOf(socket), data, size, 0));
}

long platform::ReceiveOnce(const Socket& socket, char* data, int size) {
    return static_cast<long>(::recv(NativeOf(socket), data, size, 0));
}

int platform::PollOnce(Wait* waits, std::size_t count, int timeoutMs) {
    std::vector<WSAPOLLFD> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        entries[i].fd = NativeOf(*waits[i].socket);
        entries[i].events = static_cast<short>(((waits[i].events & kReadable) != 0 ? POLLIN : 0) |
                                               ((waits[i].events & kWritable) != 0 ? POLLOUT : 0));
        entries[i].revents = 0;
    }
    const int ready = ::WSAPoll(entries.data(), static_cast<ULONG>(count), timeoutMs);
    for (std::size_t i = 0; i < count; ++i) {
        waits[i].ready = ready > 0 && entries[i].revents != 0;
    }
    return ready;
}

std::error_code LastError() {
    return std::error_code(::WSAGetLastError(), std::system_category());
}

bool LastCallWouldBlock() {
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
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
        platform::ThrowLastError("cannot open a socket for " + where);
    }
    // Windows lets SO_REUSEADDR take over a port in use; exclusive use is its safe default.
    const BOOL exclusive = TRUE;
    ::setsockopt(NativeOf(listener), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    if (::bind(NativeOf(listener), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        ::listen(NativeOf(listener), backlog) != 0) {
        platform::ThrowLastError("cannot listen on " + where);
    }
    int length = sizeof address;
    if (::getsockname(NativeOf(listener), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        platform::ThrowLastError("cannot read the address of " + where);
    }
    bound = ntohs(address.sin_port);
    return listener;
}

Socket Accept(const Socket& listener) {
    return Own(::accept(NativeOf(listener), nullptr, nullptr));
}

Socket Connect(const std::string& host, std::uint16_t port) {
    EnsureStarted();
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
            ::connect(NativeOf(socket), at->ai_addr, static_cast<int>(at->ai_addrlen)) == 0) {
            const int one = 1;
            ::setsockopt(NativeOf(socket), IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<const char*>(&one), sizeof one);
            return socket;
        }
    }
    return Socket();
}

std::pair<Socket, Socket> Pair() {
    // No socket pairs here: a loopback connection to a listener of its own makes one.
    std::uint16_t port = 0;
    const Socket listener = Listen("127.0.0.1", 0, 1, port);
    Socket one = Connect("127.0.0.1", port);
    Socket other = one.Valid() ? Accept(listener) : Socket();
    if (!other.Valid()) {
        platform::ThrowLastError("cannot connect a socket pair");
    }
    return {std::move(one), std::move(other)};
}

bool SetNonBlocking(const Socket& socket) {
    u_long on = 1;
    return ::ioctlsocket(NativeOf(socket), FIONBIO, &on) == 0;
}

}  // namespace gwu::wire::net

// Sockets on POSIX: BSD sockets, closed across exec; a broken connection fails the call with
// EPIPE instead of raising SIGPIPE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "wire/Socket.h"
#include "wire/SocketPlatform.h"

namespace gwu::wire::net {

namespace {

int NativeOf(const Socket& socket) {
    return static_cast<int>(socket.Get());
}

Socket Own(int descriptor) {
    return descriptor >= 0 ? Socket(descriptor) : Socket();
}

int OpenNative(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

}  // namespace

void platform::Close(Socket::Native handle) {
    ::close(static_cast<int>(handle));
}

bool platform::Interrupted() {
    return errno == EINTR;
}

long platform::SendOnce(const Socket& socket, const char* data, int size) {
    return static_cast<long>(
        ::send(NativeOf(socket), data, static_cast<std::size_t>(size), MSG_NOSIGNAL));
}

long platform::ReceiveOnce(const Socket& socket, char* data, int size) {
    return static_cast<long>(::recv(NativeOf(socket), data, static_cast<std::size_t>(size), 0));
}

int platform::PollOnce(Wait* waits, std::size_t count, int timeoutMs) {
    std::vector<pollfd> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        entries[i].fd = NativeOf(*waits[i].socket);
        entries[i].events = static_cast<short>(((waits[i].events & kReadable) != 0 ? POLLIN : 0) |
                                               ((waits[i].events & kWritable) != 0 ? POLLOUT : 0));
        entries[i].revents = 0;
    }
    const int ready = ::poll(entries.data(), static_cast<nfds_t>(count), timeoutMs);
    for (std::size_t i = 0; i < count; ++i) {
        waits[i].ready = ready > 0 && entries[i].revents != 0;
    }
    return ready;
}

std::error_code LastError() {
    return std::error_code(errno, std::generic_category());
}

bool LastCallWouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
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
    const int yes = 1;
    ::setsockopt(NativeOf(listener), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(NativeOf(listener), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        ::listen(NativeOf(listener), backlog) != 0) {
        platform::ThrowLastError("cannot listen on " + where);
    }
    socklen_t length = sizeof address;
    if (::getsockname(NativeOf(listener), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        platform::ThrowLastError("cannot read the address of " + where);
    }
    bound = ntohs(address.sin_port);
    return listener;
}

Socket Accept(const Socket& listener) {
    return Own(::accept4(NativeOf(listener), nullptr, nullptr, SOCK_CLOEXEC));
}

Socket Connect(const std::string& host, std::uint16_t port) {
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
        if (socket.Valid() && ::connect(NativeOf(socket), at->ai_addr, at->ai_addrlen) == 0) {
            const int one = 1;
            ::setsockopt(NativeOf(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return socket;
        }
    }
    return Socket();
}

std::pair<Socket, Socket> Pair() {
    int descriptors[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, descriptors) != 0) {
        platform::ThrowLastError("cannot create a socket pair");
    }
    return {Socket(descriptors[0]), Socket(descriptors[1])};
}

bool SetNonBlocking(const Socket& socket) {
    const int flags = ::fcntl(NativeOf(socket), F_GETFL);
    return flags >= 0 && ::fcntl(NativeOf(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace gwu::wire::net

// Stream sockets on the platform's own API (BSD sockets, or Winsock on Windows), for the
// emulator's server, the host's TCP connection and the tests that play a peer. Nothing here
// includes a platform header: Socket.cpp holds what both platforms share, and CMake builds one of
// SocketPosix.cpp and SocketWindows.cpp for the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

namespace gwu::wire::net {

// An owned socket, closed on destruction.
class Socket {
public:
    // The platform's socket: a descriptor, or a Winsock SOCKET.
    using Native = std::intptr_t;

    Socket() = default;
    explicit Socket(Native handle) : m_handle(handle) {}
    ~Socket();
    Socket(Socket&& other) noexcept : m_handle(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    Native Get() const { return m_handle; }
    bool Valid() const { return m_handle != kInvalid; }
    Native Release();
    void Reset();

private:
    static constexpr Native kInvalid = -1;
    Native m_handle = kInvalid;
};

// The error of the last failed call on this thread.
std::error_code LastError();
// Whether the last failed call would have had to wait (a non-blocking socket).
bool LastCallWouldBlock();

// A socket listening on an IPv4 address (port 0 picks a free one); `bound` gets the port.
// Throws std::system_error when the address is not IPv4 or cannot be listened on.
Socket Listen(const std::string& ipv4, std::uint16_t port, int backlog, std::uint16_t& bound);
// The next pending client; an invalid socket when there is none or it failed.
Socket Accept(const Socket& listener);
// A socket connected to the host (a name or an address) and port, with Nagle's delay off; an
// invalid socket when no address of the host takes the connection.
Socket Connect(const std::string& host, std::uint16_t port);
// Two sockets connected to each other, e.g. to wake a thread that waits on one of them.
// Throws std::system_error on failure.
std::pair<Socket, Socket> Pair();
// Calls on the socket return at once instead of waiting. False on failure.
bool SetNonBlocking(const Socket& socket);

// Bytes sent or received; 0 from Receive when the peer closed; -1 on failure. An interrupted
// call is retried, and a broken connection never raises a signal.
long Send(const Socket& socket, const char* data, std::size_t size);
long Receive(const Socket& socket, char* data, std::size_t size);

enum Events : int { kReadable = 1, kWritable = 2 };
struct Wait {
    const Socket* socket;
    int events;          // a combination of Events
    bool ready = false;  // set by Poll: ready, closed or failed
};
// Waits up to timeoutMs (-1: for ever) until one of the sockets is ready. Returns how many
// are, 0 on timeout, -1 on failure.
int Poll(Wait* waits, std::size_t count, int timeoutMs);

}  // namespace gwu::wire::net

// A raw TCP client on loopback, for the tests that play a peer of a server (the emulator's, gwctl
// serve's): bytes sent as given and read as they come, every wait at most five seconds, so that
// a server that stalls fails the test instead of hanging it.
#pragma once

#include <cstdint>
#include <string>

#include "wire/Socket.h"

namespace gwu::test {

class LoopbackClient {
public:
    explicit LoopbackClient(int port)
        : m_socket(wire::net::Connect("127.0.0.1", static_cast<std::uint16_t>(port))) {
        wire::net::SetNonBlocking(m_socket);
    }

    bool Connected() const { return m_socket.Valid(); }

    // Sends the bytes; false once the peer takes no more (closed, or none taken for 5 s).
    bool Send(const std::string& bytes) const {
        for (size_t sent = 0; sent < bytes.size();) {
            if (!Ready(wire::net::kWritable, kWaitMs)) {
                return false;
            }
            const long count = wire::net::Send(m_socket, bytes.data() + sent, bytes.size() - sent);
            if (count < 0 && !wire::net::LastCallWouldBlock()) {
                return false;
            }
            sent += count > 0 ? static_cast<size_t>(count) : 0;
        }
        return true;
    }

    // What comes next, up to size bytes: the count; 0 when the peer closed; -1 when nothing came
    // in 5 s or the connection failed.
    long Receive(char* data, size_t size) const {
        return Ready(wire::net::kReadable, kWaitMs) ? wire::net::Receive(m_socket, data, size) : -1;
    }

    // Everything received so far, once it holds the text, the peer closed or 5 s passed silent.
    const std::string& ReadUntil(const std::string& text) {
        char chunk[4096];
        long count = 0;
        while (m_read.find(text) == std::string::npos &&
               (count = Receive(chunk, sizeof chunk)) > 0) {
            m_read.append(chunk, static_cast<size_t>(count));
        }
        return m_read;
    }

    // Whether the peer has closed (or broken) the connection without sending anything more,
    // waiting up to waitMs for it.
    bool Closed(int waitMs = kWaitMs) const {
        char byte = 0;
        return Ready(wire::net::kReadable, waitMs) && wire::net::Receive(m_socket, &byte, 1) <= 0;
    }

private:
    static constexpr int kWaitMs = 5000;

    bool Ready(int events, int waitMs) const {
        wire::net::Wait waiting{&m_socket, events};
        return wire::net::Poll(&waiting, 1, waitMs) > 0;
    }

    wire::net::Socket m_socket;
    std::string m_read;
};

}  // namespace gwu::test

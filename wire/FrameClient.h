// The client end of the frame protocol over TCP: one socket to a gateway server, a frame sent
// and the reply frame awaited. The host's TCP connection and gwemu's recording proxy both use it;
// each turns its failures into what its own caller expects.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace gwu::wire {

// The timeout scale of the GWU_TIMEOUT_SCALE environment variable (a positive number, default
// 1): every wait for a device's reply is the request's timeout times this, so that tests can
// shorten the device's long timeouts.
double TimeoutScale();

class FrameClient {
public:
    enum class Failure : std::uint8_t {
        Refused,    // the server cannot be reached
        Timeout,    // no reply within the wait
        Reset,      // the connection dropped
        Malformed,  // the bytes received are not a frame
    };
    class Error : public std::runtime_error {
    public:
        explicit Error(Failure failure);
        Failure failure;
    };

    FrameClient(std::string host, std::uint16_t port);
    ~FrameClient();
    FrameClient(const FrameClient&) = delete;
    FrameClient& operator=(const FrameClient&) = delete;

    bool IsOpen() const { return m_socket != nullptr; }
    // Connects unless connected already. Throws Error(Refused).
    void Open();
    void Close();
    // Sends a whole frame and waits up to waitMs for the reply frame; returns its payload.
    // Any failure closes the socket and throws Error: a reply that arrives after its wait must
    // never be taken for the answer to the next frame.
    std::string Exchange(const std::string& frame, double waitMs);

private:
    class Connection;
    std::string m_host;
    std::uint16_t m_port;
    std::unique_ptr<Connection> m_socket;
};

}  // namespace gwu::wire

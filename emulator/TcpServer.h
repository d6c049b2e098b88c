// Serves a gateway backend (the emulated gateway, a recording proxy or a replay) over TCP with
// the frame protocol of Protocol.h (gwu_wire).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gatewayutils/emulator/Backend.h"
#include "gatewayutils/emulator/Gateway.h"
#include "gatewayutils/wire/Socket.h"

namespace gwu::emu {

// Listens on construction and serves one client at a time, in order of arrival, on its own
// thread until Stop() or destruction. A client whose frame is malformed or larger than
// kMaxFramePayload is disconnected; the server then waits for the next one.
class TcpServer {
public:
    // Borrows the backend, which must outlive the server. The host is an IPv4 address
    // ("localhost" stands for 127.0.0.1); port 0 picks a free port. Throws std::system_error
    // when the address cannot be listened on.
    explicit TcpServer(DeviceBackend& backend, const std::string& host = "127.0.0.1",
                       std::uint16_t port = 0);
    // Serves the emulated gateway, which must outlive the server.
    explicit TcpServer(Gateway& gateway, const std::string& host = "127.0.0.1",
                       std::uint16_t port = 0);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    const std::string& Host() const { return m_host; }
    std::uint16_t Port() const { return m_port; }

    // Closes the client being served, stops listening and joins the thread. Safe to call more
    // than once and from any thread but the server's own.
    void Stop();

private:
    TcpServer(std::unique_ptr<GatewayBackend> backend, const std::string& host, std::uint16_t port);
    void Start(std::uint16_t port);
    void Run();
    void Serve(const wire::net::Socket& client);
    // Answers one payload; false when the connection is to be closed.
    bool Answer(const wire::net::Socket& client, const std::string& payload);
    // Waits until the socket is ready for the events or the server is stopped; false when
    // stopped.
    bool WaitFor(const wire::net::Socket& socket, int events) const;
    bool SendAll(const wire::net::Socket& client, const std::string& bytes) const;
    // Waits the time the device takes to answer; false when Stop() cuts it short.
    bool Delay(std::uint32_t ms) const;

    std::unique_ptr<GatewayBackend> m_ownBackend;  // when serving a gateway
    DeviceBackend& m_backend;
    std::string m_host;
    std::uint16_t m_port = 0;
    wire::net::Socket m_listener;
    wire::net::Socket m_wakeRead;  // readable once Stop() was called
    wire::net::Socket m_wakeWrite;
    std::atomic<bool> m_stopping{false};
    std::mutex m_stopMutex;
    std::thread m_thread;
};

}  // namespace gwu::emu

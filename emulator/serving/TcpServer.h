// Serves a gateway backend (the emulated gateway, a recording proxy or a replay) over TCP with
// the frame protocol of Protocol.h (gwu_wire).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gatewayutils/emulator/model/Gateway.h"
#include "gatewayutils/emulator/serving/Backend.h"
#include "gatewayutils/wire/Socket.h"

namespace gwu::emu {

// Listens on construction and serves clients until Stop() or destruction. A backend that serves
// clients at once (the emulated gateway) gets each client on a thread of its own, up to
// kMaxClients at a time: a client that connects while that many are served is closed at once,
// and one that says nothing, or leaves a frame unfinished, holds only its own thread. A backend
// that holds one session (a recording, a replay) gets one client at a time, in order of arrival,
// on the server's thread: the next client waits, connected, until the one served leaves. A client
// whose frame is malformed or larger than kMaxFramePayload is disconnected.
class TcpServer {
public:
    static constexpr std::size_t kMaxClients = 16;

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

    // Closes the clients being served, stops listening and joins the threads. Safe to call more
    // than once and from any thread but the server's own.
    void Stop();

private:
    struct Client {  // a client served on a thread of its own
        std::thread thread;
        std::atomic<bool> done{false};
    };

    TcpServer(std::unique_ptr<GatewayBackend> backend, const std::string& host, std::uint16_t port);
    void Start(std::uint16_t port);
    void Run();
    // Starts serving the client on a thread of its own, unless kMaxClients are served already.
    void StartClient(wire::net::Socket client, std::unique_ptr<DeviceBackend> backend);
    // Serves the client until its connection ends or the server stops; never throws.
    void Serve(const wire::net::Socket& client, DeviceBackend& backend);
    // Answers one payload; false when the connection is to be closed.
    bool Answer(const wire::net::Socket& client, DeviceBackend& backend,
                const std::string& payload);
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
    std::list<Client> m_clients;  // the server's thread's alone
};

}  // namespace gwu::emu

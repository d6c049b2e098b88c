// Serves an emulated gateway over TCP with the frame protocol of Protocol.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "Gateway.h"

namespace gwu::emu {

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release();
    void Reset();

private:
    int m_fd = -1;
};

// Listens on construction and serves one client at a time, in order of arrival, on its own
// thread until Stop() or destruction. A client whose frame is malformed or larger than
// kMaxFramePayload is disconnected; the server then waits for the next one.
class TcpServer {
public:
    // Borrows the gateway, which must outlive the server. The host is an IPv4 address
    // ("localhost" stands for 127.0.0.1); port 0 picks a free port. Throws std::system_error
    // when the address cannot be listened on.
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
    void Run();
    void Serve(const UniqueFd& client);
    // Answers one payload; false when the connection is to be closed.
    bool Answer(const UniqueFd& client, const std::string& payload);
    // Waits until fd is ready for the events or the server is stopped; false when stopped.
    bool WaitFor(int fd, short events) const;
    bool SendAll(const UniqueFd& client, const std::string& bytes) const;

    Gateway& m_gateway;
    std::string m_host;
    std::uint16_t m_port = 0;
    UniqueFd m_listener;
    UniqueFd m_wakeRead;  // readable once Stop() was called
    UniqueFd m_wakeWrite;
    std::atomic<bool> m_stopping{false};
    std::mutex m_stopMutex;
    std::thread m_thread;
};

}  // namespace gwu::emu

// The server and the client over Beast and Asio (Boost's header-only HTTP and networking
// libraries). This is the one source that includes them (with Connection.h): they compile slowly,
// in every build configuration.
#include "http/Client.h"
#include "http/Server.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/thread_pool.hpp>
#include <csignal>
#include <utility>
#include <vector>

#include "http/Connection.h"

namespace gwu::http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using detail::Connection;
using tcp = net::ip::tcp;

class Server::Impl final : public detail::ConnectionOwner {
public:
    explicit Impl(ServerOptions options)
        : m_options(std::move(options)),
          m_pool(std::max<size_t>(1, m_options.limits.handlerThreads)) {
        // From now on, not only once Run has started: a signal that comes in between waits.
        if (m_options.onSignal) {
            m_signals.add(SIGINT);
            m_signals.add(SIGTERM);
        }
    }

    ~Impl() {
        Stop();
        m_pool.join();  // no handler runs past the server
    }

    int Listen(const std::string& host, int port, std::string& error) {
        beast::error_code ec;
        tcp::resolver resolver(m_io);
        const auto endpoints =
            resolver.resolve(host, std::to_string(port),
                             tcp::resolver::passive | tcp::resolver::numeric_service, ec);
        if (ec || endpoints.empty()) {
            error = ec ? ec.message() : "no such address";
            return 0;
        }
        const tcp::endpoint endpoint = endpoints.begin()->endpoint();
        m_acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
        // A restarted server may take its port back at once; on Windows the same option would let
        // another program take a port in use.
        if (!ec) {
            m_acceptor.set_option(net::socket_base::reuse_address(true), ec);
        }
#endif
        if (!ec) {
            m_acceptor.bind(endpoint, ec);
        }
        if (!ec) {
            m_acceptor.listen(net::socket_base::max_listen_connections, ec);
        }
        if (ec) {
            error = ec.message();
            m_acceptor.close(ec);
            return 0;
        }
        return m_acceptor.local_endpoint().port();
    }

    void Run() {
        if (m_options.onSignal) {
            WaitForSignal();
        }
        Accept();
        m_io.run();
    }

    // Run returns once the posted work has run; a Run that has not started yet returns at once.
    void Stop() {
        m_stopRequested = true;
        net::post(m_io, [this] { CloseAll(); });
    }

    void Publish(const std::string& text) {
        net::post(m_io, [this, event = "data: " + text + "\n\n"]() mutable {
            m_latest = std::move(event);
            ForEachStream([this](Connection& stream) { Queue(stream, m_latest); });
        });
    }

    size_t OpenStreams() const {
        return m_openStreams;
    }

    void Handle(Request request, std::function<void(Response)> done) override {
        net::post(m_pool, [this, request = std::move(request), done = std::move(done)] {
            Response response;
            try {
                response = m_options.handler(request);
            } catch (const std::exception& e) {
                response = Refusal(500, std::string("the request failed: ") + e.what());
            }
            net::post(m_io, [done, response = std::move(response)]() mutable {
                done(std::move(response));
            });
        });
    }

    Response Refusal(int status, const std::string& sentence) const override {
        if (m_options.refusal) {
            return m_options.refusal(status, sentence);
        }
        Response response;
        response.status = status;
        response.contentType = "text/plain; charset=utf-8";
        response.body = sentence + "\n";
        return response;
    }

    const Limits& GetLimits() const override {
        return m_options.limits;
    }
    bool AddStream(const std::shared_ptr<Connection>& stream) override;
    void RemoveStream() override {
        --m_openStreams;
    }
    const std::string& Latest() const override {
        return m_latest;
    }

private:
    void Accept();
    void CloseAll();
    void Queue(Connection& stream, const std::string& event);
    template <typename Action>
    void ForEachStream(Action action);

    void WaitForSignal() {
        m_signals.async_wait([this](const beast::error_code& ec, int signal) {
            if (ec) {
                return;
            }
            m_options.onSignal(signal, ++m_signalCount);
            WaitForSignal();
        });
    }

    ServerOptions m_options;
    net::io_context m_io{1};
    tcp::acceptor m_acceptor{m_io};
    net::signal_set m_signals{m_io};
    net::steady_timer m_acceptRetry{m_io};
    net::thread_pool m_pool;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<size_t> m_openStreams{0};
    // On the network thread only.
    std::vector<std::weak_ptr<Connection>> m_connections;
    std::vector<std::weak_ptr<Connection>> m_streams;
    std::string m_latest;  // the latest event, sent first to a new stream
    int m_signalCount = 0;
    bool m_closed = false;

    friend class Server;
};

bool Server::Impl::AddStream(const std::shared_ptr<Connection>& stream) {
    if (m_openStreams >= m_options.limits.streams) {
        return false;
    }
    ++m_openStreams;
    m_streams.push_back(stream);
    return true;
}

template <typename Action>
void Server::Impl::ForEachStream(Action action) {
    std::vector<std::weak_ptr<Connection>> open;
    for (const auto& weak : m_streams) {
        if (const auto stream = weak.lock(); stream && stream->IsStream()) {
            open.push_back(weak);
            action(*stream);
        }
    }
    m_streams = std::move(open);
}

void Server::Impl::Queue(Connection& stream, const std::string& event) {
    stream.Queue(event);
}

void Server::Impl::Accept() {
    m_acceptor.async_accept(m_io, [this](beast::error_code ec, tcp::socket socket) {
        if (m_closed || !m_acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors, say: try again shortly rather than at once, forever.
            m_acceptRetry.expires_after(std::chrono::milliseconds(50));
            m_acceptRetry.async_wait([this](beast::error_code waited) {
                if (!waited) {
                    Accept();
                }
            });
            return;
        }
        std::vector<std::weak_ptr<Connection>> open;
        for (const auto& weak : m_connections) {
            if (!weak.expired()) {
                open.push_back(weak);
            }
        }
        m_connections = std::move(open);
        auto connection = std::make_shared<Connection>(*this, std::move(socket));
        m_connections.push_back(connection);
        if (m_connections.size() > m_options.limits.connections) {
            connection->Refuse(503, "too many connections (at most " +
                                        std::to_string(m_options.limits.connections) + ")");
        } else {
            connection->Start();
        }
        Accept();
    });
}

void Server::Impl::CloseAll() {
    m_closed = true;
    beast::error_code ignored;
    m_acceptor.close(ignored);
    m_acceptRetry.cancel();
    m_signals.cancel(ignored);
    for (const auto& weak : m_connections) {
        if (const auto connection = weak.lock()) {
            connection->Close();
        }
    }
    m_connections.clear();
    m_streams.clear();
    m_io.stop();
}

Server::Server(ServerOptions options) : m_impl(std::make_unique<Impl>(std::move(options))) {}
Server::~Server() = default;

int Server::Listen(const std::string& host, int port, std::string& error) {
    return m_impl->Listen(host, port, error);
}

void Server::Run() {
    if (m_impl->m_stopRequested) {
        return;
    }
    m_impl->Run();
}

void Server::Stop() {
    m_impl->Stop();
}

void Server::Publish(const std::string& text) {
    m_impl->Publish(text);
}

size_t Server::OpenStreams() const {
    return m_impl->OpenStreams();
}

// The client: one exchange on a connection of its own, under one deadline.
std::optional<Response> Fetch(const std::string& host, int port, const Request& request,
                              std::string& error, const ClientOptions& options) {
    net::io_context io{1};
    beast::tcp_stream stream(io);
    beast::flat_buffer buffer;
    bhttp::request<bhttp::string_body> message;
    message.version(11);
    message.method_string(request.method);
    message.target(request.target.empty() ? "/" : request.target);
    for (const auto& [name, value] : request.headers) {
        message.insert(name, value);
    }
    if (request.Header("Host").empty()) {
        const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        message.set(bhttp::field::host, name + ":" + std::to_string(port));
    }
    message.body() = request.body;
    message.keep_alive(false);
    message.prepare_payload();
    bhttp::response_parser<bhttp::string_body> parser;
    parser.body_limit(options.bodyBytes);

    beast::error_code failure;
    // One deadline for the whole exchange: every step below runs under it.
    stream.expires_after(options.timeout);
    tcp::resolver resolver(io);
    resolver.async_resolve(host, std::to_string(port), [&](beast::error_code ec, auto endpoints) {
        if (ec) {
            failure = ec;
            return;
        }
        stream.async_connect(endpoints, [&](beast::error_code connected, const tcp::endpoint&) {
            if (connected) {
                failure = connected;
                return;
            }
            bhttp::async_write(stream, message, [&](beast::error_code written, size_t) {
                if (written) {
                    failure = written;
                    return;
                }
                bhttp::async_read(stream, buffer, parser,
                                  [&](beast::error_code read, size_t) { failure = read; });
            });
        });
    });
    // The resolver has no deadline of its own: stop waiting for it at the deadline too.
    io.run_for(options.timeout + std::chrono::milliseconds(100));
    if (!io.stopped()) {
        error = "timed out";
        return std::nullopt;
    }
    if (failure) {
        error = failure == beast::error::timeout ? "timed out" : failure.message();
        return std::nullopt;
    }
    if (!parser.is_done()) {
        error = "no response";
        return std::nullopt;
    }
    auto& answer = parser.get();
    Response response;
    response.status = static_cast<int>(answer.result_int());
    for (const auto& field : answer) {
        if (field.name() == bhttp::field::content_type) {
            response.contentType = std::string(field.value());
        } else {
            response.headers.emplace_back(std::string(field.name_string()),
                                          std::string(field.value()));
        }
    }
    response.body = std::move(answer.body());
    return response;
}

}  // namespace gwu::http

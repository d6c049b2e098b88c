// The server over Beast and Asio (Boost's header-only HTTP and networking libraries), and over
// OpenSSL for TLS on Linux. This source and the client's (BeastClient.cpp) are the only ones that
// include them (with Connection.h): they compile slowly, in every build configuration.
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
#include "http/TlsReason.h"

namespace gwu::http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using detail::Connection;
using detail::ConnectionBase;
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
        if (m_options.tls && !LoadTls(*m_options.tls, error)) {
            return 0;
        }
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
            ForEachStream([this](ConnectionBase& stream) { stream.Queue(m_latest); });
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
    bool AddStream(const std::shared_ptr<ConnectionBase>& stream) override;
    void RemoveStream() override {
        --m_openStreams;
    }
    const std::string& Latest() const override {
        return m_latest;
    }

private:
    bool LoadTls(const TlsFiles& files, std::string& error);
    void Accept();
    template <class Stream, class... StreamArguments>
    void Admit(tcp::socket socket, StreamArguments&... arguments);
    void CloseAll();
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
#ifdef GWU_HTTP_TLS
    std::optional<net::ssl::context> m_tls;  // with TLS files given, once they are loaded
#endif
    net::io_context m_io{1};
    tcp::acceptor m_acceptor{m_io};
    net::signal_set m_signals{m_io};
    net::steady_timer m_acceptRetry{m_io};
    net::thread_pool m_pool;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<size_t> m_openStreams{0};
    // On the network thread only.
    std::vector<std::weak_ptr<ConnectionBase>> m_connections;
    std::vector<std::weak_ptr<ConnectionBase>> m_streams;
    std::string m_latest;  // the latest event, sent first to a new stream
    int m_signalCount = 0;
    bool m_closed = false;

    friend class Server;
};

bool Server::Impl::AddStream(const std::shared_ptr<ConnectionBase>& stream) {
    if (m_openStreams >= m_options.limits.streams) {
        return false;
    }
    ++m_openStreams;
    m_streams.push_back(stream);
    return true;
}

template <typename Action>
void Server::Impl::ForEachStream(Action action) {
    std::vector<std::weak_ptr<ConnectionBase>> open;
    for (const auto& weak : m_streams) {
        if (const auto stream = weak.lock(); stream && stream->IsStream()) {
            open.push_back(weak);
            action(*stream);
        }
    }
    m_streams = std::move(open);
}

// The certificate chain and key, in a TLS context that takes nothing older than TLS 1.2.
bool Server::Impl::LoadTls([[maybe_unused]] const TlsFiles& files, std::string& error) {
#ifdef GWU_HTTP_TLS
    net::ssl::context context(net::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    context.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_compression);
    beast::error_code ec;
    context.use_certificate_chain_file(files.certificateChain, ec);
    if (ec) {
        error = "the certificate chain " + files.certificateChain + ": " + detail::TlsReason(ec);
        return false;
    }
    context.use_private_key_file(files.privateKey, net::ssl::context::pem, ec);
    if (ec) {
        error = "the private key " + files.privateKey + ": " + detail::TlsReason(ec);
        return false;
    }
    m_tls.emplace(std::move(context));
    return true;
#else
    error = "TLS is not available in this build (Linux only)";
    return false;
#endif
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
#ifdef GWU_HTTP_TLS
        if (m_tls) {
            Admit<detail::TlsStream>(std::move(socket), *m_tls);
            Accept();
            return;
        }
#endif
        Admit<detail::PlainStream>(std::move(socket));
        Accept();
    });
}

// The accepted socket as a connection over the stream, started, or refused past the cap.
template <class Stream, class... StreamArguments>
void Server::Impl::Admit(tcp::socket socket, StreamArguments&... arguments) {
    std::vector<std::weak_ptr<ConnectionBase>> open;
    for (const auto& weak : m_connections) {
        if (!weak.expired()) {
            open.push_back(weak);
        }
    }
    m_connections = std::move(open);
    auto connection = std::make_shared<Connection<Stream>>(*this, std::move(socket), arguments...);
    m_connections.push_back(connection);
    if (m_connections.size() > m_options.limits.connections) {
        connection->StartRefused(503, "too many connections (at most " +
                                          std::to_string(m_options.limits.connections) + ")");
    } else {
        connection->Start();
    }
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

}  // namespace gwu::http

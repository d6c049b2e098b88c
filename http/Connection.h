// One client's connection to the server (Beast.cpp, the only file that includes this one: Beast
// and Asio compile slowly), on the server's network thread, over TCP or (on Linux) over TLS.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#ifdef GWU_HTTP_TLS
#include <boost/beast/ssl/ssl_stream.hpp>
#endif

#include "http/Server.h"

namespace gwu::http::detail {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;

// The streams a connection speaks over: plain TCP, and TLS over TCP where OpenSSL is built in.
using PlainStream = beast::tcp_stream;
template <class Stream>
inline constexpr bool kIsTls = false;
#ifdef GWU_HTTP_TLS
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
template <>
inline constexpr bool kIsTls<TlsStream> = true;
#endif

// Whether a read failed in the TLS layer: a client gone without closing its session, or one that
// sent what is not TLS. Nothing to answer then.
inline bool IsTlsFailure([[maybe_unused]] const beast::error_code& ec) {
#ifdef GWU_HTTP_TLS
    return ec == net::ssl::error::stream_truncated ||
           ec.category() == net::error::get_ssl_category();
#else
    return false;
#endif
}

// What the server holds of a connection, whatever its stream.
class ConnectionBase : public std::enable_shared_from_this<ConnectionBase> {
public:
    virtual ~ConnectionBase() = default;
    virtual void Close() = 0;
    // Whether it is an open event stream.
    virtual bool IsStream() const = 0;
    // The event next to write on an event stream; it replaces one still waiting.
    virtual void Queue(const std::string& event) = 0;
};

// What a connection needs of its server, on the network thread.
class ConnectionOwner {
public:
    virtual const Limits& GetLimits() const = 0;
    // The server's own answer: a refusal with the status and the sentence.
    virtual Response Refusal(int status, const std::string& sentence) const = 0;
    // Runs the handler on the request on a handler thread, then done with its response on the
    // network thread.
    virtual void Handle(Request request, std::function<void(Response)> done) = 0;
    // A stream opens (false past the cap) and closes; the event a new stream gets first (empty:
    // none yet).
    virtual bool AddStream(const std::shared_ptr<ConnectionBase>& stream) = 0;
    virtual void RemoveStream() = 0;
    virtual const std::string& Latest() const = 0;

protected:
    ~ConnectionOwner() = default;
};

// One client's connection, on the network thread: requests read within the limits, one at a
// time, each answered before the next is read; or, once it has become an event stream, the events
// written as they come, at most one waiting (the latest), and a comment line when none came for
// a while. Over TLS the handshake comes first, within the time the first request may take (it
// counts towards that time), and event streams are refused.
template <class Stream>
class Connection final : public ConnectionBase {
public:
    // The stream made of the accepted socket and the rest (over TLS: the server's context).
    template <class... StreamArguments>
    Connection(ConnectionOwner& server, tcp::socket socket, StreamArguments&... arguments)
        : m_server(server),
          m_stream(std::move(socket), arguments...),
          m_buffer(server.GetLimits().headerBytes + server.GetLimits().bodyBytes + 1024),
          m_keepAlive(m_stream.get_executor()) {}

    void Start() {
        Handshake([](Connection& self) { self.Read(); });
    }

    // Answers with the refusal and closes, without reading a request.
    void StartRefused(int status, const std::string& sentence) {
        Handshake([status, sentence](Connection& self) { self.Refuse(status, sentence); });
    }

    void Close() override {
        if (m_closed) {
            return;
        }
        m_closed = true;
        beast::error_code ignored;
        m_keepAlive.cancel();
        Tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
        Tcp().close();
        if (m_isStream) {
            m_server.RemoveStream();
        }
    }

    bool IsStream() const override { return m_isStream && !m_closed; }

    void Queue(const std::string& event) override {
        m_pending = event;
        Flush();
    }

private:
    std::shared_ptr<Connection> Self() {
        return std::static_pointer_cast<Connection>(shared_from_this());
    }
    beast::tcp_stream& Tcp() { return beast::get_lowest_layer(m_stream); }

    // Over TLS, the handshake, then the action; over TCP the action at once.
    template <class Action>
    void Handshake(Action action) {
        if constexpr (kIsTls<Stream>) {
            Tcp().expires_after(m_server.GetLimits().requestTime);
            m_deadlineSet = true;
            m_stream.async_handshake(Stream::server, [self = Self(), action](beast::error_code ec) {
                if (ec || self->m_closed) {
                    self->Close();
                } else {
                    action(*self);
                }
            });
        } else {
            action(*this);
        }
    }

    // Answers with the refusal and closes.
    void Refuse(int status, const std::string& sentence) {
        m_closeAfterWrite = true;
        Write(m_server.Refusal(status, sentence));
    }

    void Read() {
        const Limits& limits = m_server.GetLimits();
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(limits.headerBytes));
        m_parser->body_limit(limits.bodyBytes);
        if (!std::exchange(m_deadlineSet, false)) {  // the handshake's deadline holds on
            Tcp().expires_after(limits.requestTime);
        }
        bhttp::async_read(m_stream, m_buffer, *m_parser,
                          [self = Self()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (m_closed) {
            return;
        }
        const Limits& limits = m_server.GetLimits();
        if (!ec) {
            Dispatch();
        } else if (ec == bhttp::error::header_limit) {
            Refuse(431, "request headers above " + std::to_string(limits.headerBytes) + " bytes");
        } else if (ec == bhttp::error::body_limit) {
            Refuse(413, "request body above " + std::to_string(limits.bodyBytes) + " bytes");
        } else if (ec == bhttp::error::end_of_stream || ec == beast::error::timeout ||
                   ec == net::error::eof || ec.category() == net::error::get_system_category() ||
                   IsTlsFailure(ec)) {
            Close();  // gone, or too slow (the timeout has closed the socket), or closed here
        } else {
            Refuse(400, "bad request");
        }
    }

    void Dispatch() {
        auto& message = m_parser->get();
        Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message) {
            request.headers.emplace_back(std::string(field.name_string()),
                                         std::string(field.value()));
        }
        request.body = std::move(message.body());
        m_closeAfterWrite = !message.keep_alive();
        m_parser.reset();
        // Nothing is read while the handler runs: no request is taken before this one's answer.
        m_server.Handle(std::move(request),
                        [self = Self()](Response response) { self->Write(std::move(response)); });
    }

    void Write(Response response) {
        if (m_closed) {
            return;
        }
        if (response.eventStream && kIsTls<Stream>) {
            response = m_server.Refusal(501, "event streams are not served over TLS");
        } else if (response.eventStream) {
            if (m_server.AddStream(shared_from_this())) {
                StartStream(response);
                if (!m_server.Latest().empty()) {
                    Queue(m_server.Latest());
                }
                return;
            }
            m_closeAfterWrite = true;
            response = m_server.Refusal(503, "too many open event streams (at most " +
                                                 std::to_string(m_server.GetLimits().streams) +
                                                 "): close a page");
        }
        auto message = std::make_shared<bhttp::response<bhttp::string_body>>();
        message->version(11);
        message->result(static_cast<unsigned>(response.status));
        message->reason(ReasonPhrase(response.status));
        if (!response.contentType.empty()) {
            message->set(bhttp::field::content_type, response.contentType);
        }
        for (const auto& [name, value] : response.headers) {
            message->set(name, value);
        }
        message->body() = std::move(response.body);
        message->keep_alive(!m_closeAfterWrite);
        message->prepare_payload();
        auto serializer = std::make_shared<ResponseSerializer>(*message);
        WriteSome(std::move(message), std::move(serializer));
    }

    // The response a piece at a time, each piece within the write time: a client that reads
    // nothing is cut off, one that reads a large body slowly but steadily gets all of it.
    using ResponseSerializer = bhttp::response_serializer<bhttp::string_body>;
    void WriteSome(std::shared_ptr<bhttp::response<bhttp::string_body>> message,
                   std::shared_ptr<ResponseSerializer> serializer) {
        Tcp().expires_after(m_server.GetLimits().writeTime);
        bhttp::async_write_some(
            m_stream, *serializer,
            [self = Self(), message, serializer](beast::error_code ec, size_t) mutable {
                if (ec) {
                    self->Close();
                } else if (!serializer->is_done()) {
                    self->WriteSome(std::move(message), std::move(serializer));
                } else if (self->m_closeAfterWrite) {
                    self->Close();
                } else {
                    self->Read();
                }
            });
    }

    void StartStream(const Response& response) {
        m_isStream = true;
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n";
        for (const auto& [name, value] : response.headers) {
            head += name + ": " + value + "\r\n";
        }
        head += "Transfer-Encoding: chunked\r\n\r\n";
        m_writing = true;
        WriteRaw(std::move(head));
        WatchForClose();
        KeepAlive();
    }

    // A stream's client sends nothing more; reading tells when it goes (what it sends is
    // dropped). Straight on the socket, so that no timeout applies.
    void WatchForClose() {
        Tcp().socket().async_read_some(net::buffer(m_discard),
                                       [self = Self()](beast::error_code ec, size_t) {
                                           if (ec) {
                                               self->Close();
                                           } else if (!self->m_closed) {
                                               self->WatchForClose();
                                           }
                                       });
    }

    void KeepAlive() {
        m_keepAlive.expires_after(m_server.GetLimits().keepAlive);
        m_keepAlive.async_wait([self = Self()](beast::error_code ec) {
            if (ec || self->m_closed) {
                return;
            }
            if (!self->m_writing && !self->m_pending) {
                self->m_pending = ": keep-alive\n\n";
                self->Flush();
            }
            self->KeepAlive();
        });
    }

    void Flush() {
        if (m_writing || m_closed || !m_pending) {
            return;
        }
        char size[24];
        std::snprintf(size, sizeof size, "%zx\r\n", m_pending->size());
        std::string chunk = size + *m_pending + "\r\n";
        m_pending.reset();
        m_writing = true;
        WriteRaw(std::move(chunk));
    }

    void WriteRaw(std::string bytes) {
        auto data = std::make_shared<std::string>(std::move(bytes));
        Tcp().expires_after(m_server.GetLimits().writeTime);
        net::async_write(m_stream, net::buffer(*data),
                         [self = Self(), data](beast::error_code ec, size_t) {
                             self->m_writing = false;
                             if (ec) {
                                 self->Close();
                             } else {
                                 self->Flush();
                             }
                         });
    }

    ConnectionOwner& m_server;
    Stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<bhttp::request_parser<bhttp::string_body>> m_parser;
    net::steady_timer m_keepAlive;
    std::optional<std::string> m_pending;
    char m_discard[512] = {};
    bool m_closeAfterWrite = false;
    bool m_isStream = false;
    bool m_writing = false;
    bool m_closed = false;
    bool m_deadlineSet = false;  // by the handshake, for the first request too
};

}  // namespace gwu::http::detail

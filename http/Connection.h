// One client's connection to the server (Beast.cpp, the only file that includes this one: Beast
// and Asio compile slowly), on the server's network thread.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "http/Server.h"

namespace gwu::http::detail {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;

class Connection;

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
    virtual bool AddStream(const std::shared_ptr<Connection>& stream) = 0;
    virtual void RemoveStream() = 0;
    virtual const std::string& Latest() const = 0;

protected:
    ~ConnectionOwner() = default;
};

// One client's connection, on the network thread: requests read within the limits, one at a
// time, each answered before the next is read; or, once it has become an event stream, the events
// written as they come, at most one waiting (the latest), and a comment line when none came for
// a while.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(ConnectionOwner& server, tcp::socket socket)
        : m_server(server),
          m_stream(std::move(socket)),
          m_buffer(server.GetLimits().headerBytes + server.GetLimits().bodyBytes + 1024),
          m_keepAlive(m_stream.get_executor()) {}

    void Start() { Read(); }

    // Answers with the refusal and closes.
    void Refuse(int status, const std::string& sentence) {
        m_closeAfterWrite = true;
        Write(m_server.Refusal(status, sentence));
    }

    void Close() {
        if (m_closed) {
            return;
        }
        m_closed = true;
        beast::error_code ignored;
        m_keepAlive.cancel();
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();
        if (m_isStream) {
            m_server.RemoveStream();
        }
    }

    bool IsStream() const { return m_isStream && !m_closed; }

    // The event next to write; it replaces one still waiting.
    void Queue(const std::string& event) {
        m_pending = event;
        Flush();
    }

private:
    void Read() {
        const Limits& limits = m_server.GetLimits();
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(limits.headerBytes));
        m_parser->body_limit(limits.bodyBytes);
        m_stream.expires_after(limits.requestTime);
        bhttp::async_read(
            m_stream, m_buffer, *m_parser,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
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
                   ec == net::error::eof || ec.category() == net::error::get_system_category()) {
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
        m_server.Handle(std::move(request), [self = shared_from_this()](Response response) {
            self->Write(std::move(response));
        });
    }

    void Write(Response response) {
        if (m_closed) {
            return;
        }
        if (response.eventStream) {
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
        m_stream.expires_after(m_server.GetLimits().writeTime);
        bhttp::async_write(m_stream, *message,
                           [self = shared_from_this(), message](beast::error_code ec, size_t) {
                               if (ec || self->m_closeAfterWrite) {
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
        m_stream.socket().async_read_some(
            net::buffer(m_discard), [self = shared_from_this()](beast::error_code ec, size_t) {
                if (ec) {
                    self->Close();
                } else if (!self->m_closed) {
                    self->WatchForClose();
                }
            });
    }

    void KeepAlive() {
        m_keepAlive.expires_after(m_server.GetLimits().keepAlive);
        m_keepAlive.async_wait([self = shared_from_this()](beast::error_code ec) {
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
        m_stream.expires_after(m_server.GetLimits().writeTime);
        net::async_write(m_stream, net::buffer(*data),
                         [self = shared_from_this(), data](beast::error_code ec, size_t) {
                             self->m_writing = false;
                             if (ec) {
                                 self->Close();
                             } else {
                                 self->Flush();
                             }
                         });
    }

    ConnectionOwner& m_server;
    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<bhttp::request_parser<bhttp::string_body>> m_parser;
    net::steady_timer m_keepAlive;
    std::optional<std::string> m_pending;
    char m_discard[512] = {};
    bool m_closeAfterWrite = false;
    bool m_isStream = false;
    bool m_writing = false;
    bool m_closed = false;
};

}  // namespace gwu::http::detail

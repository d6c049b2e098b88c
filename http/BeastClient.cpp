// The client over Beast and Asio, and over OpenSSL for https on Linux: one exchange on a
// connection of its own, under one deadline. With Beast.cpp, the only source that includes them.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <utility>
#ifdef GWU_HTTP_TLS
#include <boost/beast/ssl/ssl_stream.hpp>
#endif

#include "http/Client.h"
#include "http/TlsReason.h"

namespace gwu::http {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using Message = bhttp::request<bhttp::string_body>;

// A URL's parts as the client needs them.
struct Url {
    bool tls = false;
    std::string host;  // without the brackets of an IPv6 address
    std::string port;
    std::string authority;  // HOST[:PORT] as written, for the Host header
    std::string target;     // the path and query, at least "/"
};

std::optional<Url> ParseUrl(const std::string& text, std::string& error) {
    Url url;
    size_t start = 0;
    if (text.rfind("http://", 0) == 0) {
        start = 7;
    } else if (text.rfind("https://", 0) == 0) {
        url.tls = true;
        start = 8;
    } else {
        error = "not an http:// or https:// URL: " + text;
        return std::nullopt;
    }
    const size_t end = std::min(text.find_first_of("/?#", start), text.size());
    url.authority = text.substr(start, end - start);
    url.target = text.substr(end, text.find('#', end) - end);
    if (url.target.empty() || url.target[0] != '/') {
        url.target.insert(0, "/");
    }
    // HOST, [IPV6] or either with :PORT.
    const bool bracketed = !url.authority.empty() && url.authority[0] == '[';
    const size_t hostEnd = bracketed ? url.authority.find(']') : url.authority.rfind(':');
    url.host = url.authority.substr(bracketed ? 1 : 0, hostEnd - (bracketed ? 1 : 0));
    std::string rest = hostEnd == std::string::npos ? "" : url.authority.substr(hostEnd);
    if (bracketed && hostEnd != std::string::npos) {
        rest.erase(0, 1);
    }
    bool portOk = rest.empty() || (rest.size() > 1 && rest.size() <= 6 && rest[0] == ':');
    for (size_t i = 1; portOk && i < rest.size(); ++i) {
        portOk = rest[i] >= '0' && rest[i] <= '9';
    }
    url.port = rest.empty() ? (url.tls ? "443" : "80") : rest.substr(1);
    if (url.host.empty() ||
        url.host.find_first_of(bracketed ? "@[] " : "@[]: ") != std::string::npos ||
        (bracketed && hostEnd == std::string::npos) || !portOk || std::stoi(url.port) == 0 ||
        std::stoi(url.port) > 65535) {
        error = "not a valid host and port in the URL: " + text;
        return std::nullopt;
    }
    return url;
}

Message MakeMessage(const Request& request, const std::string& hostHeader) {
    Message message;
    message.version(11);
    message.method_string(request.method);
    message.target(request.target.empty() ? "/" : request.target);
    for (const auto& [name, value] : request.headers) {
        message.insert(name, value);
    }
    if (request.Header("Host").empty()) {
        message.set(bhttp::field::host, hostHeader);
    }
    message.body() = request.body;
    message.keep_alive(false);
    message.prepare_payload();
    return message;
}

// Resolves, connects, runs the handshake (over TLS; over TCP it goes straight on), writes the
// message and reads the response, all under the options' one deadline.
template <class Stream, class Handshake>
std::optional<Response> Exchange(net::io_context& io, Stream& stream, const std::string& host,
                                 const std::string& port, Message& message,
                                 const ClientOptions& options, std::string& error,
                                 Handshake handshake) {
    beast::flat_buffer buffer;
    bhttp::response_parser<bhttp::string_body> parser;
    parser.body_limit(options.bodyBytes);
    beast::error_code failure;
    beast::get_lowest_layer(stream).expires_after(options.timeout);
    tcp::resolver resolver(io);
    const auto read = [&](beast::error_code ec, size_t) { failure = ec; };
    const auto write = [&](beast::error_code ec) {
        if (ec) {
            failure = ec;
            return;
        }
        bhttp::async_write(stream, message, [&](beast::error_code written, size_t) {
            if (written) {
                failure = written;
                return;
            }
            // The header first: a Content-Length above the limit is refused before any of the
            // body is read (the parser checks only a chunked or unsized body as it comes).
            bhttp::async_read_header(stream, buffer, parser, [&](beast::error_code header, size_t) {
                if (!header && parser.content_length() &&
                    *parser.content_length() > options.bodyBytes) {
                    header = bhttp::error::body_limit;
                }
                if (header) {
                    failure = header;
                    return;
                }
                bhttp::async_read(stream, buffer, parser, read);
            });
        });
    };
    resolver.async_resolve(host, port, [&](beast::error_code ec, auto endpoints) {
        if (ec) {
            failure = ec;
            return;
        }
        beast::get_lowest_layer(stream).async_connect(
            endpoints, [&](beast::error_code connected, const tcp::endpoint&) {
                if (connected) {
                    failure = connected;
                    return;
                }
                handshake(std::function<void(beast::error_code)>(write));
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

std::optional<Response> FetchPlain(const std::string& host, const std::string& port,
                                   Message& message, std::string& error,
                                   const ClientOptions& options) {
    net::io_context io{1};
    beast::tcp_stream stream(io);
    return Exchange(io, stream, host, port, message, options, error,
                    [](const std::function<void(beast::error_code)>& next) { next({}); });
}

#ifdef GWU_HTTP_TLS
// Over TLS 1.2 or later, the server's chain verified against the system's CAs and the caFile,
// and its certificate against the host: its IP address, or its name (sent as SNI too).
std::optional<Response> FetchTls(const std::string& host, const std::string& port, Message& message,
                                 std::string& error, const ClientOptions& options) {
    net::ssl::context context(net::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    beast::error_code ec;
    context.set_default_verify_paths(ec);  // none on this system: the caFile alone, or nothing
    if (!options.caFile.empty()) {
        context.load_verify_file(options.caFile, ec);
        if (ec) {
            error = "the CA file " + options.caFile + ": " + detail::TlsReason(ec);
            return std::nullopt;
        }
    }
    context.set_verify_mode(net::ssl::verify_peer);
    net::io_context io{1};
    beast::ssl_stream<beast::tcp_stream> stream(io, context);
    SSL* ssl = stream.native_handle();
    net::ip::make_address(host, ec);
    const bool named = ec ? SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
                                SSL_set1_host(ssl, host.c_str()) == 1
                          : X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    if (!named) {
        error = "cannot check a certificate against the host " + host;
        return std::nullopt;
    }
    std::string refused;  // why the handshake failed, in words
    auto response =
        Exchange(io, stream, host, port, message, options, error,
                 [&](const std::function<void(beast::error_code)>& next) {
                     stream.async_handshake(
                         net::ssl::stream_base::client, [&, next](beast::error_code shook) {
                             const long verified = SSL_get_verify_result(ssl);
                             if (shook && verified != X509_V_OK) {
                                 refused = std::string("certificate verify failed: ") +
                                           X509_verify_cert_error_string(verified);
                             } else if (shook && shook != beast::error::timeout) {
                                 refused = "TLS handshake failed: " + shook.message();
                             }
                             next(shook);
                         });
                 });
    if (!response && !refused.empty()) {
        error = refused;
    }
    return response;
}
#endif

}  // namespace

std::optional<Response> Fetch(const std::string& host, int port, const Request& request,
                              std::string& error, const ClientOptions& options) {
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    Message message = MakeMessage(request, name + ":" + std::to_string(port));
    return FetchPlain(host, std::to_string(port), message, error, options);
}

std::optional<Response> FetchUrl(const std::string& url, Request request, std::string& error,
                                 const ClientOptions& options) {
    const auto parts = ParseUrl(url, error);
    if (!parts) {
        return std::nullopt;
    }
    request.target = parts->target;
    Message message = MakeMessage(request, parts->authority);
    if (!parts->tls) {
        return FetchPlain(parts->host, parts->port, message, error, options);
    }
#ifdef GWU_HTTP_TLS
    return FetchTls(parts->host, parts->port, message, error, options);
#else
    error = "https:// is not supported by this client on Windows: " + url;
    return std::nullopt;
#endif
}

}  // namespace gwu::http

// The client over Beast and Asio, like the server (Server.cpp).
#include "http/Client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

namespace gwu::http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;

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

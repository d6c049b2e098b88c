// The HTTP client of the programs and tests: one request on a new connection, answered within a
// time limit in all (connecting, the TLS handshake, sending and reading together).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "http/Message.h"

namespace gwu::http {

struct ClientOptions {
    std::chrono::milliseconds timeout{10000};
    size_t bodyBytes = 64 * 1024 * 1024;  // a longer response body is refused
    // For https: a PEM file of CA certificates trusted besides the system's (empty: the
    // system's alone).
    std::string caFile;
};

// Sends the request to host:port and returns the response; nothing, and the reason in error, when
// it could not connect, the time ran out or the response was malformed or too long. A request
// without a Host header gets "host:port"; Content-Length is set from the body.
std::optional<Response> Fetch(const std::string& host, int port, const Request& request,
                              std::string& error, const ClientOptions& options = {});

// The same to a URL, http://HOST[:PORT][/PATH] or https://...: the request's target becomes the
// URL's path and query, and a request without a Host header gets the URL's HOST[:PORT]. Over https
// the server's certificate chain must lead to one of the system's CAs or of options.caFile, and
// the certificate must name HOST; nothing turns either check off. Windows: http:// only (the
// programs use the system's own client for https there).
std::optional<Response> FetchUrl(const std::string& url, Request request, std::string& error,
                                 const ClientOptions& options = {});

}  // namespace gwu::http

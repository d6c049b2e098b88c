// The HTTP client of the programs and tests: one request on a new connection, answered within a
// time limit in all (connecting, sending and reading together).
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
};

// Sends the request to host:port and returns the response; nothing, and the reason in error, when
// it could not connect, the time ran out or the response was malformed or too long. A request
// without a Host header gets "host:port"; Content-Length is set from the body.
std::optional<Response> Fetch(const std::string& host, int port, const Request& request,
                              std::string& error, const ClientOptions& options = {});

}  // namespace gwu::http

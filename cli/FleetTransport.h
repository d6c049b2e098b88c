// The platform's part of sending a tester's history to the fleet collector (cli/Sync.h): the
// one HTTP exchange with the collector, and reading the token file with the checks the platform
// can make of it. FleetTransportPosix.cpp and FleetTransportWindows.cpp (chosen by CMake) hold
// them.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "http/Message.h"

namespace gwu::cli {

// What the collector's answer to a batch of events may hold at most.
constexpr std::size_t kFleetAnswerBytes = std::size_t{1024} * 1024;

// Sends the request to the collector at the URL ("http://HOST[:PORT][/PREFIX]" or https) and
// returns its response; nothing, and the reason in error, when it could not connect, the time
// ran out in all, the answer was malformed or its body longer than bodyBytes (the reading then
// stops there). The request's target is a path below the URL's own ("/api/v1/events"). An https URL
// is verified against the system's certificate authorities (and, where the platform supports it,
// those of the PEM bundle caFile), and the host name; there is no way to skip that.
std::optional<http::Response> SendToFleet(const std::string& url, const http::Request& request,
                                          const std::string& caFile,
                                          std::chrono::milliseconds timeout, std::string& error,
                                          std::size_t bodyBytes = kFleetAnswerBytes);

// Whether the URL is one SendToFleet can send to at all (its form, its scheme, caFile where the
// platform has no use for one), so that a sync does not try again what can never work; why not
// in error.
bool CheckFleetUrl(const std::string& url, const std::string& caFile, std::string& error);

// The content of the tester's token file (at most 64 KiB). On POSIX systems the file must be a
// regular file owned by the user, neither readable nor writable by group or others, else it is
// refused, naming the file and its mode. None, and why in error, when it cannot be read or is
// refused.
std::optional<std::string> ReadTokenFile(const std::string& path, std::string& error);

// Whether a plain http:// URL may name this host: only the machine itself ("localhost",
// 127.0.0.0/8,
// "::1"), since the token and the history would cross any other network in the clear.
inline bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host == "[::1]" || host.rfind("127.", 0) == 0;
}
constexpr const char* kPlainHttpRefusal =
    "plain http:// is for a collector on this machine only (localhost); use https:// for ";

}  // namespace gwu::cli

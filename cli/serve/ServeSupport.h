// What gwctl serve needs besides HTTP: where it listens, the run's secrets, and the words the
// page shows for an operation's outcome.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cli/Session.h"

namespace gwu::cli {

struct Address {
    std::string host;  // without brackets
    int port = 0;
};

// HOST:PORT, an IPv6 host in brackets ("[::1]:8080"); nothing for anything else.
std::optional<Address> ParseListen(const std::string& text);
// The host as a URL writes it: an IPv6 address in brackets.
std::string UrlHost(const std::string& host);
// Random bytes from the system's source, as hex digits.
std::string RandomHex(size_t bytes);

// An operation's outcome in one sentence, and how it should look: "ok", "warn" or "error".
std::string CheckMessage(const CheckReport& report);
const char* CheckLevel(const CheckReport& report);
std::string CableMessage(const CableOutcome& outcome);

}  // namespace gwu::cli

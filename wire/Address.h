// Network addresses as the programs of the kit take them: "HOST:PORT" read from a command line
// or a device name, and what a program that listens says about where it listens (whether a host
// is on loopback, and the one warning every program prints when it is not).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gwu::wire {

// How a HOST:PORT text is written where it is read.
struct AddressSyntax {
    // A prefix the text may start with ("tcp://"), taken off before the host; empty: none.
    std::string_view scheme;
    // Only a text that starts with the scheme is an address.
    bool schemeRequired = false;
    // An IPv6 host is written in brackets ("[::1]:8080") and given without them, and a host with
    // ':', '[' or ']' outside brackets is refused. Without: the host is all before the last colon.
    bool bracketedHost = false;
    // The lowest port taken: 0 where it means "any free port" (a program that listens), else 1.
    std::uint16_t lowestPort = 0;
};

struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};

// "HOST:PORT" after the scheme: a host of at least one character before the last colon, then a
// port of one to five decimal digits (no sign, no space), from syntax.lowestPort to 65535. Empty
// for anything else; each program says in its own words what it expected.
std::optional<HostPort> ParseHostPort(std::string_view text, const AddressSyntax& syntax = {});

// 127.0.0.0/8, ::1 and localhost.
bool IsLoopbackHost(const std::string& host);

// The warning, one line without its end, for a program that listens on a host that is not on
// loopback: "PROGRAM: warning: VERB on HOST, not on loopback: anyone who can reach this address
// EXPOSED", e.g. ("gwctl", "serving", "::", "sees the page").
std::string NotLoopbackWarning(const std::string& program, const std::string& verb,
                               const std::string& host, const std::string& exposed);

}  // namespace gwu::wire

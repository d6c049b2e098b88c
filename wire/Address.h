// What a program that listens says about where it listens: whether a host is on loopback, and
// the one warning every program of the kit prints when it is not.
#pragma once

#include <string>

namespace gwu::wire {

// 127.0.0.0/8, ::1 and localhost.
bool IsLoopbackHost(const std::string& host);

// The warning, one line without its end, for a program that listens on a host that is not on
// loopback: "PROGRAM: warning: VERB on HOST, not on loopback: anyone who can reach this address
// EXPOSED", e.g. ("gwctl", "serving", "::", "sees the page").
std::string NotLoopbackWarning(const std::string& program, const std::string& verb,
                               const std::string& host, const std::string& exposed);

}  // namespace gwu::wire

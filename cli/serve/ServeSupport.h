// What gwctl serve needs besides HTTP: where it listens, the run's secrets, and the words the
// page shows for an operation's outcome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "cli/Session.h"
#include "host/popup/PopupDrivers.h"

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
// An update's outcome: its rounds, why it sent nothing when it was refused, the last check.
std::string UpdateMessage(int rounds, const CheckReport& last);

// A key of the popup's keyboard or one of its buttons, as the page posts it: {"root": N, "key":
// CODE} or {"root": N, "button": "tick" | "cross" | "back"}. The popup's root and the event;
// no event for anything else.
std::pair<int, std::optional<host::PopupEvent>> PopupPress(const std::string& body);

// The latest events of the tester's history in a log folder, oldest first, each with its
// summary in words ("summary"), read again only when the history file changed. Any thread.
class LatestEvents {
public:
    explicit LatestEvents(std::size_t count) : m_count(count) {}
    Json Get(const std::string& folder);

private:
    const std::size_t m_count;
    std::mutex m_mutex;  // guards the two below
    std::uintmax_t m_size = 0;
    Json m_events = Json::array();
};

}  // namespace gwu::cli

#include "wire/Address.h"

namespace gwu::wire {

namespace {

constexpr std::size_t kMaxPortDigits = 5;
constexpr unsigned long kHighestPort = 65535;

}  // namespace

std::optional<HostPort> ParseHostPort(std::string_view text, const AddressSyntax& syntax) {
    if (!syntax.scheme.empty() && text.substr(0, syntax.scheme.size()) == syntax.scheme) {
        text.remove_prefix(syntax.scheme.size());
    } else if (syntax.schemeRequired) {
        return std::nullopt;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return std::nullopt;
    }
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (syntax.bracketedHost) {
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        } else if (host.find_first_of(":[]") != std::string_view::npos) {
            return std::nullopt;
        }
    }
    if (port.empty() || port.size() > kMaxPortDigits) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (const char digit : port) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned long>(digit - '0');
    }
    if (value < syntax.lowestPort || value > kHighestPort) {
        return std::nullopt;
    }
    return HostPort{std::string(host), static_cast<std::uint16_t>(value)};
}

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string NotLoopbackWarning(const std::string& program, const std::string& verb,
                               const std::string& host, const std::string& exposed) {
    return program + ": warning: " + verb + " on " + host +
           ", not on loopback: anyone who can reach this address " + exposed;
}

}  // namespace gwu::wire

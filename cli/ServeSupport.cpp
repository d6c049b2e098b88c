#include "cli/ServeSupport.h"

#include <charconv>
#include <cstdio>
#include <random>

namespace gwu::cli {

std::string RandomHex(size_t bytes) {
    std::random_device device;
    std::string text;
    for (size_t i = 0; i < bytes; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(device() & 0xFFU));
        text += pair;
    }
    return text;
}

std::optional<Address> ParseListen(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    Address address;
    address.host = text.substr(0, colon);
    if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
        address.host = address.host.substr(1, address.host.size() - 2);
    } else if (address.host.find_first_of(":[]") != std::string::npos) {
        return std::nullopt;
    }
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, status] = std::from_chars(first, last, address.port);
    if (first == last || status != std::errc() || end != last || address.port < 0 ||
        address.port > 65535) {
        return std::nullopt;
    }
    return address;
}

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string CheckMessage(const CheckReport& report) {
    if (!report.read) {
        return "The device was not read.";
    }
    const std::string counts = " (" + std::to_string(report.ComparedCount()) + " of " +
                               std::to_string(report.ReleaseRowCount()) +
                               " releases compared with the disk)";
    if (report.ComparedCount() == 0) {
        return "No release on disk to compare the device with: no verdict.";
    }
    if (report.UpToDate()) {
        return "Up to date: " + report.results.ToString() + counts;
    }
    return "Differences remain: " + report.results.ToString() + counts;
}

std::string CableMessage(const CableOutcome& outcome) {
    if (!outcome.read) {
        return "The device was not read.";
    }
    if (!outcome.expected) {
        return "No release in the hex image " + outcome.image + " to compare with.";
    }
    if (!outcome.took) {
        return "FAILED: expected " + *outcome.expected + ", the device reports " + outcome.after;
    }
    return "Cable firmware updated: the device reports " + outcome.after;
}

const char* CheckLevel(const CheckReport& report) {
    if (!report.read || report.ComparedCount() == 0) {
        return "error";
    }
    return report.UpToDate() ? "ok" : "warn";
}

}  // namespace gwu::cli

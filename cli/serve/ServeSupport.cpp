#include "cli/serve/ServeSupport.h"

#include <cstdio>
#include <random>

#include "wire/Address.h"

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
    const std::optional<wire::HostPort> parsed = wire::ParseHostPort(text, {{}, false, true, 0});
    if (!parsed) {
        return std::nullopt;
    }
    return Address{parsed->host, parsed->port};
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
    if (!outcome.refused.empty()) {
        return "Refused: " + outcome.refused + ". Nothing was sent to the device.";
    }
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
    if (!report.read || report.ComparedCount() == 0 || !report.refused.empty()) {
        return "error";
    }
    return report.UpToDate() ? "ok" : "warn";
}

}  // namespace gwu::cli

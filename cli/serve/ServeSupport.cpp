#include "cli/serve/ServeSupport.h"

#include <cstdio>
#include <deque>
#include <filesystem>
#include <random>
#include <system_error>

#include "cli/History.h"
#include "history/HistoryFile.h"
#include "history/HistoryReader.h"
#include "os/Os.h"
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

std::string UpdateMessage(int rounds, const CheckReport& last) {
    const std::string refused =
        last.refused.empty() ? std::string()
                             : "Refused: " + last.refused + ". The device was not told to update. ";
    return "Update: " + std::to_string(rounds) + " round" + (rounds == 1 ? "" : "s") + ". " +
           refused + CheckMessage(last);
}

const char* CheckLevel(const CheckReport& report) {
    if (!report.read || report.ComparedCount() == 0 || !report.refused.empty()) {
        return "error";
    }
    return report.UpToDate() ? "ok" : "warn";
}

std::pair<int, std::optional<host::PopupEvent>> PopupPress(const std::string& text) {
    const Json body = Json::parse(text, nullptr, false);
    if (!body.is_object() || !body.contains("root") || !body["root"].is_number_integer()) {
        return {0, std::nullopt};
    }
    const auto root = body["root"].get<long long>();
    if (root <= 0 || root > 0x7FFFFFFF) {
        return {0, std::nullopt};
    }
    std::optional<host::PopupEvent> event;
    if (body.contains("key") && body["key"].is_number_integer()) {
        const auto code = body["key"].get<long long>();
        if (code >= 0 && code <= 0xFFFF) {
            event = host::PopupEvent::Key(static_cast<int>(code));
        }
    } else if (body.contains("button") && body["button"].is_string()) {
        const std::string button = body["button"].get<std::string>();
        if (button == "tick" || button == "cross" || button == "back") {
            event = host::PopupEvent::Press(button == "tick"    ? host::kTickButton
                                            : button == "cross" ? host::kCrossButton
                                                                : host::kGoBackButton);
        }
    }
    return {static_cast<int>(root), event};
}

Json LatestEvents::Get(const std::string& folder) {
    std::error_code ec;
    const std::uintmax_t size =
        std::filesystem::file_size(os::JoinPath(folder, history::kHistoryFileName), ec);
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!ec && size == m_size) {
        return m_events;
    }
    m_size = ec ? 0 : size;
    std::deque<history::Event> latest;
    history::ReadHistory(
        folder, {},
        [this, &latest](const history::Event& event) {
            latest.push_back(event);
            if (latest.size() > m_count) {
                latest.pop_front();
            }
            return true;
        },
        [](const std::string&) {});
    m_events = Json::array();
    for (const history::Event& event : latest) {
        Json entry = EventJson(event);
        entry["summary"] = EventSummary(event);
        m_events.push_back(std::move(entry));
    }
    return m_events;
}

}  // namespace gwu::cli

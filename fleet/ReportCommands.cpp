#include "fleet/ReportCommands.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "fleet/FleetCommands.h"
#include "fleet/Reports.h"
#include "os/Format.h"

namespace gwu::fleet {

namespace {

using Json = nlohmann::json;
using Row = std::vector<std::string>;

std::string CodesText(const Json& codes) {
    std::string text;
    for (const Json& code : codes) {
        text += (text.empty() ? "" : ", ") + Shown(code["code"]) + " " + Shown(code["device"]) +
                " " + Shown(code["verdict"]) + " (set " + Shown(code["set"]) + ")";
    }
    return text.empty() ? "-" : text;
}

void PrintBehind(const Json& report) {
    std::cout << "set " << Shown(report["set"]) << ", publication " << report["publication"]
              << " (sequence " << report["sequence"] << "): " << report["behind"] << " of "
              << report["compared"] << " compared devices behind\n";
    std::vector<Row> rows;
    for (const Json& d : report["devices"]) {
        rows.push_back({Shown(d["serial"]), Shown(d["card"]), Shown(d["last_seen"]),
                        Shown(d["last_tester"]), CodesText(d["codes"])});
    }
    PrintTable({"SERIAL", "CARD", "LAST SEEN", "TESTER", "CODES"}, rows);
}

void PrintFailures(const Json& report) {
    std::vector<Row> rows;
    for (const Json& f : report["failures"]) {
        rows.push_back({Shown(f["received"]), Shown(f["tester"]), Shown(f["seq"]),
                        Shown(f["operation"]), Shown(f["card"]), Shown(f["serial"]),
                        Shown(f["exit"]), Shown(f["what"])});
    }
    PrintTable({"RECEIVED", "TESTER", "SEQ", "OPERATION", "CARD", "SERIAL", "EXIT", "WHAT"}, rows);
}

void PrintDevice(const Json& report) {
    const Json& device = report["device"];
    if (device.is_null()) {
        std::cout << Shown(report["serial"]) << ": not in the inventory\n";
    } else {
        std::string releases;
        for (const auto& [code, release] : device["releases"].items()) {
            releases += " " + EscapeForTerminal(code) + "=" + Shown(release);
        }
        std::cout << Shown(device["serial"]) << ": card " << Shown(device["card"]) << ", last seen "
                  << Shown(device["last_seen"]) << " by " << Shown(device["last_tester"])
                  << ", releases" << (releases.empty() ? " -" : releases) << "\n";
    }
    std::vector<Row> rows;
    for (const Json& e : report["events"]) {
        rows.push_back({Shown(e["received"]), Shown(e["tester"]), Shown(e["seq"]),
                        Shown(e["tester_time"]), Shown(e["operation"]), Shown(e["exit"]),
                        Shown(e["what"])});
    }
    PrintTable({"RECEIVED", "TESTER", "SEQ", "TESTER TIME", "OPERATION", "EXIT", "WHAT"}, rows);
}

void PrintTesters(const Json& report) {
    std::vector<Row> rows;
    for (const Json& t : report["testers"]) {
        const std::string clock = t["clock_seconds"].is_null()
                                      ? "-"
                                      : std::to_string(t["clock_seconds"].get<long long>()) + " s";
        rows.push_back({Shown(t["name"]), Shown(t["group"]), Shown(t["events"]),
                        Shown(t["highest_seq"]), Shown(t["missing"]), Shown(t["last_sync"]),
                        (t["clock_flagged"].get<bool>() ? "off, " : "ok, ") + clock,
                        GapsText(t["gaps"], t["missing"].get<long long>())});
    }
    PrintTable({"TESTER", "GROUP", "EVENTS", "HIGHEST", "MISSING", "LAST SYNC", "CLOCK", "GAPS"},
               rows);
}

}  // namespace

ReportCommands::ReportCommands(CLI::App& app,
                               const std::function<void(CLI::App&, std::string&)>& addDatabase) {
    m_report = app.add_subcommand("report", "the fleet's reports");
    m_report->require_subcommand(1);
    m_behind = m_report->add_subcommand("behind", "the devices behind a release set");
    m_behind->add_option("--set", m_set, "the release set")->required();
    m_failures = m_report->add_subcommand("failures", "the events that failed, newest first");
    m_failures->add_option("--since", m_since, "from this time on: YYYY-MM-DDTHH:MM:SSZ or a date")
        ->required();
    m_device = m_report->add_subcommand("device", "a device's inventory and events");
    m_device->add_option("SERIAL", m_serial, "the device's serial number")->required();
    m_testers = m_report->add_subcommand("testers", "the testers' syncs, gaps and clocks");
    for (CLI::App* listing : {m_behind, m_failures}) {
        listing->add_option("--limit", m_limit, "list at most this many")
            ->check(CLI::PositiveNumber);
    }
    for (CLI::App* listing : {m_behind, m_failures, m_device, m_testers}) {
        listing->add_flag("--json", m_json, "the HTTP API's JSON instead of a table");
        addDatabase(*listing, m_database);
    }
}

int ReportCommands::Run() const {
    std::optional<std::string> since;
    if (m_failures->parsed() && !(since = ReportTime(m_since))) {
        std::cerr << "gwfleet: the time " << EscapeForTerminal(m_since)
                  << " is not YYYY-MM-DDTHH:MM:SSZ nor YYYY-MM-DD\n";
        return kExitNoSuchReport;
    }
    return WithDatabase(m_database, false, [&](Database& database) {
        std::optional<Json> report;
        void (*print)(const Json&) = PrintTesters;
        if (m_behind->parsed()) {
            report = BehindReport(database, m_set, m_limit);
            print = PrintBehind;
            if (!report) {
                std::cerr << "gwfleet: no release set is named " << EscapeForTerminal(m_set)
                          << " (gwfleet release list shows the sets)\n";
                return kExitNoSuchReport;
            }
        } else if (m_failures->parsed()) {
            report = FailuresReport(database, *since, m_limit);
            print = PrintFailures;
        } else if (m_device->parsed()) {
            report = DeviceReport(database, m_serial);
            print = PrintDevice;
        } else {
            report = TestersReport(database);
        }
        if (m_json) {
            std::cout << report->dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
        } else {
            print(*report);
        }
        return kExitOk;
    });
}

}  // namespace gwu::fleet

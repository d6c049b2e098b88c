// gwfleet report: the fleet's reports (fleet/Reports.h) on the terminal, as tables, or as the
// HTTP API's JSON: report behind --set NAME, failures --since TIME, device SERIAL, testers.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>

namespace gwu::fleet {

// A report that cannot be made as asked: no such set, a time not understood.
constexpr int kExitNoSuchReport = 1;

class ReportCommands {
public:
    // Adds "report" and its commands to the program, each with --db as addDatabase adds it.
    ReportCommands(CLI::App& app, const std::function<void(CLI::App&, std::string&)>& addDatabase);
    bool Parsed() const { return m_report->parsed(); }
    // Prints the report asked for; the program's exit code.
    int Run() const;

private:
    CLI::App* m_report;
    CLI::App *m_behind, *m_failures, *m_device, *m_testers;
    std::string m_database, m_set, m_since, m_serial;
    std::optional<long long> m_limit;
    bool m_json = false;
};

}  // namespace gwu::fleet

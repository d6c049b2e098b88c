// The fleet's reports, as JSON for the HTTP API and the command line alike (times UTC,
// "YYYY-MM-DDTHH:MM:SSZ"):
//   behind    the devices behind a release set (see Behind.h), with their compared code types;
//   failures  the events that failed (an exit status not 0, but for a check that found releases
//             that differ: that is its answer), received from a time on, newest first;
//   device    one device's inventory row and its events from every tester, in receive order;
//   testers   each tester's syncs, events, gaps, group and clock difference.
// Each throws DbError.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "fleet/Postgres.h"
#include "history/Event.h"

namespace gwu::fleet {

// The statement "behind" reads its devices with: $1 the set, $2 the most rows (NULL: all).
extern const char* const kBehindDevicesSql;

// {"set", "publication", "sequence", "compared", "behind", "devices": [{"serial", "card",
// "last_seen", "last_tester", "codes": [{"code", "device", "set", "verdict"}]}]}, devices by
// serial, at most limit of them (the counts are all the set's), each with the code types whose
// release differs from the set's; nothing for a set not named. Counts and list are read in one
// snapshot.
std::optional<nlohmann::json> BehindReport(Database& database, const std::string& set,
                                           std::optional<long long> limit);

// A time as the failures report takes it, "YYYY-MM-DDTHH:MM:SSZ" or a date "YYYY-MM-DD" (its
// midnight, UTC), in the first form; nothing for any other text.
std::optional<std::string> ReportTime(const std::string& text);

// {"since", "failures": [{"id", "tester", "seq", "tester_time", "received", "operation", "card",
// "serial", "exit", "what"}]}: received at since (a ReportTime) or later, newest first.
nlohmann::json FailuresReport(Database& database, const std::string& since,
                              std::optional<long long> limit);

// {"serial", "device": its row as Devices lists it, or null, "events": [{"id", "tester", "seq",
// "tester_time", "received", "operation", "exit", "what"}]}, events in the order received.
nlohmann::json DeviceReport(Database& database, const std::string& serial);

// Testers' listing with each tester's "group" (or null) and "clock_seconds": the largest
// |received - tester's time| of its events (null before any event with a readable time).
nlohmann::json TestersReport(Database& database);

// What an event did, in words: its failed or refused rounds, a refused repair, the code types
// that differ from the folder's; else its exit status.
std::string EventWhat(const history::Event& event);

// The HTTP API's report paths (/api/v1/report/behind, failures, device, testers), an admin's GET.
bool IsReportPath(const std::string& path);
struct ReportAnswer {
    int status = 200;
    nlohmann::json body;  // the report, or {"error": ...}
};
// The answer to a report path, with the request's query parameters (percent-decoded).
ReportAnswer AnswerReport(Database& database, const std::string& path,
                          const std::function<std::optional<std::string>(const char*)>& query);

}  // namespace gwu::fleet

// The fleet as an admin reads it, as JSON, for the HTTP API and the command line alike: the
// testers with what their events add up to, the conflicts, the device inventory. Times are UTC,
// "YYYY-MM-DDTHH:MM:SSZ". Each throws DbError.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "fleet/Postgres.h"

namespace gwu::fleet {

// The first gaps of a tester's sequence numbers shown, at most.
constexpr int kGapsShown = 20;

// The SQL of a timestamptz column's value as the API writes times.
std::string Utc(const std::string& column);

// {"testers": [{"name", "events", "highest_seq", "missing", "gaps": [[first, last], ...],
// "last_sync", "clock_flagged"}]}, by name. missing: the highest sequence number less the events
// stored and the events its history's size cap dropped, never below 0; gaps: the first runs of
// numbers neither stored nor dropped.
nlohmann::json Testers(Database& database);

// {"conflicts": [{"id", "tester", "seq", "received", "stored_tester", "stored_seq"}]}, oldest
// first.
nlohmann::json Conflicts(Database& database);

// {"devices": [{"serial", "card", "last_seen", "last_tester", "tester_time",
// "releases": {"LC": ..., ...}}]}, by serial; only that serial's when one is given.
nlohmann::json Devices(Database& database, const std::optional<std::string>& serial);

}  // namespace gwu::fleet

#include "fleet/Queries.h"

namespace gwu::fleet {

namespace {

using Json = nlohmann::json;

Json TextOrNull(const Result& result, int row, int column) {
    return result.IsNull(row, column) ? Json() : Json(result.Text(row, column));
}

// The runs of numbers from 1 on that neither an event nor a dropped event's range covers: each
// span, in order, against the highest number the spans before it reach.
constexpr const char* kGaps = R"SQL(
WITH spans AS (
    SELECT seq AS lo, seq AS hi FROM events WHERE tester = $1
    UNION ALL
    SELECT dropped_first, dropped_last FROM events
    WHERE tester = $1 AND dropped_first IS NOT NULL AND dropped_last >= dropped_first
    UNION ALL
    SELECT 0, 0
), reach AS (
    SELECT lo, max(hi) OVER (ORDER BY lo, hi ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING)
           AS before
    FROM spans
)
SELECT before + 1, lo - 1 FROM reach WHERE lo > before + 1 ORDER BY lo LIMIT $2::integer)SQL";

}  // namespace

std::string Utc(const std::string& column) {
    return "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";
}

Json Testers(Database& database) {
    const Result rows = database.Exec(
        "SELECT name, events, highest_seq, greatest(highest_seq - events - dropped, 0), " +
        Utc("last_sync") + ", clock_flagged > 0 FROM testers ORDER BY name COLLATE \"C\"");
    Json testers = Json::array();
    for (int row = 0; row < rows.Rows(); ++row) {
        Json gaps = Json::array();
        const long long missing = rows.Int(row, 3);
        if (missing > 0) {
            const Result runs =
                database.Exec(kGaps, {rows.Text(row, 0), std::to_string(kGapsShown)});
            for (int run = 0; run < runs.Rows(); ++run) {
                gaps.push_back({runs.Int(run, 0), runs.Int(run, 1)});
            }
        }
        testers.push_back({{"name", rows.Text(row, 0)},
                           {"events", rows.Int(row, 1)},
                           {"highest_seq", rows.Int(row, 2)},
                           {"missing", missing},
                           {"gaps", std::move(gaps)},
                           {"last_sync", TextOrNull(rows, row, 4)},
                           {"clock_flagged", rows.Bool(row, 5)}});
    }
    return {{"testers", std::move(testers)}};
}

Json Conflicts(Database& database) {
    const Result rows = database.Exec("SELECT c.id, c.tester, c.seq, " + Utc("c.received") +
                                      ", e.tester, e.seq FROM conflicts c LEFT JOIN events e ON "
                                      "e.id = c.id ORDER BY c.number");
    Json conflicts = Json::array();
    for (int row = 0; row < rows.Rows(); ++row) {
        conflicts.push_back(
            {{"id", rows.Text(row, 0)},
             {"tester", rows.Text(row, 1)},
             {"seq", rows.Int(row, 2)},
             {"received", rows.Text(row, 3)},
             {"stored_tester", TextOrNull(rows, row, 4)},
             {"stored_seq", rows.IsNull(row, 5) ? Json() : Json(rows.Int(row, 5))}});
    }
    return {{"conflicts", std::move(conflicts)}};
}

Json Devices(Database& database, const std::optional<std::string>& serial) {
    const Result rows = database.Exec(
        "SELECT d.serial, d.card, " + Utc("d.last_seen") + ", d.last_tester, " +
            Utc("d.tester_time") +
            ", coalesce((SELECT json_object_agg(r.code, r.release ORDER BY r.code) FROM "
            "device_releases r WHERE r.serial = d.serial), '{}') FROM devices d WHERE "
            "($1::text IS NULL OR d.serial = $1::text) ORDER BY d.serial COLLATE \"C\"",
        {serial});
    Json devices = Json::array();
    for (int row = 0; row < rows.Rows(); ++row) {
        devices.push_back({{"serial", rows.Text(row, 0)},
                           {"card", rows.Text(row, 1)},
                           {"last_seen", rows.Text(row, 2)},
                           {"last_tester", rows.Text(row, 3)},
                           {"tester_time", TextOrNull(rows, row, 4)},
                           {"releases", Json::parse(rows.Text(row, 5))}});
    }
    return {{"devices", std::move(devices)}};
}

}  // namespace gwu::fleet

#include "fleet/Reports.h"

#include <cctype>
#include <map>

#include "fleet/Behind.h"
#include "fleet/Ingest.h"
#include "fleet/Queries.h"

namespace gwu::fleet {

// Each device's row looked up by its key as the set's rows come in the index's order: no sort,
// and no pass over the whole inventory (OFFSET 0 keeps the lookup from being made a join).
const char* const kBehindDevicesSql = R"SQL(
SELECT b.serial, d.card, to_char(d.last_seen AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'),
       d.last_tester, b.codes
FROM set_devices b
CROSS JOIN LATERAL (SELECT card, last_seen, last_tester FROM devices WHERE serial = b.serial
                    OFFSET 0) d
WHERE b.set_name = $1 AND b.behind
ORDER BY b.serial COLLATE "C" LIMIT $2::bigint)SQL";

namespace {

using Json = nlohmann::json;

Json TextOrNull(const Result& result, int row, int column) {
    return result.IsNull(row, column) ? Json() : Json(result.Text(row, column));
}

Json IntOrNull(const Result& result, int row, int column) {
    return result.IsNull(row, column) ? Json() : Json(result.Int(row, column));
}

Param LimitParam(std::optional<long long> limit) {
    return limit ? Param(std::to_string(*limit)) : std::nullopt;
}

// The event's words, from its line as stored.
std::string WhatOfLine(const std::string& content) {
    const history::EventReading reading = history::ParseJsonLine(content);
    return reading.event ? EventWhat(*reading.event) : "unreadable: " + reading.problem;
}

// The report's error in the API's form.
ReportAnswer Refused(int status, const std::string& sentence) {
    return {status, Json{{"error", sentence}}};
}

// A text a query parameter may carry into the database: UTF-8 without NUL.
bool Storable(const std::string& text) {
    if (text.find('\0') != std::string::npos) {
        return false;
    }
    try {
        return !Json(text).dump().empty();
    } catch (const Json::type_error&) {
        return false;
    }
}

}  // namespace

std::optional<Json> BehindReport(Database& database, const std::string& set,
                                 std::optional<long long> limit) {
    // One snapshot for the counts and the list. A list of many devices looks up as many rows,
    // which the planner would price high enough to compile the statement first: a cost, no gain.
    Transaction snapshot(database);
    database.Exec("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    database.Exec("SET LOCAL jit = off");
    const Result named = database.Exec(
        "SELECT p.id, p.sequence, (SELECT coalesce(sum(compared), 0) FROM set_counts c WHERE "
        "c.set_name = s.name), (SELECT coalesce(sum(behind), 0) FROM set_counts c WHERE "
        "c.set_name = s.name) FROM release_sets s JOIN publications p ON p.id = s.publication "
        "WHERE s.name = $1",
        {set});
    if (named.Rows() == 0) {
        return std::nullopt;
    }
    const Result rows = database.Exec(kBehindDevicesSql, {set, LimitParam(limit)});
    // Built member by member, moved in whole: a set's list may hold a tenth of a large fleet.
    Json::array_t devices;
    devices.reserve(static_cast<size_t>(rows.Rows()));
    for (int row = 0; row < rows.Rows(); ++row) {
        Json::array_t codes;
        for (CodeVerdict& code : DecodeCodes(rows.Text(row, 4))) {
            Json::object_t entry;
            entry.emplace("code", std::move(code.code));
            entry.emplace("device", std::move(code.device));
            entry.emplace("set", std::move(code.set));
            entry.emplace("verdict", std::move(code.verdict));
            codes.emplace_back(std::move(entry));
        }
        Json::object_t device;
        device.emplace("serial", rows.Text(row, 0));
        device.emplace("card", rows.Text(row, 1));
        device.emplace("last_seen", rows.Text(row, 2));
        device.emplace("last_tester", rows.Text(row, 3));
        device.emplace("codes", std::move(codes));
        devices.emplace_back(std::move(device));
    }
    snapshot.Commit();
    return Json{{"set", set},
                {"publication", named.Int(0, 0)},
                {"sequence", named.Int(0, 1)},
                {"compared", named.Int(0, 2)},
                {"behind", named.Int(0, 3)},
                {"devices", std::move(devices)}};
}

std::optional<std::string> ReportTime(const std::string& text) {
    const std::string full = text.size() == 10 ? text + "T00:00:00Z" : text;
    return UtcSeconds(full) ? std::optional<std::string>(full) : std::nullopt;
}

Json FailuresReport(Database& database, const std::string& since, std::optional<long long> limit) {
    const Result rows = database.Exec(
        "SELECT id, tester, seq, " + Utc("tester_time") + ", " + Utc("received") +
            ", operation, card, serial, exit_status, content FROM events WHERE exit_status <> 0 "
            "AND NOT (operation = 'check' AND exit_status = 1) AND received >= $1::timestamptz ORDER BY received DESC, receipt DESC LIMIT $2::bigint",
        {TimestampText(*UtcSeconds(since)), LimitParam(limit)});
    Json failures = Json::array();
    for (int row = 0; row < rows.Rows(); ++row) {
        failures.push_back({{"id", rows.Text(row, 0)},
                            {"tester", rows.Text(row, 1)},
                            {"seq", rows.Int(row, 2)},
                            {"tester_time", TextOrNull(rows, row, 3)},
                            {"received", rows.Text(row, 4)},
                            {"operation", rows.Text(row, 5)},
                            {"card", rows.Text(row, 6)},
                            {"serial", rows.Text(row, 7)},
                            {"exit", rows.Int(row, 8)},
                            {"what", WhatOfLine(rows.Text(row, 9))}});
    }
    return {{"since", since}, {"failures", std::move(failures)}};
}

Json DeviceReport(Database& database, const std::string& serial) {
    Json device = Devices(database, serial)["devices"];
    const Result rows =
        database.Exec("SELECT id, tester, seq, " + Utc("tester_time") + ", " + Utc("received") +
                          ", operation, exit_status, content FROM events WHERE "
                          "serial = $1 ORDER BY receipt",
                      {serial});
    Json events = Json::array();
    for (int row = 0; row < rows.Rows(); ++row) {
        events.push_back({{"id", rows.Text(row, 0)},
                          {"tester", rows.Text(row, 1)},
                          {"seq", rows.Int(row, 2)},
                          {"tester_time", TextOrNull(rows, row, 3)},
                          {"received", rows.Text(row, 4)},
                          {"operation", rows.Text(row, 5)},
                          {"exit", IntOrNull(rows, row, 6)},
                          {"what", WhatOfLine(rows.Text(row, 7))}});
    }
    return {{"serial", serial},
            {"device", device.empty() ? Json() : device[0]},
            {"events", std::move(events)}};
}

Json TestersReport(Database& database) {
    Json report = Testers(database);
    const Result rows = database.Exec("SELECT name, group_name, clock_seconds FROM testers");
    std::map<std::string, int> byName;
    for (int row = 0; row < rows.Rows(); ++row) {
        byName[rows.Text(row, 0)] = row;
    }
    for (Json& tester : report["testers"]) {
        const auto found = byName.find(tester["name"].get<std::string>());
        const bool known = found != byName.end();
        tester["group"] = known ? TextOrNull(rows, found->second, 1) : Json();
        tester["clock_seconds"] = known ? IntOrNull(rows, found->second, 2) : Json();
    }
    return report;
}

std::string EventWhat(const history::Event& event) {
    std::string what;
    const auto add = [&what](const std::string& part) {
        what += (what.empty() ? "" : "; ") + part;
    };
    for (const history::RoundRecord& round : event.rounds) {
        const std::string name = "round " + std::to_string(round.number) + " (" + round.code + ")";
        if (!round.refused.empty()) {
            add(name + " refused: " + round.refused);
        } else if (round.result == "failed") {
            add(name + " failed" + (round.expected ? ": expected " + *round.expected : "") +
                (round.reported.empty() ? "" : ", reported " + round.reported));
        }
    }
    if (event.repair == "refused") {
        add("the serial number repair was refused");
    }
    for (const history::CodeTypeRecord& code : event.codeTypes) {
        if (code.compared && !code.verdict.empty() && code.verdict != "Same") {
            add(code.code + " " + (code.after.empty() ? code.before : code.after) + ": " +
                code.verdict + ", the folder's " + (code.disk.empty() ? "-" : code.disk));
        }
    }
    if (what.empty()) {
        what = event.exitStatus ? "exit status " + std::to_string(*event.exitStatus) : "done";
    }
    return what;
}

bool IsReportPath(const std::string& path) {
    return path == "/api/v1/report/behind" || path == "/api/v1/report/failures" ||
           path == "/api/v1/report/device" || path == "/api/v1/report/testers";
}

ReportAnswer AnswerReport(Database& database, const std::string& path,
                          const std::function<std::optional<std::string>(const char*)>& query) {
    std::optional<long long> limit;
    if (const std::optional<std::string> text = query("limit")) {
        const bool digits = !text->empty() && text->size() <= 9 &&
                            text->find_first_not_of("0123456789") == std::string::npos;
        if (!digits) {
            return Refused(400, "the limit is no whole number");
        }
        limit = std::stoll(*text);
    }
    const auto required = [&query](const char* name) {
        const std::optional<std::string> value = query(name);
        return value && Storable(*value) ? value : std::nullopt;
    };
    if (path == "/api/v1/report/behind") {
        const std::optional<std::string> set = required("set");
        if (!set) {
            return Refused(400, "the report needs ?set=NAME");
        }
        std::optional<Json> report = BehindReport(database, *set, limit);
        return report ? ReportAnswer{200, std::move(*report)}
                      : Refused(404, "no release set is named " + *set);
    }
    if (path == "/api/v1/report/failures") {
        const std::optional<std::string> since = ReportTime(query("since").value_or(""));
        if (!since) {
            return Refused(400, "the report needs ?since=YYYY-MM-DDTHH:MM:SSZ (or a date)");
        }
        return {200, FailuresReport(database, *since, limit)};
    }
    if (path == "/api/v1/report/device") {
        const std::optional<std::string> serial = required("serial");
        if (!serial) {
            return Refused(400, "the report needs ?serial=S");
        }
        return {200, DeviceReport(database, *serial)};
    }
    return {200, TestersReport(database)};
}

}  // namespace gwu::fleet

#include "fleet/Ingest.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "fleet/Behind.h"

namespace gwu::fleet {

namespace {

using Json = nlohmann::json;

std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool IsEventId(const std::string& id) {
    return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Whether a number fits the database's bigint.
bool Fits(std::optional<std::uint64_t> number) {
    return !number || *number <= static_cast<std::uint64_t>(std::numeric_limits<long long>::max());
}

// The texts the collector keeps in columns of their own (and indexes): bounded, and without the
// NUL that the database's text cannot hold. The line itself is kept as it came.
constexpr size_t kMaxTextBytes = 1000;

// The member whose text is too long or holds a NUL; empty when none does.
std::string BadText(const history::Event& event) {
    const auto bad = [](const std::string& text) {
        return text.size() > kMaxTextBytes || text.find('\0') != std::string::npos;
    };
    for (const auto& [name, text] : {std::pair{"operation", &event.operation},
                                     {"card", &event.card},
                                     {"serial", &event.serial}}) {
        if (bad(*text)) {
            return name;
        }
    }
    for (const history::CodeTypeRecord& code : event.codeTypes) {
        if (bad(code.code) || bad(code.after)) {
            return "code_types";
        }
    }
    return {};
}

// What of an event the inventory keeps, for its serial (and code).
struct Seen {
    long long receipt = 0;
    const IncomingEvent* incoming = nullptr;
    std::string release;
};

// Which of the batch's ids the database already had, and with what.
struct StoredAs {
    std::string tester, content;
};

// Appends the event's row of the events table in COPY's text format, as received now (seconds
// since 1970) from the tester; whether its clock is off.
bool AppendEventRow(std::string& rows, const IncomingEvent& incoming, long long receipt,
                    const std::string& tester, long long now) {
    const history::Event& e = incoming.event;
    const std::optional<long long> epoch = incoming.epoch;
    const bool offClock = !epoch || std::llabs(now - *epoch) > kClockToleranceSeconds;
    const auto number = [](std::optional<std::uint64_t> value) {
        return value ? std::to_string(*value) : std::string("\\N");
    };
    rows += e.id + '\t' + std::to_string(receipt) + '\t';  // the id is hex digits
    AppendCopyText(rows, tester);
    rows += '\t' + std::to_string(e.sequence) + '\t';
    rows += (epoch ? TimestampText(*epoch) : std::string("\\N")) + '\t';
    for (const std::string* text : {&e.operation, &e.card, &e.serial}) {
        AppendCopyText(rows, *text);
        rows += '\t';
    }
    rows += std::to_string(e.droppedCount.value_or(0)) + '\t' + number(e.droppedFirst) + '\t' +
            number(e.droppedLast) + '\t';
    rows += (epoch ? std::to_string(now - *epoch) : std::string("\\N")) + '\t';
    rows += offClock ? "t\t" : "f\t";
    rows += (e.exitStatus ? std::to_string(*e.exitStatus) : std::string("\\N")) + '\t';
    AppendCopyText(rows, incoming.content);
    rows += '\n';
    return offClock;
}

constexpr const char* kCopyEvents = R"SQL(
COPY events (id, receipt, tester, seq, tester_time, operation, card, serial, dropped,
             dropped_first, dropped_last, clock_seconds, clock_flagged, exit_status, content)
FROM STDIN)SQL";

constexpr const char* kUpsertDevices = R"SQL(
INSERT INTO devices AS t (serial, card, last_seen, last_tester, last_receipt, tester_time)
SELECT x.serial, x.card, now(), $5::text, x.receipt, to_timestamp(x.epoch)
FROM unnest($1::text[], $2::text[], $3::bigint[], $4::bigint[]) AS x(serial, card, receipt, epoch)
ORDER BY x.serial COLLATE "C"
ON CONFLICT (serial) DO UPDATE
SET card = excluded.card, last_seen = excluded.last_seen, last_tester = excluded.last_tester,
    last_receipt = excluded.last_receipt, tester_time = excluded.tester_time
WHERE excluded.last_receipt > t.last_receipt)SQL";

constexpr const char* kUpsertReleases = R"SQL(
INSERT INTO device_releases AS t (serial, code, release, receipt, event_id)
SELECT x.serial, x.code, x.release, x.receipt, x.event_id
FROM unnest($1::text[], $2::text[], $3::text[], $4::bigint[], $5::text[])
     AS x(serial, code, release, receipt, event_id)
ORDER BY x.serial COLLATE "C", x.code COLLATE "C"
ON CONFLICT (serial, code) DO UPDATE
SET release = excluded.release, receipt = excluded.receipt, event_id = excluded.event_id
WHERE excluded.receipt > t.receipt)SQL";

constexpr const char* kInsertConflicts = R"SQL(
INSERT INTO conflicts (id, tester, seq, content)
SELECT x.id, $2::text, x.seq, x.content
FROM json_to_recordset($1::json) AS x(id text, seq bigint, content text)
ON CONFLICT DO NOTHING)SQL";

constexpr const char* kUpdateTester = R"SQL(
UPDATE testers
SET last_sync = now(), events = events + $2, highest_seq = greatest(highest_seq, $3),
    dropped = dropped + $4, clock_flagged = clock_flagged + $5,
    clock_seconds = greatest(clock_seconds, $6::bigint)
WHERE name = $1)SQL";

}  // namespace

std::optional<long long> UtcSeconds(const std::string& text) {
    // YYYY-MM-DDTHH:MM:SSZ
    static const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) {
            return std::nullopt;
        }
    }
    const auto number = [&text](size_t at, size_t length) {
        return std::stoi(text.substr(at, length));
    };
    long long year = number(0, 4);
    const int month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    // The days since 1970-01-01 of the civil date (years counted from March).
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long long days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + hour * 3600LL + minute * 60LL + second;
}

bool IsPlaceholderSerial(const std::string& serial) {
    const auto first = serial.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos) {
        return true;
    }
    const std::string trimmed =
        serial.substr(first, serial.find_last_not_of(" \t\r\n\f\v") - first + 1);
    static const std::string unknown = "unknown";
    return std::equal(
        trimmed.begin(), trimmed.end(), unknown.begin(), unknown.end(),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

std::optional<Refusal> ReadBatch(const std::string& body, Batch& batch) {
    if (body.size() > kMaxBatchBytes) {
        return Refusal{413, "the body is above " + std::to_string(kMaxBatchBytes) +
                                " bytes: send fewer events at once"};
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < body.size();) {
        size_t end = body.find('\n', at);
        end = end == std::string::npos ? body.size() : end;
        std::string line = body.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        if (lines.size() > kMaxBatchEvents) {
            return Refusal{413, "more than " + std::to_string(kMaxBatchEvents) +
                                    " events: send fewer at once"};
        }
        at = end + 1;
    }
    if (lines.empty()) {
        return Refusal{400, "the body holds no events"};
    }
    std::unordered_map<std::string, size_t> seen;  // id -> index in batch.events
    for (size_t n = 0; n < lines.size(); ++n) {
        const auto fail = [n](const std::string& what) {
            return Refusal{400, "line " + std::to_string(n + 1) + ": " + what};
        };
        history::EventReading reading = history::ParseJsonLine(lines[n]);
        if (!reading.event) {
            return fail(reading.problem);
        }
        history::Event& event = *reading.event;
        if (!IsEventId(event.id)) {
            return fail("member \"id\" is not 32 lower-case hex digits");
        }
        if (!Fits(event.sequence) || !Fits(event.droppedCount) || !Fits(event.droppedFirst) ||
            !Fits(event.droppedLast)) {
            return fail("a number is too large");
        }
        if (const std::string member = BadText(event); !member.empty()) {
            return fail("member \"" + member + "\" is longer than " +
                        std::to_string(kMaxTextBytes) + " bytes or holds a NUL character");
        }
        if (const auto found = seen.find(event.id); found != seen.end()) {
            if (batch.events[found->second].content != lines[n]) {
                return fail("id " + event.id + " came before in this batch with other content");
            }
            ++batch.repeats;
            continue;
        }
        seen.emplace(event.id, batch.events.size());
        batch.acknowledged = std::max(batch.acknowledged, event.sequence);
        const std::optional<long long> epoch = UtcSeconds(event.time);
        batch.events.push_back({std::move(lines[n]), std::move(event), epoch});
    }
    return std::nullopt;
}

StoreOutcome StoreBatch(Database& database, const std::string& tester, const Batch& batch) {
    Transaction transaction(database);
    StoreOutcome outcome;
    // The transaction's time, which every row of it is received at and judged by.
    const Result fleet = database.Exec("SELECT id, extract(epoch FROM now())::bigint FROM fleet");
    outcome.fleet = fleet.Text(0, 0);
    const long long now = fleet.Int(0, 1);
    outcome.duplicates = batch.repeats;
    database.Exec("INSERT INTO testers (name) VALUES ($1) ON CONFLICT DO NOTHING", {tester});

    // Receipts in the order the lines came, so that of two events of one device in a batch the
    // later one is the inventory's; rows inserted in id order, so that two batches that share
    // ids never wait for each other in a cycle.
    const Result numbers =
        database.Exec("SELECT nextval('events_receipt') FROM generate_series(1, $1::integer)",
                      {std::to_string(batch.events.size())});
    std::vector<long long> receipts;
    for (int row = 0; row < numbers.Rows(); ++row) {
        receipts.push_back(numbers.Int(row, 0));
    }
    std::sort(receipts.begin(), receipts.end());
    std::map<std::string, size_t> byId;  // id -> index, in id order
    for (size_t i = 0; i < batch.events.size(); ++i) {
        byId.emplace(batch.events[i].event.id, i);
    }

    // Most batches hold only new events: all copied in at once. When one of them is stored
    // already (a batch sent again, a clash), the copy fails on its id; the batch's stored ids are
    // then looked up and the others copied. One stored meanwhile by another transaction fails
    // that copy too, and the batch runs again (DbError::Retryable).
    std::unordered_map<std::string, StoredAs> storedAs;
    long long flagged = 0;
    const auto copy = [&] {
        std::string rows;
        flagged = 0;
        outcome.stored = 0;
        for (const auto& [id, i] : byId) {
            if (storedAs.count(id) == 0) {
                flagged += AppendEventRow(rows, batch.events[i], receipts[i], tester, now) ? 1 : 0;
                ++outcome.stored;
            }
        }
        if (!rows.empty()) {
            database.Copy(kCopyEvents, rows);
        }
    };
    database.Exec("SAVEPOINT batch");
    try {
        copy();
    } catch (const DbError& error) {
        if (error.SqlState() != "23505") {
            throw;
        }
        database.Exec("ROLLBACK TO SAVEPOINT batch");
        ArrayParam ids;
        for (const auto& [id, i] : byId) {
            ids.Add(id);
        }
        const Result stored = database.Exec(
            "SELECT id, tester, content FROM events WHERE id = ANY($1::text[])", {ids.Text()});
        for (int row = 0; row < stored.Rows(); ++row) {
            storedAs[stored.Text(row, 0)] = {stored.Text(row, 1), stored.Text(row, 2)};
        }
        copy();
    }
    Json clashes = Json::array();
    for (const auto& [id, i] : byId) {
        const IncomingEvent& incoming = batch.events[i];
        const auto as = storedAs.find(id);
        if (as == storedAs.end()) {
            continue;
        }
        if (as->second.tester == tester && as->second.content == incoming.content) {
            ++outcome.duplicates;
        } else {
            clashes.push_back(
                {{"id", id}, {"seq", incoming.event.sequence}, {"content", incoming.content}});
        }
    }
    outcome.conflicts = clashes.size();
    if (!clashes.empty()) {
        database.Exec(kInsertConflicts, {Dump(clashes), tester});
    }

    // The inventory: per serial, and per serial and code type with a release after it ran,
    // the newly stored event with the highest receipt.
    std::map<std::string, Seen> devices;
    std::map<std::pair<std::string, std::string>, Seen> releases;
    std::uint64_t highest = 0, dropped = 0;
    std::optional<long long> clock;  // the largest difference of the events' clocks
    for (size_t i = 0; i < batch.events.size(); ++i) {
        const IncomingEvent& incoming = batch.events[i];
        const history::Event& e = incoming.event;
        if (storedAs.count(e.id) != 0) {
            continue;
        }
        highest = std::max(highest, e.sequence);
        dropped += e.droppedCount.value_or(0);
        if (incoming.epoch) {
            clock = std::max(clock.value_or(0), std::llabs(now - *incoming.epoch));
        }
        if (IsPlaceholderSerial(e.serial)) {
            continue;
        }
        const auto later = [&](Seen& seen, std::string release) {
            if (receipts[i] > seen.receipt) {
                seen = {receipts[i], &incoming, std::move(release)};
            }
        };
        later(devices[e.serial], {});
        for (const history::CodeTypeRecord& code : e.codeTypes) {
            if (!code.after.empty()) {
                later(releases[{e.serial, code.code}], code.after);
            }
        }
    }
    std::vector<std::string> touched;
    if (!devices.empty()) {
        ArrayParam serials, cards, receipt, epoch;
        for (const auto& [serial, device] : devices) {
            serials.Add(serial);
            cards.Add(device.incoming->event.card);
            receipt.Add(device.receipt);
            epoch.Add(device.incoming->epoch);
            touched.push_back(serial);
        }
        database.Exec(kUpsertDevices,
                      {serials.Text(), cards.Text(), receipt.Text(), epoch.Text(), tester});
    }
    if (!releases.empty()) {
        ArrayParam serials, codes, names, receipt, events;
        for (const auto& [key, seen] : releases) {
            serials.Add(key.first);
            codes.Add(key.second);
            names.Add(seen.release);
            receipt.Add(seen.receipt);
            events.Add(seen.incoming->event.id);
        }
        database.Exec(kUpsertReleases,
                      {serials.Text(), codes.Text(), names.Text(), receipt.Text(), events.Text()});
    }
    // What the reports keep of these devices, now that their inventory is the batch's.
    UpdateBehind(database, touched);
    database.Exec(kUpdateTester, {tester, std::to_string(outcome.stored), std::to_string(highest),
                                  std::to_string(dropped), std::to_string(flagged),
                                  clock ? Param(std::to_string(*clock)) : std::nullopt});
    transaction.Commit();
    return outcome;
}

}  // namespace gwu::fleet

#include "history/Event.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <random>
#include <tuple>
#include <utility>

namespace gwu::history {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& value) {
    // Compact, UTF-8 kept as it is, bytes that are not UTF-8 replaced rather than thrown at.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

auto Tie(const CodeTypeRecord& r) {
    return std::tie(r.code, r.before, r.after, r.disk, r.verdict, r.compared);
}
auto Tie(const RoundRecord& r) {
    return std::tie(r.number, r.code, r.result, r.expected, r.reported, r.took, r.refused);
}
auto Tie(const FolderRecord& r) {
    return std::tie(r.signature, r.publisher, r.sequence, r.set);
}
template <typename Record>
bool Same(const std::vector<Record>& a, const std::vector<Record>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Record& x, const Record& y) { return Tie(x) == Tie(y); });
}

// The reading of one line: each member is taken with its type checked; the first member that
// does not fit is the problem.
class Reader {
public:
    explicit Reader(const Json& object) : m_object(object) {}

    const Json* Member(const Json& in, const char* name) {
        const auto found = in.find(name);
        return found == in.end() ? nullptr : &*found;
    }
    void Fail(const std::string& where, const char* what) {
        if (m_problem.empty()) {
            m_problem = "member \"" + where + "\" " + what;
        }
    }
    // Reads a member of the type into `to` when it is there; a missing required one fails.
    void Text(const Json& in, const char* name, std::string& to, const std::string& where,
              bool required = false) {
        if (const Json* value = Member(in, name)) {
            value->is_string() ? void(to = value->get<std::string>()) : Fail(where, "is no text");
        } else if (required) {
            Fail(where, "is missing");
        }
    }
    void Text(const Json& in, const char* name, std::optional<std::string>& to,
              const std::string& where) {
        if (Member(in, name) != nullptr) {
            Text(in, name, to.emplace(), where);
        }
    }
    void Unsigned(const Json& in, const char* name, std::optional<std::uint64_t>& to,
                  const std::string& where) {
        if (const Json* value = Member(in, name)) {
            value->is_number_unsigned() ? void(to = value->get<std::uint64_t>())
                                        : Fail(where, "is no whole number from 0");
        }
    }
    void Int(const Json& in, const char* name, std::optional<int>& to, const std::string& where) {
        if (const Json* value = Member(in, name)) {
            const bool fits =
                value->is_number_integer() &&
                (value->is_number_unsigned() ? value->get<std::uint64_t>() <= INT_MAX
                                             : value->get<std::int64_t>() >= INT_MIN &&
                                                   value->get<std::int64_t>() <= INT_MAX);
            fits ? void(to = value->get<int>()) : Fail(where, "is no whole number in range");
        }
    }
    void Bool(const Json& in, const char* name, bool& to, const std::string& where) {
        if (const Json* value = Member(in, name)) {
            value->is_boolean() ? void(to = value->get<bool>()) : Fail(where, "is no true/false");
        }
    }
    const Json* Object(const Json& in, const char* name, const std::string& where) {
        const Json* value = Member(in, name);
        if (value != nullptr && !value->is_object()) {
            Fail(where, "is no object");
            return nullptr;
        }
        return value;
    }

    EventReading Read() {
        const Json& o = m_object;
        Event event;
        std::optional<std::uint64_t> sequence;
        Unsigned(o, "seq", sequence, "seq");
        if (!sequence && m_problem.empty()) {
            Fail("seq", "is missing");
        }
        event.sequence = sequence.value_or(0);
        Text(o, "id", event.id, "id", true);
        Text(o, "time", event.time, "time", true);
        Text(o, "operation", event.operation, "operation", true);
        for (auto [name, to] : std::initializer_list<std::pair<const char*, std::string*>>{
                 {"tester", &event.tester},
                 {"tool", &event.tool},
                 {"library", &event.library},
                 {"card", &event.card},
                 {"serial", &event.serial}}) {
            Text(o, name, *to, name);
        }
        if (const Json* codes = Object(o, "code_types", "code_types")) {
            for (const auto& [code, value] : codes->items()) {
                const std::string where = "code_types." + code;
                if (!value.is_object()) {
                    Fail(where, "is no object");
                    continue;
                }
                CodeTypeRecord& record = event.codeTypes.emplace_back();
                record.code = code;
                Text(value, "before", record.before, where + ".before");
                Text(value, "after", record.after, where + ".after");
                Text(value, "disk", record.disk, where + ".disk");
                Text(value, "verdict", record.verdict, where + ".verdict");
                Bool(value, "compared", record.compared, where + ".compared");
            }
        }
        if (const Json* rounds = Member(o, "rounds")) {
            if (!rounds->is_array()) {
                Fail("rounds", "is no array");
            } else {
                for (const Json& value : *rounds) {
                    const std::string where = "rounds." + std::to_string(event.rounds.size());
                    if (!value.is_object()) {
                        Fail(where, "is no object");
                        break;
                    }
                    RoundRecord& round = event.rounds.emplace_back();
                    std::optional<int> number;
                    Int(value, "number", number, where + ".number");
                    round.number = number.value_or(0);
                    Text(value, "code", round.code, where + ".code");
                    Text(value, "result", round.result, where + ".result");
                    Text(value, "expected", round.expected, where + ".expected");
                    Text(value, "reported", round.reported, where + ".reported");
                    Bool(value, "took", round.took, where + ".took");
                    Text(value, "refused", round.refused, where + ".refused");
                }
            }
        }
        Text(o, "repair", event.repair, "repair");
        if (const Json* folder = Object(o, "folder", "folder")) {
            FolderRecord& record = event.folder.emplace();
            Text(*folder, "signature", record.signature, "folder.signature");
            Text(*folder, "publisher", record.publisher, "folder.publisher");
            Unsigned(*folder, "sequence", record.sequence, "folder.sequence");
            Text(*folder, "set", record.set, "folder.set");
        }
        Int(o, "exit", event.exitStatus, "exit");
        if (const Json* dropped = Object(o, "dropped", "dropped")) {
            Unsigned(*dropped, "count", event.droppedCount, "dropped.count");
            Unsigned(*dropped, "first", event.droppedFirst, "dropped.first");
            Unsigned(*dropped, "last", event.droppedLast, "dropped.last");
            if (!event.droppedCount) {
                Fail("dropped.count", "is missing");
            }
        }
        if (!m_problem.empty()) {
            return {std::nullopt, m_problem};
        }
        return {std::move(event), {}};
    }

private:
    const Json& m_object;
    std::string m_problem;
};

EventReading Parse(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    // The JSON reader takes a NUL byte for the end of its input, so that a line could carry
    // anything after one; no line this system writes holds one, and no database text can.
    if (line.find('\0') != std::string_view::npos) {
        return {std::nullopt, "holds a NUL character"};
    }
    const Json object = Json::parse(line.begin(), line.end(), nullptr, false);
    if (object.is_discarded()) {
        return {std::nullopt, "not JSON"};
    }
    if (!object.is_object()) {
        return {std::nullopt, "not a JSON object"};
    }
    const auto format = object.find("format");
    if (format == object.end()) {
        return {std::nullopt, "member \"format\" is missing"};
    }
    if (!format->is_number_unsigned() || format->get<std::uint64_t>() < 1) {
        return {std::nullopt, "member \"format\" is no format number"};
    }
    if (format->get<std::uint64_t>() > static_cast<std::uint64_t>(kFormat)) {
        return {std::nullopt, "format " + std::to_string(format->get<std::uint64_t>()) +
                                  " is newer than this reader's (" + std::to_string(kFormat) +
                                  "): refused"};
    }
    return Reader(object).Read();
}

}  // namespace

bool Event::operator==(const Event& o) const {
    return std::tie(id, sequence, time, tester, tool, library, operation, card, serial, repair,
                    exitStatus, droppedCount, droppedFirst,
                    droppedLast) == std::tie(o.id, o.sequence, o.time, o.tester, o.tool, o.library,
                                             o.operation, o.card, o.serial, o.repair, o.exitStatus,
                                             o.droppedCount, o.droppedFirst, o.droppedLast) &&
           Same(codeTypes, o.codeTypes) && Same(rounds, o.rounds) &&
           folder.has_value() == o.folder.has_value() &&
           (!folder || Tie(*folder) == Tie(*o.folder));
}

std::string ToJsonLine(const Event& e) {
    Json line = {{"format", kFormat},    {"id", e.id},
                 {"seq", e.sequence},    {"time", e.time},
                 {"tester", e.tester},   {"tool", e.tool},
                 {"library", e.library}, {"operation", e.operation},
                 {"card", e.card},       {"serial", e.serial}};
    if (!e.codeTypes.empty()) {
        Json& codes = line["code_types"] = Json::object();
        for (const CodeTypeRecord& r : e.codeTypes) {
            codes[r.code] = {{"before", r.before},
                             {"after", r.after},
                             {"disk", r.disk},
                             {"verdict", r.verdict},
                             {"compared", r.compared}};
        }
    }
    if (!e.rounds.empty()) {
        Json& rounds = line["rounds"] = Json::array();
        for (const RoundRecord& r : e.rounds) {
            Json round = {{"number", r.number}, {"code", r.code}, {"result", r.result}};
            if (r.expected) {
                round["expected"] = *r.expected;
            }
            round["reported"] = r.reported;
            round["took"] = r.took;
            round["refused"] = r.refused;
            rounds.push_back(std::move(round));
        }
    }
    if (e.repair) {
        line["repair"] = *e.repair;
    }
    if (e.folder) {
        Json& folder = line["folder"] = {{"signature", e.folder->signature},
                                         {"publisher", e.folder->publisher}};
        if (e.folder->sequence) {
            folder["sequence"] = *e.folder->sequence;
        }
        if (e.folder->set) {
            folder["set"] = *e.folder->set;
        }
    }
    if (e.exitStatus) {
        line["exit"] = *e.exitStatus;
    }
    if (e.droppedCount) {
        Json& dropped = line["dropped"] = {{"count", *e.droppedCount}};
        if (e.droppedFirst) {
            dropped["first"] = *e.droppedFirst;
        }
        if (e.droppedLast) {
            dropped["last"] = *e.droppedLast;
        }
    }
    return Dump(line) + "\n";
}

std::string SerialMemberText(const std::string& serial) {
    return "\"serial\":" + Dump(Json(serial));
}

EventReading ParseJsonLine(std::string_view line) {
    if (line.size() > kMaxLineBytes) {
        return {std::nullopt, "longer than " + std::to_string(kMaxLineBytes) + " bytes: refused"};
    }
    try {
        return Parse(line);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return {std::nullopt, std::string("unreadable: ") + error.what()};
    }
}

std::string NewEventId() {
    // Every identifier straight from the system's random source: processes forked from one
    // another share no generator state, so no two testers' events share an identifier.
    std::random_device source;
    std::string id;
    for (int word = 0; word < 4; ++word) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(source()));
        id += hex;
    }
    return id;
}

std::string UtcNow() {
    // The civil date of the days since 1970-01-01, without the C library's non-reentrant gmtime.
    const std::int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    const std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const std::int64_t inDay = seconds - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(inDay / 3600),
                  static_cast<long long>(inDay / 60 % 60), static_cast<long long>(inDay % 60));
    return text;
}

}  // namespace gwu::history

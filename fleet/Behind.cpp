#include "fleet/Behind.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <tuple>
#include <utility>

#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "gateway/CCodeDiffResults.h"
#include "gateway/ReleaseCompare.h"
#include "wire/Cards.h"

namespace gwu::fleet {

namespace {

// Per family, per code type, the release a set holds.
using FamilyReleases = std::map<std::string, std::map<std::string, std::string>>;

// A device as the comparison sees it: its card and, per code type, its release.
struct Inventory {
    std::string card;
    std::map<std::string, std::string> releases;
};

// A device's row of a set.
struct Row {
    bool behind = false;
    std::string codes;
    bool operator==(const Row& other) const {
        return behind == other.behind && codes == other.codes;
    }
};

bool EqualNoCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The code types a check compares with a release file, by their names in the events. The CPLD
// follows the tester's custom CPLD rule and the cable firmware has no release file to compare
// with, so no set decides theirs.
std::optional<CODETYPE> ComparedCodeType(const std::string& code) {
    if (code == "LC") {
        return LC_CODE;
    }
    if (code == "PROM") {
        return PROM_CODE;
    }
    if (code == "BS") {
        return BS_CODE;
    }
    return std::nullopt;
}

// A device release that says the device could not be read: nothing to compare.
bool IsPlaceholderRelease(const std::string& release) {
    return EqualNoCase(release, kUnknownValue) || EqualNoCase(release, kNotConnectedValue);
}

// The verdict of a device's release against a set's, as a check makes it against the set's
// release file: each trimmed by the family's rule, then compared (a manufacturing release
// Forced, legacy software Older).
DIFFTYPE Verdict(bool communication, CODETYPE codeType, const std::string& device,
                 const std::string& set) {
    CHLXUtils communicationModule(nullptr, nullptr);
    CQPTUtils measurementModule(nullptr, nullptr);
    CGatewayUtils& family =
        communication ? static_cast<CGatewayUtils&>(communicationModule) : measurementModule;
    bool legacy = false;
    return CompareWithReleaseFile(family, codeType, device, set, legacy);
}

// The device's row of the set; nothing when the set compares none of its code types.
std::optional<Row> Compare(const FamilyReleases& set, const Inventory& device) {
    const bool communication = wire::IsCommunicationCard(device.card);
    const auto family = set.find(FamilyOfCard(device.card));
    if (family == set.end()) {
        return std::nullopt;
    }
    std::vector<CodeVerdict> codes;  // those whose verdict is not Same
    bool compared = false;
    for (const auto& [code, release] : device.releases) {
        const auto held = family->second.find(code);
        const std::optional<CODETYPE> codeType = ComparedCodeType(code);
        if (held == family->second.end() || !codeType || IsPlaceholderRelease(release)) {
            continue;
        }
        compared = true;
        const DIFFTYPE verdict = Verdict(communication, *codeType, release, held->second);
        if (verdict != DIFF_SAME) {
            codes.push_back({code, release, held->second, DiffTypeWord(verdict)});
        }
    }
    if (!compared) {
        return std::nullopt;
    }
    return Row{!codes.empty(), EncodeCodes(codes)};
}

// The named sets' releases, or only that set's.
std::map<std::string, FamilyReleases> SetReleases(Database& database, const Param& only) {
    const Result rows = database.Exec(
        "SELECT s.set_name, s.family, s.code, s.release FROM set_releases s JOIN release_sets r "
        "ON r.name = s.set_name WHERE $1::text IS NULL OR s.set_name = $1::text",
        {only});
    std::map<std::string, FamilyReleases> sets;
    for (int row = 0; row < rows.Rows(); ++row) {
        sets[rows.Text(row, 0)][rows.Text(row, 1)][rows.Text(row, 2)] = rows.Text(row, 3);
    }
    return sets;
}

// The inventory's rows (serial, card, code, release) of the devices a statement selects.
constexpr const char* kInventory =
    "SELECT r.serial, d.card, r.code, r.release FROM device_releases r JOIN devices d ON "
    "d.serial = r.serial WHERE ";

// What a batch's devices need, in one statement: the named sets' releases ('s', set, family,
// code, release), the devices' inventory ('i', serial, card, code, release) and their rows of
// the named sets ('o', set, serial, behind, codes).
constexpr const char* kReadBatchDevices = R"SQL(
SELECT 's', s.set_name, s.family, s.code, s.release
FROM set_releases s JOIN release_sets n ON n.name = s.set_name
UNION ALL
SELECT 'i', r.serial, d.card, r.code, r.release
FROM unnest($1::text[]) AS x(serial) JOIN devices d ON d.serial = x.serial
JOIN device_releases r ON r.serial = x.serial
WHERE EXISTS (SELECT FROM release_sets)
UNION ALL
SELECT 'o', b.set_name, b.serial, b.behind::text, b.codes
FROM release_sets n CROSS JOIN unnest($1::text[]) AS x(serial)
JOIN set_devices b ON b.set_name = n.name AND b.serial = x.serial)SQL";

// The changed rows, the rows gone and the counts' changes, in one statement.
constexpr const char* kWriteBatchDevices = R"SQL(
WITH upserted AS (
    INSERT INTO set_devices AS t (set_name, serial, behind, codes)
    SELECT * FROM unnest($1::text[], $2::text[], $3::boolean[], $4::text[]) ORDER BY 1, 2
    ON CONFLICT (set_name, serial) DO UPDATE SET behind = excluded.behind, codes = excluded.codes
), removed AS (
    DELETE FROM set_devices
    WHERE (set_name, serial) IN (SELECT * FROM unnest($5::text[], $6::text[]))
)
INSERT INTO set_counts (set_name, compared, behind)
SELECT * FROM unnest($7::text[], $8::bigint[], $9::bigint[]))SQL";

std::string Unescaped(const std::string& text, size_t from, size_t to) {
    const size_t escape = text.find('\\', from);
    if (escape == std::string::npos || escape >= to) {
        return text.substr(from, to - from);  // most values hold nothing escaped
    }
    std::string value;
    for (size_t i = from; i < to; ++i) {
        if (text[i] == '\\' && i + 1 < to) {
            const char next = text[++i];
            value += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            value += text[i];
        }
    }
    return value;
}

}  // namespace

bool CodeVerdict::operator==(const CodeVerdict& other) const {
    return std::tie(code, device, set, verdict) ==
           std::tie(other.code, other.device, other.set, other.verdict);
}

const char* FamilyOfCard(const std::string& card) {
    return wire::IsCommunicationCard(card) ? "communication" : "measurement";
}

std::string EncodeCodes(const std::vector<CodeVerdict>& codes) {
    std::string text;
    for (const CodeVerdict& code : codes) {
        for (const std::string* value : {&code.code, &code.device, &code.set}) {
            AppendCopyText(text, *value);
            text += '\t';
        }
        AppendCopyText(text, code.verdict);
        text += '\n';
    }
    return text;
}

std::vector<CodeVerdict> DecodeCodes(const std::string& text) {
    std::vector<CodeVerdict> codes;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        CodeVerdict code;
        std::string* const fields[] = {&code.code, &code.device, &code.set, &code.verdict};
        size_t from = at;
        for (std::string* field : fields) {
            size_t tab = text.find('\t', from);
            tab = tab == std::string::npos || tab > end ? end : tab;
            *field = Unescaped(text, from, tab);
            from = tab < end ? tab + 1 : end;
        }
        codes.push_back(std::move(code));
        at = end + 1;
    }
    return codes;
}

void UpdateBehind(Database& database, const std::vector<std::string>& serials) {
    if (serials.empty()) {
        return;
    }
    // Before the sets are read: a set's refresh, which locks the table exclusively, is either
    // committed by then or waits for this transaction.
    database.Exec("LOCK TABLE set_devices IN ROW EXCLUSIVE MODE");
    ArrayParam serialArray;
    for (const std::string& serial : serials) {
        serialArray.Add(serial);
    }
    const Result read = database.Exec(kReadBatchDevices, {serialArray.Text()});
    std::map<std::string, FamilyReleases> sets;
    std::map<std::string, Inventory> devices;
    std::map<std::pair<std::string, std::string>, Row> before, after;
    for (int row = 0; row < read.Rows(); ++row) {
        const std::string kind = read.Text(row, 0);
        if (kind == "s") {
            sets[read.Text(row, 1)][read.Text(row, 2)][read.Text(row, 3)] = read.Text(row, 4);
        } else if (kind == "i") {
            Inventory& device = devices[read.Text(row, 1)];
            device.card = read.Text(row, 2);
            device.releases[read.Text(row, 3)] = read.Text(row, 4);
        } else {
            before[{read.Text(row, 1), read.Text(row, 2)}] = {read.Text(row, 3) == "true",
                                                              read.Text(row, 4)};
        }
    }
    for (const auto& [name, set] : sets) {
        for (const auto& [serial, device] : devices) {
            if (std::optional<Row> row = Compare(set, device)) {
                after[{name, serial}] = std::move(*row);
            }
        }
    }

    // The changes, and what they change of each set's counts.
    std::map<std::string, std::pair<long long, long long>> counts;
    ArrayParam upsertSets, upsertSerials, upsertBehind, upsertCodes, goneSets, goneSerials;
    for (const auto& [key, row] : after) {
        const auto old = before.find(key);
        if (old != before.end() && old->second == row) {
            continue;
        }
        std::pair<long long, long long>& count = counts[key.first];
        count.first += old == before.end() ? 1 : 0;
        count.second += (row.behind ? 1 : 0) - (old != before.end() && old->second.behind ? 1 : 0);
        upsertSets.Add(key.first);
        upsertSerials.Add(key.second);
        upsertBehind.Add(std::string(row.behind ? "t" : "f"));
        upsertCodes.Add(row.codes);
    }
    for (const auto& [key, row] : before) {
        if (after.count(key) == 0) {
            std::pair<long long, long long>& count = counts[key.first];
            count.first -= 1;
            count.second -= row.behind ? 1 : 0;
            goneSets.Add(key.first);
            goneSerials.Add(key.second);
        }
    }
    if (counts.empty()) {
        return;
    }
    ArrayParam countSets, compared, behind;
    for (const auto& [name, count] : counts) {
        if (count.first != 0 || count.second != 0) {
            countSets.Add(name);
            compared.Add(count.first);
            behind.Add(count.second);
        }
    }
    database.Exec(kWriteBatchDevices, {upsertSets.Text(), upsertSerials.Text(), upsertBehind.Text(),
                                       upsertCodes.Text(), goneSets.Text(), goneSerials.Text(),
                                       countSets.Text(), compared.Text(), behind.Text()});
}

void RefreshSet(Database& database, const std::string& set) {
    database.Exec("LOCK TABLE set_devices IN EXCLUSIVE MODE");
    database.Exec("DELETE FROM set_devices WHERE set_name = $1", {set});
    database.Exec("DELETE FROM set_counts WHERE set_name = $1", {set});
    const std::map<std::string, FamilyReleases> sets = SetReleases(database, set);
    if (sets.empty()) {
        return;
    }
    ArrayParam codes;
    std::map<std::string, bool> held;
    for (const auto& family : sets.begin()->second) {
        for (const auto& code : family.second) {
            if (!held[code.first]) {
                held[code.first] = true;
                codes.Add(code.first);
            }
        }
    }
    // The inventory streamed by serial through a cursor, each device's rows copied back at once.
    database.Exec("DECLARE set_inventory NO SCROLL CURSOR FOR " + std::string(kInventory) +
                      "r.code = ANY($1::text[]) ORDER BY r.serial",
                  {codes.Text()});
    constexpr size_t kCopyBytes = size_t{8} << 20;
    std::string rows, serial;
    Inventory device;
    long long compared = 0, behind = 0;
    const auto finish = [&] {
        if (const std::optional<Row> row =
                serial.empty() ? std::nullopt : Compare(sets.begin()->second, device)) {
            ++compared;
            behind += row->behind ? 1 : 0;
            AppendCopyText(rows, set);
            rows += '\t';
            AppendCopyText(rows, serial);
            rows += row->behind ? "\tt\t" : "\tf\t";
            AppendCopyText(rows, row->codes);
            rows += '\n';
        }
        device.releases.clear();
    };
    const auto flush = [&] {
        if (!rows.empty()) {
            database.Copy("COPY set_devices (set_name, serial, behind, codes) FROM STDIN", rows);
            rows.clear();
        }
    };
    for (;;) {
        const Result batch = database.Exec("FETCH 20000 FROM set_inventory");
        if (batch.Rows() == 0) {
            break;
        }
        for (int row = 0; row < batch.Rows(); ++row) {
            if (batch.Text(row, 0) != serial) {
                finish();
                serial = batch.Text(row, 0);
                device.card = batch.Text(row, 1);
            }
            device.releases[batch.Text(row, 2)] = batch.Text(row, 3);
        }
        if (rows.size() > kCopyBytes) {
            flush();
        }
    }
    finish();
    flush();
    database.Exec("CLOSE set_inventory");
    database.Exec("INSERT INTO set_counts (set_name, compared, behind) VALUES ($1, $2, $3)",
                  {set, std::to_string(compared), std::to_string(behind)});
}

}  // namespace gwu::fleet

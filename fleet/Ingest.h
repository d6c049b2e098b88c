// A tester's batch of history lines: read and judged as a whole (a bad line refuses the batch),
// then stored in one transaction: each event once by its id, a clash recorded as a conflict, the
// device inventory and the tester's counts brought up to date with the events newly stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fleet/Postgres.h"
#include "history/Event.h"

namespace gwu::fleet {

constexpr size_t kMaxBatchEvents = 1000;
constexpr size_t kMaxBatchBytes = size_t{4} * 1024 * 1024;
// A tester's clock further than this from the collector's flags its event.
constexpr long long kClockToleranceSeconds = 600;

struct IncomingEvent {
    std::string content;  // the line as received, without its line end
    history::Event event;
    std::optional<long long> epoch;  // the tester's time in seconds since 1970, when readable
};

struct Batch {
    std::vector<IncomingEvent> events;  // in the order sent, each id once
    size_t repeats = 0;                 // lines that repeated an earlier line of the batch
    std::uint64_t acknowledged = 0;     // the highest "seq" of the batch
};

struct Refusal {
    int status = 400;
    std::string error;
};

// Reads the body: 413 above kMaxBatchBytes or kMaxBatchEvents lines; 400 for an empty body, a
// line that is no event ("line N: WHAT"), an id that is not 32 lower-case hex digits, numbers
// above what the database holds, an operation, card, serial, code label or release above 1000
// bytes or with a NUL character, or one id twice with different content.
std::optional<Refusal> ReadBatch(const std::string& body, Batch& batch);

// "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970; nothing for any other text.
std::optional<long long> UtcSeconds(const std::string& text);

// "", "Unknown" and the like (any case, blanks around): no device's serial number.
bool IsPlaceholderSerial(const std::string& serial);

struct StoreOutcome {
    std::string fleet;
    size_t stored = 0, duplicates = 0, conflicts = 0;
};

// Stores the batch as the tester's, in one transaction (see the top of this file). Throws
// DbError; the caller runs it again on a retryable one.
StoreOutcome StoreBatch(Database& database, const std::string& tester, const Batch& batch);

}  // namespace gwu::fleet

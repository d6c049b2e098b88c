// The tester's fleet files in the log folder: fleet.conf (which collector, which token), the
// cursor of what the fleet acknowledged, and the history's lines not yet acknowledged, read as
// the files hold them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "history/HistoryFile.h"

namespace gwu::cli {

constexpr const char* kFleetConfigName = "fleet.conf";
constexpr const char* kFleetCursorName = "fleet-cursor.json";

// fleet.conf: lines "key = value" (url, token_file, ca_file), '#' comment lines and blank ones.
// A relative token_file or ca_file is taken from the log folder.
struct FleetConfig {
    std::string url;
    std::string tokenFile;
    std::string caFile;
};
// The folder's fleet.conf; none without one. An unknown key or a line that is no "key = value"
// is an error naming the file and the line: then none, and the error set.
std::optional<FleetConfig> ReadFleetConfig(const std::string& folder, std::string& error);

// fleet-cursor.json: {"fleet": FLEET_ID, "url": URL, "acknowledged": SEQ}.
struct FleetCursor {
    std::string fleet;
    std::string url;
    std::uint64_t acknowledged = 0;
};
// The folder's cursor; none when it is missing or unreadable (a sync then starts from 0).
std::optional<FleetCursor> ReadFleetCursor(const std::string& folder);

// The history writer's view of the fleet: the cursor's acknowledged sequence, 0 when a fleet is
// configured and nothing was acknowledged yet, and every event when no fleet is configured (the
// rotation then keeps nothing for a fleet that will never ask).
history::AcknowledgedSequence FleetAcknowledged(const std::string& folder);

// Replaces the folder's cursor with this one, durably and in one rename; 0, or the errno.
int WriteFleetCursor(const std::string& folder, const FleetCursor& cursor);

// Hands on each event line of the folder's history whose sequence is above `after` and above
// every one handed on before, oldest first, as the file holds it (its line end included): a
// line that is no event, one too long and a last line without its line end are passed over, as
// the history's reader passes them over. The sink's false stops the reading. Returns why a file
// could not be read, in words; empty when none.
using LineSink = std::function<bool(std::string_view line, std::uint64_t sequence)>;
std::string ForEachUnsentLine(const std::string& folder, std::uint64_t after,
                              const LineSink& onLine);

// A text from the collector or a file as one line of at most 300 bytes.
std::string OneLine(std::string text);
// The text without the blanks around it.
std::string Trim(std::string_view text);
// An errno value in words.
std::string ErrorText(int cause);

}  // namespace gwu::cli

// One event of a tester's update history (a check, an update, a cable run, a serial-number
// repair, or the writer's own "dropped" note) and its line in the history file.
//
// The file is JSON Lines: UTF-8, one event per line, each line one JSON object ending in "\n"
// (a reader also takes "\r\n"). Members, in the order written (optional ones only when set):
//   "format"      1: this layout. A reader refuses a line of a newer format, naming its number.
//   "id"          the event's own 128-bit random identifier, 32 lower-case hex digits
//   "seq"         the tester's sequence number (1, 2, 3, ...; see HistoryFile.h)
//   "time"        UTC, "YYYY-MM-DDTHH:MM:SSZ"
//   "tester", "tool", "library"   the tester's name, the tool and its version ("gwctl 0.1.0"),
//                 the library's version
//   "operation"   "check", "update", "cable", "repair", or "dropped"
//   "card", "serial"              the card and the device's serial number
//   "code_types"  an object by code label ("LC", "PROM", "BS", "CPLD", "MAC"), each
//                 {"before", "after", "disk", "verdict", "compared"}; left out when empty
//   "rounds"      the update's rounds, each {"number", "code", "result" (succeeded | failed |
//                 not run), "expected" (only when known), "reported", "took", "refused"};
//                 left out when empty
//   "repair"      "silent", "typed" or "refused"
//   "folder"      the signed firmware folder: {"signature", "publisher", "sequence", "set"}
//                 ("set": the fleet's release set the folder holds, when it was pulled)
//   "exit"        the tool's exit status
//   "dropped"     in a "dropped" event: {"count", "first", "last"}: how many events the size
//                 cap removed and the first and last of their sequence numbers
// "format", "id", "seq", "time" and "operation" are required; a member of the wrong type makes
// the line unreadable; a member this version does not know is ignored. A line holds at most
// kMaxLineBytes bytes, its "\n" included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gwu::history {

constexpr int kFormat = 1;
constexpr std::size_t kMaxLineBytes = 64 * 1024;

// One code type as a check or an update saw it.
struct CodeTypeRecord {
    std::string code;  // "LC", "PROM", "BS", "CPLD", "MAC"
    std::string before, after, disk;
    std::string verdict;
    bool compared = false;
};

// One round of an update.
struct RoundRecord {
    int number = 0;
    std::string code;
    std::string result;  // "succeeded", "failed", "not run"
    std::optional<std::string> expected;
    std::string reported;
    bool took = false;
    std::string refused;
};

// The signed firmware folder an operation used.
struct FolderRecord {
    std::string signature;
    std::string publisher;
    std::optional<std::uint64_t> sequence;
    std::optional<std::string> set;  // the fleet's release set, for a folder pulled from one
};

struct Event {
    std::string id;              // set by the writer when empty
    std::uint64_t sequence = 0;  // set by the writer, under the file's lock
    std::string time;            // set by the writer when empty
    std::string tester, tool, library;
    std::string operation;
    std::string card, serial;
    std::vector<CodeTypeRecord> codeTypes;  // one per code label (a repeated label: the last)
    std::vector<RoundRecord> rounds;
    std::optional<std::string> repair;
    std::optional<FolderRecord> folder;
    std::optional<int> exitStatus;
    // A "dropped" event: how many events were dropped, and their first and last sequence.
    std::optional<std::uint64_t> droppedCount, droppedFirst, droppedLast;

    bool operator==(const Event& other) const;
    bool operator!=(const Event& other) const { return !(*this == other); }
};

// The event's line, "\n" included. Bytes that are not UTF-8 become U+FFFD. Never throws but
// std::bad_alloc.
std::string ToJsonLine(const Event& event);

// The JSON text of a serial number as ToJsonLine writes it in the "serial" member,
// "\"serial\":\"...\"": a line that lacks it is no event of that device.
std::string SerialMemberText(const std::string& serial);

struct EventReading {
    std::optional<Event> event;
    std::string problem;  // why there is no event, in words
};

// Reads one line (with or without its "\n" or "\r\n"). Any input gives an event or a problem,
// never an exception (std::bad_alloc aside) nor undefined behaviour.
EventReading ParseJsonLine(std::string_view line);

// A new 128-bit random identifier, and the UTC time now, as the writer fills them in.
std::string NewEventId();
std::string UtcNow();

}  // namespace gwu::history

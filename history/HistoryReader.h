// The reader of a tester's update history: the rotated files ("history.<n>.jsonl", the highest
// number, the oldest, first) and then the current "history.jsonl", streamed in pieces, so that
// memory does not grow with the files.
//
// Its rules:
// - A line that is not an event (not JSON, a required member missing, a member of the wrong
//   type) is skipped with a warning naming the file and the line number; the lines after it are
//   read as ever. A line above kMaxLineBytes is refused with a warning and skipped without
//   being held whole. A line of a newer format is refused with a warning naming its format. A
//   last line without "\n" (cut short by a crash, or being written) is skipped with a warning.
// - Warnings go to the caller's sink; the library prints nothing.
// - With a serial number to match, a line is parsed only when it holds the serial's member text
//   as the writer writes it (SerialMemberText), so the other devices' lines cost a search.
// - All files are opened before the first is read (on Windows sharing read, write and delete:
//   writers append, rotate and remove as ever). An event of a later file whose number is not
//   above the highest given from the files before is not given again (a file read twice while
//   a rotation renamed it).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "gatewayutils/history/Event.h"

namespace gwu::history {

struct Filter {
    std::string serial;     // exactly this serial number; empty: any
    std::string since;      // events whose time (UTC text) is not before this text; empty: any
    std::string operation;  // exactly this operation; empty: any
};

// Takes an event; false stops the reading.
using EventSink = std::function<bool(const Event&)>;
// Takes a warning: "PATH: line N: WHAT".
using WarningSink = std::function<void(const std::string&)>;

// Reads the folder's history, giving each event that passes the filter to the sink, oldest
// first. Returns how many it gave. A file that cannot be opened is a warning.
std::size_t ReadHistory(const std::string& folder, const Filter& filter, const EventSink& onEvent,
                        const WarningSink& onWarning);

// Reads one history file the same way.
std::size_t ReadHistoryFile(const std::string& path, const Filter& filter, const EventSink& onEvent,
                            const WarningSink& onWarning);

// The whole reading at once, for callers that want it in memory.
struct HistoryReading {
    std::vector<Event> events;
    std::vector<std::string> warnings;
};
HistoryReading ReadHistory(const std::string& folder, const Filter& filter = {});

// The folder's history files in reading order (oldest first), the current one last when it
// exists: full paths.
std::vector<std::string> HistoryFiles(const std::string& folder);

}  // namespace gwu::history

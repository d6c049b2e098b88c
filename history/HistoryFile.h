// The writer of a tester's update history: "history.jsonl" in the folder it is given (the log
// folder), with the list file's crash and lock discipline.
//
// Sequence numbers. Append takes the next number under the file's lock (os::LockedFile): one
// above the last event's, found in the tail of the current file, else of the newest rotated
// file that holds one, else 1. A number is taken only by the line that is written with it, so the
// numbers in the files never repeat and never skip: a line a crash cut short (no "\n") is
// finished by the next append, which starts on a line of its own and takes that same number;
// the torn line reads as a corrupt line, no event. A gap in the numbers a reader sees therefore
// means lines lost, and a "dropped" event says which ones the size cap removed; a line the
// machine lost before its fsync (a power cut while Append had not returned) leaves no gap, its
// number being taken again by the next append.
//
// Rotation. Before an append that would take a non-empty current file above the rotation size
// (kRotateBytes), the current file is renamed to "history.1.jsonl", the older ones shifting
// up (.1 to .2, .2 to .3, ...; a gap a crash left stays, the order holds), and a new file
// begins, all under the lock. A current file that holds events above the acknowledged sequence
// (the caller's AcknowledgedSequence) is kept over the rotation size instead, while all files
// together stay within the cap less one rotation size; without that function every event
// counts as acknowledged. At a rotation, the oldest rotated files are removed while the rotated
// files together would exceed the cap (kCapBytes) less one rotation size, so that all files
// together stay within the cap (give or take the line being written; the limits must leave the
// cap at least twice the rotation size).
// Before it removes any, the writer appends a "dropped" event to the current file, with how many
// events went and the first and last of their numbers; a "dropped" event among those removed
// passes on its count and its first number, so that the events and the notes left account for
// every number: the events read plus the counts of the "dropped" events read is the last
// number. A crash between that event and the removal leaves the events in place and the note
// written; the next rotation writes it again (then the counts add up to more).
//
// Any number of processes and threads may append at once; each waits for the others' turns
// (os::SetWriterWait). Readers never need the lock. On Windows the writer renames the file
// while readers have it open: os::ReadOnlyFile opens with every sharing granted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "gatewayutils/history/Event.h"

namespace gwu::history {

constexpr const char* kHistoryFileName = "history.jsonl";
constexpr std::uint64_t kRotateBytes = std::uint64_t{8} << 20;
constexpr std::uint64_t kCapBytes = std::uint64_t{64} << 20;

// The name of the rotated file number n (1 the newest): "history.<n>.jsonl".
std::string RotatedFileName(unsigned n);

struct Limits {
    std::uint64_t rotateBytes = kRotateBytes;
    std::uint64_t capBytes = kCapBytes;
};
// Sets the limits of every writer of this process; returns those set before. Tests shrink them.
Limits SetLimits(Limits limits);

// The highest sequence number a fleet acknowledged, asked at a rotation (any thread).
using AcknowledgedSequence = std::function<std::uint64_t()>;

struct AppendResult {
    bool recorded = false;
    std::uint64_t sequence = 0;  // the event's, when recorded
    std::string problem;         // in words; a recorded event may carry one (a failed rotation)
};

class HistoryFile {
public:
    explicit HistoryFile(std::string folder, AcknowledgedSequence acknowledged = {});

    // Appends the event as one line and makes it durable before it returns. Sets its
    // sequence, and its id and time when they are empty. Nothing derived from std::exception
    // leaves it: a problem is returned in words (the folder cannot be written, an event whose
    // line is above kMaxLineBytes, ...) and the event is then not recorded.
    AppendResult Append(Event& event);

    const std::string& Folder() const { return m_folder; }
    std::string CurrentPath() const;

private:
    std::string m_folder;
    AcknowledgedSequence m_acknowledged;
};

}  // namespace gwu::history

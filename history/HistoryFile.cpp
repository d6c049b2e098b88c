#include "history/HistoryFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "history/HistoryReader.h"
#include "os/Os.h"

namespace gwu::history {

namespace {

std::atomic<std::uint64_t> g_rotateBytes{kRotateBytes};
std::atomic<std::uint64_t> g_capBytes{kCapBytes};

std::string Words(int cause) {
    return std::generic_category().message(cause);
}

// Reads exactly `size` bytes at the offset. Returns 0 or the error number.
int ReadExactly(os::ReadOnlyFile& file, std::uint64_t offset, char* data, std::size_t size) {
    while (size > 0) {
        std::size_t got = 0;
        if (const int cause = file.ReadAt(offset, data, size, got)) {
            return cause;
        }
        if (got == 0) {
            return EIO;  // shorter than its size said: cut by someone who is no writer
        }
        offset += got;
        data += got;
        size -= got;
    }
    return 0;
}

// Where the last "\n" before `end` is, reading backward a piece at a time; none at all: nullopt.
int LastNewlineBefore(os::ReadOnlyFile& file, std::uint64_t end,
                      std::optional<std::uint64_t>& found) {
    char piece[4 * 1024];  // a few lines: most tails are found in one read
    found.reset();
    while (end > 0) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(end, sizeof piece));
        const std::uint64_t from = end - size;
        if (const int cause = ReadExactly(file, from, piece, size)) {
            return cause;
        }
        for (std::size_t i = size; i > 0; --i) {
            if (piece[i - 1] == '\n') {
                found = from + i - 1;
                return 0;
            }
        }
        end = from;
    }
    return 0;
}

// The number of the event on a line. A line as the writer writes it, its "format" and "id"
// first and then "seq", and whole JSON, needs no more than a check of its syntax; any other
// line is read in full.
std::optional<std::uint64_t> SequenceOf(const std::string& line) {
    static const std::string kStart = "{\"format\":1,\"id\":\"";
    static const std::string kSeq = "\",\"seq\":";
    const std::size_t idEnd = line.compare(0, kStart.size(), kStart) == 0
                                  ? line.find('"', kStart.size())
                                  : std::string::npos;
    if (idEnd != std::string::npos && line.compare(idEnd, kSeq.size(), kSeq) == 0) {
        std::uint64_t sequence = 0;
        std::size_t at = idEnd + kSeq.size();
        const std::size_t digits = at;
        while (at < line.size() && at - digits < 19 && line[at] >= '0' && line[at] <= '9') {
            sequence = sequence * 10 + static_cast<std::uint64_t>(line[at++] - '0');
        }
        if (at > digits && at < line.size() && line[at] == ',' &&
            nlohmann::json::accept(line.begin(), line.end())) {
            return sequence;
        }
    }
    const EventReading reading = ParseJsonLine(line);
    return reading.event ? std::optional<std::uint64_t>(reading.event->sequence) : std::nullopt;
}

// What an append needs to know of a file: its size, whether it ends in "\n" (else a crash tore
// its last line), and the number of its last event, found from its end backward.
struct Tail {
    std::uint64_t size = 0;
    bool endsInNewline = true;
    std::optional<std::uint64_t> sequence;
};

int ReadTail(const std::string& path, Tail& tail) {
    os::ReadOnlyFile file;
    if (const int cause = file.Open(path)) {
        return cause;
    }
    tail = Tail{file.Size(), true, std::nullopt};
    if (tail.size == 0) {
        return 0;
    }
    char last = '\n';
    if (const int cause = ReadExactly(file, tail.size - 1, &last, 1)) {
        return cause;
    }
    tail.endsInNewline = last == '\n';
    std::optional<std::uint64_t> lineEnd;
    int cause = LastNewlineBefore(file, tail.size, lineEnd);  // a torn last line is no event
    std::string line;
    while (cause == 0 && lineEnd) {
        std::optional<std::uint64_t> before;
        cause = LastNewlineBefore(file, *lineEnd, before);
        const std::uint64_t begin = before ? *before + 1 : 0;
        if (cause == 0 && *lineEnd - begin < kMaxLineBytes) {
            line.resize(static_cast<std::size_t>(*lineEnd - begin));
            cause = ReadExactly(file, begin, line.data(), line.size());
            if (cause == 0 && (tail.sequence = SequenceOf(line))) {
                return 0;
            }
        }
        lineEnd = before;
    }
    return cause;
}

std::uint64_t SizeOf(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

// One append, or one rotation, under the current file's lock.
class Appender {
public:
    Appender(const std::string& folder, const AcknowledgedSequence& acknowledged)
        : m_folder(folder), m_acknowledged(acknowledged) {}

    AppendResult Append(Event& event) {
        if (event.id.empty()) {
            event.id = NewEventId();
        }
        if (event.time.empty()) {
            event.time = UtcNow();
        }
        event.sequence = 0;
        // The line with its number put in place of the 0 (the first "seq" member is the event's
        // own: a text's quotes are escaped); the longest number adds 19 digits.
        const std::string line = ToJsonLine(event);
        const std::size_t number = line.find(",\"seq\":0,") + 7;
        const std::size_t estimate = line.size() + 19;
        if (estimate > kMaxLineBytes) {
            return {false, 0,
                    "the event's line would be above " + std::to_string(kMaxLineBytes) +
                        " bytes: not recorded"};
        }
        const std::string current = os::JoinPath(m_folder, kHistoryFileName);
        // At most a few rotations in a row (each found the new file full already: tiny
        // limits, or other writers); then the line goes to the file as it is.
        for (int round = 0;; ++round) {
            os::LockedFile file;
            if (const int cause = file.Open(current)) {
                return {false, 0,
                        "the history file " + current + " cannot be opened: " + Words(cause)};
            }
            Tail tail;
            if (const int cause = ReadTail(file.Path(), tail)) {
                return {false, 0,
                        "the history file " + file.Path() + " cannot be read: " + Words(cause)};
            }
            std::uint64_t last = tail.sequence ? *tail.sequence : LastInRotated();
            if (round < 3 && tail.size > 0 && tail.size + estimate > g_rotateBytes.load() &&
                Rotate(file, tail, last, estimate, event)) {
                continue;  // a new current file
            }
            event.sequence = last + 1;
            if (const int cause =
                    AppendLine(file, tail,
                               line.substr(0, number) + std::to_string(event.sequence) +
                                   line.substr(number + 1))) {
                return {false, 0,
                        "the history file " + file.Path() + " cannot be written: " + Words(cause)};
            }
            return {true, event.sequence, m_problem};
        }
    }

private:
    // One whole line, on a line of its own, durable before it returns.
    int AppendLine(os::LockedFile& file, Tail& tail, const std::string& line) {
        const bool torn = tail.size > 0 && !tail.endsInNewline;
        int cause = file.Append(torn ? "\n" + line : line);
        if (cause == 0) {
            cause = file.Sync();
        }
        if (cause == 0 && tail.size == 0) {
            cause = os::SyncFolder(m_folder);  // a file new in the folder
        }
        if (cause == 0) {
            tail.size += line.size() + (torn ? 1 : 0);
            tail.endsInNewline = true;
        }
        return cause;
    }

    // The last number in the rotated files, newest first; 0 when none holds an event.
    std::uint64_t LastInRotated() const {
        std::vector<std::string> files = HistoryFiles(m_folder);
        for (auto it = files.rbegin(); it != files.rend(); ++it) {
            Tail tail;
            if (*it != os::JoinPath(m_folder, kHistoryFileName) && ReadTail(*it, tail) == 0 &&
                tail.sequence) {
                return *tail.sequence;
            }
        }
        return 0;
    }

    // Rotates the current file (see HistoryFile.h): true when it did, and the file is closed;
    // false when the file stays the current one (kept for unacknowledged events, or a step
    // failed: m_problem says which). `last` follows a "dropped" event appended on the way.
    bool Rotate(os::LockedFile& file, Tail& tail, std::uint64_t& last, std::size_t lineSize,
                const Event& event) {
        const std::uint64_t rotate = g_rotateBytes.load();
        const std::uint64_t cap = g_capBytes.load();
        std::vector<std::string> rotated = HistoryFiles(m_folder);
        if (!rotated.empty() && rotated.back() == os::JoinPath(m_folder, kHistoryFileName)) {
            rotated.pop_back();  // oldest first, the current one left out
        }
        std::vector<std::uint64_t> sizes;
        std::uint64_t total = 0;
        for (const std::string& path : rotated) {
            total += sizes.emplace_back(SizeOf(path));
        }
        const std::uint64_t acknowledged =
            m_acknowledged ? m_acknowledged() : std::numeric_limits<std::uint64_t>::max();
        // The rotated files, the current one among them after the rotation, leave room for a
        // whole new file within the cap.
        const std::uint64_t budget = cap > rotate ? cap - rotate : 0;
        if (tail.sequence && *tail.sequence > acknowledged &&
            tail.size + total + lineSize <= budget) {
            return false;  // events the fleet has not acknowledged stay in the current file
        }
        // The newest file with an event always stays: it holds the number the next one follows.
        const std::size_t removable = rotated.size() - (tail.sequence || rotated.empty() ? 0 : 1);
        std::size_t drop = 0;
        for (std::uint64_t kept = total; drop < removable && tail.size + kept > budget; ++drop) {
            kept -= sizes[drop];
        }
        if (drop > 0 && !Drop(file, tail, last, event, {rotated.begin(), rotated.begin() + drop})) {
            return false;
        }
        unsigned free = 1;
        while (free < 100000 && os::PathExists(os::JoinPath(m_folder, RotatedFileName(free)))) {
            ++free;
        }
        for (unsigned n = free; n > 1; --n) {
            if (const int cause =
                    os::RenameNoReplace(os::JoinPath(m_folder, RotatedFileName(n - 1)),
                                        os::JoinPath(m_folder, RotatedFileName(n)))) {
                m_problem = "the history was not rotated: " + Words(cause);
                return false;
            }
        }
        if (const int cause = file.MoveTo(os::JoinPath(m_folder, RotatedFileName(1)))) {
            m_problem = "the history was not rotated: " + Words(cause);
            return true;  // closed all the same: the next round opens it again
        }
        if (const int cause = os::SyncFolder(m_folder)) {
            m_problem = "the history's rotation may not be durable: " + Words(cause);
        }
        return true;
    }

    // Notes in the current file which events the files are about to take away, then removes
    // them. False when a step failed.
    bool Drop(os::LockedFile& file, Tail& tail, std::uint64_t& last, const Event& event,
              const std::vector<std::string>& files) {
        Event dropped;
        dropped.tester = event.tester;
        dropped.tool = event.tool;
        dropped.library = event.library;
        dropped.operation = "dropped";
        dropped.droppedCount = 0;
        // A "dropped" event among them passes on what it accounted for, so that the events
        // left and the notes left account for every number.
        for (const std::string& path : files) {
            ReadHistoryFile(path, {},
                            [&dropped](const Event& gone) {
                                std::uint64_t first = gone.sequence;
                                if (gone.droppedCount) {
                                    *dropped.droppedCount += *gone.droppedCount;
                                    first = std::min(first, gone.droppedFirst.value_or(first));
                                }
                                dropped.droppedFirst =
                                    std::min(dropped.droppedFirst.value_or(first), first);
                                dropped.droppedLast = gone.sequence;
                                ++*dropped.droppedCount;
                                return true;
                            },
                            {});
        }
        if (*dropped.droppedCount > 0) {
            dropped.id = NewEventId();
            dropped.time = UtcNow();
            dropped.sequence = last + 1;
            if (const int cause = AppendLine(file, tail, ToJsonLine(dropped))) {
                m_problem = "the history's size cap could not note what it drops: " + Words(cause);
                return false;
            }
            last = dropped.sequence;
            tail.sequence = last;
        }
        for (const std::string& path : files) {
            if (const int cause = os::RemoveFile(path)) {
                m_problem = "the history's size cap could not remove " + path + ": " + Words(cause);
                return false;
            }
        }
        return true;
    }

    const std::string& m_folder;
    const AcknowledgedSequence& m_acknowledged;
    std::string m_problem;
};

}  // namespace

std::string RotatedFileName(unsigned n) {
    return "history." + std::to_string(n) + ".jsonl";
}

Limits SetLimits(Limits limits) {
    return {g_rotateBytes.exchange(limits.rotateBytes), g_capBytes.exchange(limits.capBytes)};
}

HistoryFile::HistoryFile(std::string folder, AcknowledgedSequence acknowledged)
    : m_folder(std::move(folder)), m_acknowledged(std::move(acknowledged)) {}

std::string HistoryFile::CurrentPath() const {
    return os::JoinPath(m_folder, kHistoryFileName);
}

AppendResult HistoryFile::Append(Event& event) {
    try {
        return Appender(m_folder, m_acknowledged).Append(event);
    } catch (const std::exception& error) {
        return {false, 0, std::string("the history could not be written: ") + error.what()};
    }
}

}  // namespace gwu::history

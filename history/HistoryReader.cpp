#include "history/HistoryReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "history/HistoryFile.h"
#include "os/Os.h"

namespace gwu::history {

namespace {

// The bytes read from a file at a time; with a partial line of at most kMaxLineBytes carried
// over, the buffer never holds more than the two together.
constexpr std::size_t kBlock = std::size_t{1} << 20;

std::size_t CountNewlines(const char* at, const char* end) {
    std::size_t count = 0;
    while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
        ++count;
        ++at;
    }
    return count;
}

// Finds a text in a piece: with the C library's memmem where it has one (GNU's is several times
// faster than a generic search), else by Boyer-Moore-Horspool.
class NeedleSearch {
public:
    explicit NeedleSearch(std::string_view needle)
        : m_needle(needle), m_searcher(needle.data(), needle.data() + needle.size()) {}
    // The first place of the text in [at, end), else end.
    const char* Find(const char* at, const char* end) const {
#ifdef __GLIBC__
        const void* hit =
            ::memmem(at, static_cast<std::size_t>(end - at), m_needle.data(), m_needle.size());
        return hit != nullptr ? static_cast<const char*>(hit) : end;
#else
        return std::search(at, end, m_searcher);
#endif
    }

private:
    std::string_view m_needle;
    std::boyer_moore_horspool_searcher<const char*> m_searcher;
};

// Takes a whole line (without its "\n") and its number; false stops the scan.
using LineSink = std::function<bool(std::string_view line, std::uint64_t number)>;
using LineWarning = std::function<void(std::uint64_t number, const std::string& what)>;

// Hands on every line of the file that holds the needle (every line when it is empty), from
// the file's start, reading a block at a time; a line the needle is not in is not looked at
// beyond the search. Returns 0 or the error number.
int ScanLines(os::ReadOnlyFile& file, std::string_view needle, const LineSink& onLine,
              const LineWarning& onWarning) {
    std::vector<char> buffer(kBlock + kMaxLineBytes + 1);
    char* const data = buffer.data();
    std::size_t carried = 0;   // a partial line from the last block, at the buffer's start
    bool skipping = false;     // inside a line too long to hold, up to its "\n"
    std::uint64_t number = 1;  // the number of the line at the buffer's start
    const NeedleSearch searcher(needle);
    const auto tooLong = [&](std::uint64_t at) {
        onWarning(at, "longer than " + std::to_string(kMaxLineBytes) + " bytes: refused");
    };
    // One whole line, its "\n" left out: refused when too long, else handed on.
    const auto line = [&](const char* begin, const char* end, std::uint64_t at) {
        if (static_cast<std::size_t>(end - begin) + 1 > kMaxLineBytes) {
            tooLong(at);
            return true;
        }
        return onLine(std::string_view(begin, end - begin), at);
    };
    for (;;) {
        std::size_t got = 0;
        if (const int cause = file.ReadSome(data + carried, kBlock, got)) {
            return cause;
        }
        if (got == 0) {
            if (carried > 0 && !skipping) {
                onWarning(number, "no line end (cut short, or still being written): skipped");
            }
            return 0;
        }
        const std::size_t total = carried + got;
        const char* const end = data + total;
        const char* cut = data + total;  // just after the block's last "\n"
        while (cut > data && cut[-1] != '\n') {
            --cut;
        }
        const char* at = data;
        if (cut > data && skipping) {
            at = static_cast<const char*>(std::memchr(data, '\n', cut - data)) + 1;
            ++number;
            skipping = false;
        }
        if (cut > data && needle.empty()) {
            while (at < cut) {
                const char* lineEnd = static_cast<const char*>(std::memchr(at, '\n', cut - at));
                if (!line(at, lineEnd, number++)) {
                    return 0;
                }
                at = lineEnd + 1;
            }
        } else if (cut > data) {
            const char* counted = at;  // lines counted up to here
            while (at < cut) {
                const char* hit = searcher.Find(at, cut);
                if (hit == cut) {
                    break;
                }
                const char* begin = hit;
                while (begin > at && begin[-1] != '\n') {
                    --begin;
                }
                const char* lineEnd = static_cast<const char*>(std::memchr(hit, '\n', cut - hit));
                number += CountNewlines(counted, begin);
                counted = begin;
                if (!line(begin, lineEnd, number)) {
                    return 0;
                }
                at = lineEnd + 1;
            }
            number += CountNewlines(counted, cut);
        }
        // The partial line after the last "\n" waits for the next block, unless too long.
        carried = static_cast<std::size_t>(end - cut);
        if (skipping) {
            carried = 0;
        } else if (carried > kMaxLineBytes) {
            tooLong(number);
            skipping = true;
            carried = 0;
        } else {
            std::memmove(data, cut, carried);
        }
    }
}

bool Passes(const Event& event, const Filter& filter) {
    return (filter.serial.empty() || event.serial == filter.serial) &&
           (filter.since.empty() || event.time >= filter.since) &&
           (filter.operation.empty() || event.operation == filter.operation);
}

// Reads one open file: each line that can pass the filter is parsed, each event that passes is
// given on, unless its number is not above `last`, the highest given from the files before
// (then read before, in a file a rotation renamed while the reading went on). Returns false
// when the sink stopped the reading.
bool ReadOpenFile(os::ReadOnlyFile& file, const std::string& path, const Filter& filter,
                  const EventSink& onEvent, const WarningSink& onWarning,
                  std::optional<std::uint64_t>& last, std::size_t& given) {
    const std::string needle =
        filter.serial.empty() ? std::string() : SerialMemberText(filter.serial);
    const std::optional<std::uint64_t> before = last;
    bool going = true;
    const auto warn = [&](std::uint64_t line, const std::string& what) {
        if (onWarning) {
            onWarning(path + ": line " + std::to_string(line) + ": " + what);
        }
    };
    const int cause = ScanLines(
        file, needle,
        [&](std::string_view line, std::uint64_t number) {
            EventReading reading = ParseJsonLine(line);
            if (!reading.event) {
                warn(number, reading.problem);
                return true;
            }
            const Event& event = *reading.event;
            if (!Passes(event, filter) || (before && event.sequence <= *before)) {
                return true;
            }
            last = std::max(last.value_or(0), event.sequence);
            ++given;
            going = !onEvent || onEvent(event);
            return going;
        },
        warn);
    if (cause != 0 && onWarning) {
        onWarning(path + ": cannot be read: " + std::generic_category().message(cause));
    }
    return going;
}

}  // namespace

std::vector<std::string> HistoryFiles(const std::string& folder) {
    std::vector<std::pair<unsigned long long, std::string>> rotated;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), done; !ec && it != done;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::size_t digits = name.size() > 14 ? name.size() - 14 : 0;  // "history." ".jsonl"
        if (digits == 0 || digits > 9 || name.compare(0, 8, "history.") != 0 ||
            name.compare(name.size() - 6, 6, ".jsonl") != 0) {
            continue;
        }
        const std::string number = name.substr(8, digits);
        if (number.find_first_not_of("0123456789") == std::string::npos && number[0] != '0') {
            rotated.emplace_back(std::stoull(number), os::JoinPath(folder, name));
        }
    }
    std::sort(rotated.begin(), rotated.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> files;
    for (auto& entry : rotated) {
        files.push_back(std::move(entry.second));
    }
    const std::string current = os::JoinPath(folder, kHistoryFileName);
    if (os::PathExists(current)) {
        files.push_back(current);
    }
    return files;
}

std::size_t ReadHistoryFile(const std::string& path, const Filter& filter, const EventSink& onEvent,
                            const WarningSink& onWarning) {
    os::ReadOnlyFile file;
    if (const int cause = file.Open(path)) {
        if (onWarning) {
            onWarning(path + ": cannot be opened: " + std::generic_category().message(cause));
        }
        return 0;
    }
    std::optional<std::uint64_t> last;
    std::size_t given = 0;
    ReadOpenFile(file, path, filter, onEvent, onWarning, last, given);
    return given;
}

std::size_t ReadHistory(const std::string& folder, const Filter& filter, const EventSink& onEvent,
                        const WarningSink& onWarning) {
    // Every file open before the first read: a rotation meanwhile renames them, the open files
    // read on.
    std::vector<std::pair<std::string, std::unique_ptr<os::ReadOnlyFile>>> files;
    for (std::string& path : HistoryFiles(folder)) {
        auto file = std::make_unique<os::ReadOnlyFile>();
        if (const int cause = file->Open(path)) {
            if (cause != ENOENT && onWarning) {  // gone meanwhile: removed by the size cap
                onWarning(path + ": cannot be opened: " + std::generic_category().message(cause));
            }
            continue;
        }
        files.emplace_back(std::move(path), std::move(file));
    }
    std::optional<std::uint64_t> last;
    std::size_t given = 0;
    for (auto& [path, file] : files) {
        if (!ReadOpenFile(*file, path, filter, onEvent, onWarning, last, given)) {
            break;
        }
    }
    return given;
}

HistoryReading ReadHistory(const std::string& folder, const Filter& filter) {
    HistoryReading reading;
    ReadHistory(
        folder, filter,
        [&reading](const Event& event) {
            reading.events.push_back(event);
            return true;
        },
        [&reading](const std::string& warning) { reading.warnings.push_back(warning); });
    return reading;
}

}  // namespace gwu::history

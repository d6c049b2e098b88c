// The update history's line parser and reader on any bytes. A line gives an event or a problem,
// and an event's own line reads back as the same event. The input written as a history file:
// the reader gives no more events and warnings than the file has lines, and reading by the first
// event's serial number gives exactly the events of that serial number that the whole reading gave.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/FuzzCheck.h"
#include "history/HistoryFile.h"
#include "history/HistoryReader.h"

namespace {

namespace fs = std::filesystem;
using namespace gwu::history;

// A folder of this process's own for the file, removed at the end.
struct Folder {
    Folder() {
        path = fs::temp_directory_path() /
               ("gwu-history-fuzz-" + std::to_string(std::random_device()()));
        fs::create_directories(path);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const EventReading reading = ParseJsonLine(input);
    GWU_FUZZ_CHECK(reading.event.has_value() == reading.problem.empty());
    if (reading.event) {
        const std::string line = ToJsonLine(*reading.event);
        GWU_FUZZ_CHECK(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1);
        const EventReading again = ParseJsonLine(line);
        GWU_FUZZ_CHECK(line.size() > kMaxLineBytes ||
                       (again.event && *again.event == *reading.event));
    }

    static Folder folder;
    std::ofstream(folder.path / kHistoryFileName, std::ios::binary | std::ios::trunc) << input;
    const HistoryReading all = ReadHistory(folder.path.string());
    std::size_t lines = 1;
    for (const char c : input) {
        lines += c == '\n' ? 1 : 0;
    }
    GWU_FUZZ_CHECK(all.events.size() + all.warnings.size() <= lines);
    // An empty serial in a filter means any serial: the first event's is a filter only when set.
    if (!all.events.empty() && !all.events[0].serial.empty()) {
        Filter filter;
        filter.serial = all.events[0].serial;
        const HistoryReading one = ReadHistory(folder.path.string(), filter);
        std::size_t expected = 0;
        for (const Event& event : all.events) {
            expected += event.serial == filter.serial ? 1 : 0;
        }
        for (const Event& event : one.events) {
            GWU_FUZZ_CHECK(event.serial == filter.serial);
        }
        // Lines that hold the serial number escaped otherwise than the writer writes it are
        // not found by it: all are only when every event's line is as the writer wrote it.
        bool asWritten = true;
        for (std::size_t at = 0; at < input.size() && asWritten;) {
            const std::size_t end = std::min(input.find('\n', at), input.size());
            const EventReading line = ParseJsonLine(input.substr(at, end - at));
            asWritten = !line.event || ToJsonLine(*line.event) == input.substr(at, end + 1 - at);
            at = end + 1;
        }
        GWU_FUZZ_CHECK(one.events.size() <= expected);
        GWU_FUZZ_CHECK(!asWritten || one.events.size() == expected);
    }
    return 0;
}

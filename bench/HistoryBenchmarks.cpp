// The update history against its floors: one event appended (floor: a durable append of the
// same bytes, open + write + fsync + close, to a file of its own beside it), and one device's
// events read among 1,000,000 lines (floor: reading the file in the reader's pieces and
// counting its lines with memchr).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "history/HistoryFile.h"
#include "history/HistoryReader.h"
#include "testsupport/TestFolders.h"

namespace gwu::bench {
namespace {

namespace fs = std::filesystem;

history::Event CheckEvent(const std::string& serial) {
    history::Event event;
    event.tester = "bench-3";
    event.tool = "gwctl 0.1.0";
    event.library = "0.1.0";
    event.operation = "check";
    event.card = "VCL";
    event.serial = serial;
    event.codeTypes = {{"LC", "R4.2.1", "R4.2.1", "R4.2.1", "Same", true},
                       {"PROM", "R2.0.3", "R2.0.3", "R2.0.4", "Older", true},
                       {"BS", "R1.4.0", "R1.4.0", "R1.4.0", "Same", true}};
    event.exitStatus = 1;
    return event;
}

void BM_HistoryAppend(benchmark::State& state) {
    test::TempDir folder;
    history::HistoryFile history(folder.Path().string());
    const std::string floorPath = (folder.Path() / "floor.jsonl").string();
    history::Event sample = CheckEvent("HX0000123");
    history.Append(sample);
    const std::string line = history::ToJsonLine(sample);
    auto job = [&] {
        history::Event event = CheckEvent("HX0000123");
        benchmark::DoNotOptimize(history.Append(event).recorded);
    };
    auto floor = [&] {
        const int fd = ::open(floorPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
        ::fsync(fd);
        ::close(fd);
    };
    RunAgainstFloor(state, job, floor);
    state.counters["line_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_HistoryAppend)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A history of that many lines, events of 10,000 devices in turn ("HX0000000" ...).
void WriteHistory(const fs::path& path, std::size_t lines) {
    history::Event event = CheckEvent("@SERIAL@");
    event.id = "0123456789abcdef0123456789abcdef";
    event.time = "2026-12-07T10:11:12Z";
    event.sequence = 1234567;
    const std::string sample = history::ToJsonLine(event);
    const std::size_t seq = sample.find("1234567"), serial = sample.find("@SERIAL@");
    std::ofstream out(path, std::ios::binary);
    std::string block;
    char text[32];
    for (std::size_t i = 0; i < lines; ++i) {
        block.append(sample, 0, seq);
        block += std::to_string(i + 1);
        block.append(sample, seq + 7, serial - seq - 7);
        std::snprintf(text, sizeof text, "HX%07zu", i % 10000);
        block += text;
        block.append(sample, serial + 8, std::string::npos);
        if (block.size() > (1u << 20)) {
            out << block;
            block.clear();
        }
    }
    out << block;
}

void BM_HistorySerialScan(benchmark::State& state) {
    test::TempDir folder;
    const std::size_t lines = Scaled(1000000, 10000);
    const fs::path path = folder.Path() / history::kHistoryFileName;
    WriteHistory(path, lines);
    history::Filter filter;
    filter.serial = "HX0000123";
    std::size_t found = 0;
    auto job = [&] {
        found = history::ReadHistory(folder.Path().string(), filter, {}, {});
        benchmark::DoNotOptimize(found);
    };
    std::vector<char> buffer(1u << 20);
    auto floor = [&] {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::size_t count = 0;
        for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
            const char* at = buffer.data();
            const char* end = at + got;
            while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
                ++count;
                ++at;
            }
        }
        ::close(fd);
        benchmark::DoNotOptimize(count);
    };
    RunAgainstFloor(state, job, floor);
    state.counters["lines"] = static_cast<double>(lines);
    state.counters["found"] = static_cast<double>(found);
    state.counters["file_MB"] = static_cast<double>(fs::file_size(path)) / 1e6;
}
BENCHMARK(BM_HistorySerialScan)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace gwu::bench

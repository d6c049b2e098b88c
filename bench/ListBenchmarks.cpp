// The two list files against their floors: reading and matching a deployed-unit list of
// 1,000,000 entries, with a 6-character key and with the empty key (floor: reading the file and
// counting its lines with memchr; also "peak_x_size", the peak memory the operation adds over
// the file's size); and the serial-number list of 100,000 devices, a new device appended (floor:
// reading the file once) and a known device with new releases rewritten (floor: reading the file
// and writing it back durably once).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/BenchSupport.h"
#include "devices/SerialNumList.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "repair/CDeployedUnitList.h"
#include "repair/CHLXSerialNumRepair.h"
#include "testsupport/TestFolders.h"

namespace gwu::bench {
namespace {

namespace fs = std::filesystem;

std::string DeployedList(size_t entries) {
    std::string content = "; deployed units\r\n[HLXSerialNumbers]\r\n";
    content.reserve(entries * 25 + 64);
    char line[64];
    for (size_t i = 0; i < entries; ++i) {
        std::snprintf(line, sizeof line, "HX%07zu,0050C2%06zX\r\n", i, i);
        content += line;
    }
    return content;
}

void BM_DeployedList(benchmark::State& state, bool withKey) {
    test::TestFolders folders;
    const size_t entries = Scaled(1000000, 1000);
    const fs::path file = folders.Runtime() / CDeployedUnitList::kFileName;
    {
        const std::string content = DeployedList(entries);
        std::ofstream(file, std::ios::binary) << content;
    }
    const size_t size = fs::file_size(file);
    // A 6-character key: the six surviving MAC characters of one unit (entry 123 here, so it
    // exists in the tiny list too), the rest of the address lost.
    char combined[12] = {};
    char partialSerial[16] = {};
    if (withKey) {
        char mac[16];
        std::snprintf(mac, sizeof mac, "0050C2%06X", 123u);
        std::memcpy(combined + 6, mac + 6, 6);
    }
    const std::string path = file.string();
    size_t matches = 0;
    auto job = [&]() {
        CDeployedUnitList list;
        list.Read(combined);
        matches = CHLXSerialNumRepair::PartialMatches(list, partialSerial, combined).size();
        benchmark::DoNotOptimize(matches);
    };
    auto floor = [&]() {
        unsigned char* buffer = nullptr;
        const long read = CIOUtilities::ReadFileContents(path.c_str(), &buffer);
        size_t lines = 0;
        const char* at = reinterpret_cast<const char*>(buffer);
        const char* end = at + read;
        while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
            ++lines;
            ++at;
        }
        std::free(buffer);
        benchmark::DoNotOptimize(lines);
    };
    RunAgainstFloor(state, job, floor);
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["matches"] = static_cast<double>(matches);
    state.counters["file_MB"] = static_cast<double>(size) / 1e6;
    state.counters["peak_x_size"] =
        static_cast<double>(PeakAddedBytes(job)) / static_cast<double>(size);
}
BENCHMARK_CAPTURE(BM_DeployedList, key6, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DeployedList, empty_key, false)->Unit(benchmark::kMillisecond)->UseRealTime();

// Serial-number list

void BM_SerialListAppend(benchmark::State& state) {
    test::TestFolders folders;
    const size_t devices = Scaled(100000, 1000);
    const fs::path list = folders.Logs() / kSerialNumListName;
    std::ofstream(list, std::ios::binary) << SerialList(devices);
    const auto size = static_cast<off_t>(fs::file_size(list));
    const std::string folder = folders.Logs().string();
    auto job = [&]() {
        StoreSerialNumRecord(folder, {"NEW0000001", "R4.2.1", "R2.0.3", "R1.4.0"});
        // Back to the original list for the next round (part of the timing, but tiny).
        ::truncate(list.c_str(), size);
    };
    auto floor = [&]() { benchmark::DoNotOptimize(test::TestFolders::ReadFile(list)); };
    RunAgainstFloor(state, job, floor);
    state.counters["list_MB"] = static_cast<double>(size) / 1e6;
}
BENCHMARK(BM_SerialListAppend)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SerialListRewrite(benchmark::State& state) {
    test::TestFolders folders;
    const size_t devices = Scaled(100000, 1000);
    const fs::path list = folders.Logs() / kSerialNumListName;
    std::ofstream(list, std::ios::binary) << SerialList(devices);
    const std::string folder = folders.Logs().string();
    const std::string known = "HX0000500";
    bool flip = false;
    auto job = [&]() {
        // New releases every round, so the line really changes and the list is rewritten.
        flip = !flip;
        StoreSerialNumRecord(folder, {known, flip ? "R4.2.2" : "R4.2.1", "R2.0.3", "R1.4.0"});
    };
    const fs::path copy = folders.Logs() / "floor.tmp";
    auto floor = [&]() {
        const std::string content = test::TestFolders::ReadFile(list);
        os::WriteNewFileDurably(copy.string(), content);
        os::RenameReplace(copy.string(), (folders.Logs() / "floor.txt").string());
    };
    auto floorNoSync = [&]() {
        const std::string content = test::TestFolders::ReadFile(list);
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << content;
    };
    state.counters["floor_nosync_us"] = MedianSeconds(floorNoSync) * 1e6;
    RunAgainstFloor(state, job, floor);
    state.counters["list_MB"] = static_cast<double>(fs::file_size(list)) / 1e6;
}
BENCHMARK(BM_SerialListRewrite)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace gwu::bench

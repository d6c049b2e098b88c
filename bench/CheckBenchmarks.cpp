// A whole check of a communication module against the emulated gateway, with a 1,000-device
// serial-number list: over loopback TCP against the floor of the same number of bare request
// round trips on the same connection, and in process, as time per check and the list file's
// share of it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "devices/SerialNumList.h"
#include "gateway/CGatewayChecks.h"
#include "host/MemoryValueStore.h"
#include "testsupport/EmulatedDevice.h"
#include "testsupport/ScriptedComms.h"
#include "testsupport/TestFolders.h"

namespace gwu::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The sample firmware and a list that holds the checked device with its releases, as after an
// earlier check; the matching sample device behind the connection.
struct CheckBench {
    explicit CheckBench(bool tcp)
        : device(test::TestFolders::ReadFile(test::SampleScenarioPath("matching")), tcp,
                 folders.Firmware().string()) {
        folders.CopySampleFirmware();
        std::ofstream(folders.Logs() / kSerialNumListName, std::ios::binary)
            << SerialList(Scaled(1000, 100)) << "HX100307,R4.2.1,R2.0.3,R1.4.0\r\n";
    }
    test::TestFolders folders;
    test::EmulatedDevice device;
    host::Frame frame;
};

void BM_CheckTcp(benchmark::State& state) {
    CheckBench bench(true);
    CBaseComms& tcp = bench.device.Comms();
    // One check's exchanges with the device (connect, requests, disconnect), counted by a
    // recording pass-through on a connection already open.
    test::ScriptedComms counting;
    counting.ForwardTo(&tcp);
    CGatewayChecks counted(&bench.frame, &counting);
    counted.SetCardName("VCL");
    counted.CheckForUpdates(true);
    counting.ClearRecords();
    counted.CheckForUpdates(true);
    const int exchanges = static_cast<int>(counting.Calls().size());

    CGatewayChecks checks(&bench.frame, &tcp);
    checks.SetCardName("VCL");
    auto job = [&]() { benchmark::DoNotOptimize(checks.CheckForUpdates(true)); };
    auto floor = [&]() {
        for (int i = 0; i < exchanges; ++i) {
            char buffer[128];
            int length = sizeof buffer;
            int error = 0;
            CSubStream command;
            VSI_GetSerialNumber(command, 0x00000200, &length, buffer, 0, &error);
            tcp.ExecuteSubCommand(command, 10000, 0);
        }
    };
    RunAgainstFloor(state, job, floor);
    state.counters["round_trips"] = exchanges;
}
BENCHMARK(BM_CheckTcp)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_CheckInProcess(benchmark::State& state) {
    CheckBench bench(false);
    CGatewayChecks checks(&bench.frame, &bench.device.Comms());
    checks.SetCardName("VCL");
    checks.CheckForUpdates(true);
    const std::string folder = bench.folders.Logs().string();
    const double listSeconds = MedianSeconds([&]() {
        StoreSerialNumRecord(folder, {"HX100307", "R4.2.1", "R2.0.3", "R1.4.0"});
    });
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(checks.CheckForUpdates(true));
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    const double median = times[times.size() / 2];
    state.counters["median_us"] = median * 1e6;
    state.counters["list_file_us"] = listSeconds * 1e6;
    state.counters["list_share"] = listSeconds / median;
}
BENCHMARK(BM_CheckInProcess)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace gwu::bench

// Release identifiers against strcmp of the same strings: CompareGatewayReleaseID's comparison
// and both families' TrimReleaseId.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/BenchSupport.h"
#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "gateway/ReleaseCompare.h"
#include "host/MemoryValueStore.h"

namespace gwu::bench {
namespace {

// Ratio of a call to strcmp of the same two strings, both timed in batches of calls with the
// call inlined into the batch's loop.
template <typename Call>
void RunAgainstStrcmp(benchmark::State& state, const char* a, const char* b, Call call) {
    constexpr int kBatch = 1000;
    const std::string left = a;
    const std::string right = b;
    auto floor = [&]() {
        for (int i = 0; i < kBatch; ++i) {
            const char* x = left.c_str();
            const char* y = right.c_str();
            benchmark::DoNotOptimize(x);
            benchmark::DoNotOptimize(y);
            benchmark::DoNotOptimize(std::strcmp(x, y));
        }
    };
    auto batch = [&]() {
        for (int i = 0; i < kBatch; ++i) {
            call();
        }
    };
    RunAgainstFloor(state, batch, floor);
    state.counters["ns_per_call"] = state.counters["median_us"].value * 1000.0 / kBatch;
}

void BM_CompareReleaseIds(benchmark::State& state) {
    std::string device = "ER12.3.4";
    std::string disk = "R12.3.5";
    RunAgainstStrcmp(state, device.c_str(), disk.c_str(), [&]() {
        benchmark::DoNotOptimize(device);
        benchmark::DoNotOptimize(CompareReleaseIds(device, disk));
    });
}
BENCHMARK(BM_CompareReleaseIds)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TrimReleaseIdHLX(benchmark::State& state) {
    host::Frame frame;
    CHLXUtils hlx(nullptr, &frame);
    const CString release = "KLEM_12345_R0.6.2";
    CString trimmed;
    RunAgainstStrcmp(state, release.c_str(), "R0.6.2",
                     [&]() { benchmark::DoNotOptimize(hlx.TrimReleaseId(release, trimmed)); });
}
BENCHMARK(BM_TrimReleaseIdHLX)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TrimReleaseIdQPT(benchmark::State& state) {
    host::Frame frame;
    CQPTUtils qpt(nullptr, &frame);
    const CString release = "QPT Loaded Code Release 3.2.0";
    CString trimmed;
    RunAgainstStrcmp(state, release.c_str(), "R3.2.0",
                     [&]() { benchmark::DoNotOptimize(qpt.TrimReleaseId(release, trimmed)); });
}
BENCHMARK(BM_TrimReleaseIdQPT)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace gwu::bench

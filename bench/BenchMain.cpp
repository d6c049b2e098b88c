// The benchmarks' program: Google Benchmark's own main, with the library's trace lines silenced,
// and exit status 1 when a benchmark failed (Fail).
#include <benchmark/benchmark.h>

#include <string>

#include "bench/BenchSupport.h"
#include "host/LineSinks.h"

int main(int argc, char** argv) {
    // The library's trace lines would drown the report.
    gwu::host::SetMonitorSink([](const std::string&) {});
    gwu::host::SetErrorSink([](const std::string&) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return gwu::bench::AnyFailed() ? 1 : 0;
}

#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace gwu::bench {

namespace {

using Clock = std::chrono::steady_clock;

bool g_failed = false;

}  // namespace

void Fail(benchmark::State& state, const std::string& why) {
    state.SkipWithError(why.c_str());
    g_failed = true;
}

bool AnyFailed() {
    return g_failed;
}

bool Tiny() {
    const char* tiny = std::getenv("GWU_BENCH_TINY");
    return tiny != nullptr && std::strcmp(tiny, "0") != 0;
}

size_t Scaled(size_t full, size_t tiny) {
    return Tiny() ? tiny : full;
}

double MedianSeconds(const std::function<void()>& job) {
    std::vector<double> times;
    const auto until = Clock::now() + std::chrono::milliseconds(Tiny() ? 5 : 300);
    while (times.size() < 5 || (Clock::now() < until && times.size() < 100000)) {
        const auto start = Clock::now();
        job();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

void RunAgainstFloor(benchmark::State& state, const std::function<void()>& job,
                     const std::function<void()>& floor) {
    const double floorSeconds = MedianSeconds(floor);
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = Clock::now();
        job();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    const double median = times[times.size() / 2];
    state.counters["floor_us"] = floorSeconds * 1e6;
    state.counters["median_us"] = median * 1e6;
    state.counters["ratio"] = median / floorSeconds;
}

void RunAgainstFloor(benchmark::State& state, const std::function<void()>& job,
                     const std::function<void()>& floor, const std::function<void()>& setup) {
    const auto timed = [](const std::function<void()>& work) {
        const auto start = Clock::now();
        work();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    std::vector<double> floors, times;
    for (auto _ : state) {
        state.PauseTiming();
        setup();
        floors.push_back(timed(floor));
        setup();
        state.ResumeTiming();
        times.push_back(timed(job));
    }
    if (times.empty()) {
        return;
    }
    const auto median = [](std::vector<double>& values) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    state.counters["floor_us"] = median(floors) * 1e6;
    state.counters["median_us"] = median(times) * 1e6;
    state.counters["ratio"] = state.counters["median_us"] / state.counters["floor_us"];
}

long PeakAddedBytes(const std::function<void()>& job) {
    auto highWater = []() {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::atol(line.c_str() + 6) * 1024L;
            }
        }
        return 0L;
    };
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        // Give back what the parent freed, then restart the high-water mark from here.
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = highWater();
        job();
        const long added = highWater() - before;
        const ssize_t written = ::write(pipeFds[1], &added, sizeof added);
        ::_exit(written == sizeof added ? 0 : 1);
    }
    ::close(pipeFds[1]);
    long added = -1;
    if (::read(pipeFds[0], &added, sizeof added) != sizeof added) {
        added = -1;
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return added;
}

std::string SerialList(std::size_t devices) {
    std::string content;
    content.reserve(devices * 40);
    char line[96];
    for (size_t i = 0; i < devices; ++i) {
        std::snprintf(line, sizeof line, "HX%07zu,R4.2.1,R2.0.3,R1.4.0\r\n", i);
        content += line;
    }
    return content;
}

}  // namespace gwu::bench

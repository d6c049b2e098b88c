// Benchmarks of the library's own work against the physical floor of the same job, measured in
// the same run: each reports "ratio" = time of the library's operation / time of the floor.
//
//   deployed list  reading and matching a deployed-unit list of 1,000,000 entries, with a
//                  6-character key and with the empty key; floor: reading the file and counting
//                  its lines with memchr. Also "peak_x_size": the peak memory the operation adds,
//                  over the file's size.
//   serial list    StoreHLXSerialNumToFile's work on a list of 100,000 devices: a new device
//                  (floor: reading the file once) and a known device with new releases (floor:
//                  reading the file and writing it back durably once).
//   check tcp      CheckForUpdates(true) of a communication module over loopback TCP against the
//                  emulator with a 1,000-device list; floor: the same number of bare request
//                  round trips on the same connection.
//   check inproc   CheckForUpdates(true) against the in-process emulator: time per check and the
//                  list file's share of it.
//   compare, trim  CompareGatewayReleaseID's comparison and both families' TrimReleaseId;
//                  floor: strcmp of the same strings.
//
// GWU_BENCH_TINY=1 shrinks every input so that a CI run finishes in seconds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "connections/EmulatorConnection.h"
#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "devices/SerialNumList.h"
#include "emulator/Gateway.h"
#include "emulator/TcpServer.h"
#include "gateway/CGatewayChecks.h"
#include "gateway/ReleaseCompare.h"
#include "host/Folders.h"
#include "host/LineSinks.h"
#include "host/MemoryValueStore.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "repair/CDeployedUnitList.h"
#include "repair/CHLXSerialNumRepair.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

bool Tiny() {
    const char* tiny = std::getenv("GWU_BENCH_TINY");
    return tiny != nullptr && std::strcmp(tiny, "0") != 0;
}

size_t Scaled(size_t full, size_t tiny) {
    return Tiny() ? tiny : full;
}

// The median time of a job in seconds, over a few runs (more when it is quick).
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

// Runs the benchmark loop over the job, timing every iteration, and reports the ratio of the
// median iteration to the floor's median.
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

// The peak memory a job adds, in bytes: run in a child process, from its high-water mark
// (reset at the start, so only the job's own peak counts).
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

// A scratch folder named by the environment for the stand-in host's folders.
class Workspace {
public:
    Workspace() {
        std::string pattern = (fs::temp_directory_path() / "gwubench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        m_root = pattern;
        for (const char* sub : {"firmware", "runtime", "logs"}) {
            fs::create_directories(m_root / sub);
        }
        fs::copy(fs::path(GWU_SAMPLE_DIR) / "firmware", m_root / "firmware",
                 fs::copy_options::overwrite_existing);
        setenv(gwu::host::kFirmwareDirVariable, (m_root / "firmware").c_str(), 1);
        setenv(gwu::host::kRuntimeDirVariable, (m_root / "runtime").c_str(), 1);
        setenv(gwu::host::kLogDirVariable, (m_root / "logs").c_str(), 1);
    }
    ~Workspace() {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    fs::path Runtime() const { return m_root / "runtime"; }
    fs::path Logs() const { return m_root / "logs"; }

private:
    fs::path m_root;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------------------------
// Deployed-unit list

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
    Workspace workspace;
    const size_t entries = Scaled(1000000, 1000);
    const fs::path file = workspace.Runtime() / gwu::CDeployedUnitList::kFileName;
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
        gwu::CDeployedUnitList list;
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

// ---------------------------------------------------------------------------------------------
// Serial-number list

std::string SerialList(size_t devices) {
    std::string content;
    content.reserve(devices * 40);
    char line[96];
    for (size_t i = 0; i < devices; ++i) {
        std::snprintf(line, sizeof line, "HX%07zu,R4.2.1,R2.0.3,R1.4.0\r\n", i);
        content += line;
    }
    return content;
}

void BM_SerialListAppend(benchmark::State& state) {
    Workspace workspace;
    const size_t devices = Scaled(100000, 1000);
    const fs::path list = workspace.Logs() / gwu::kSerialNumListName;
    std::ofstream(list, std::ios::binary) << SerialList(devices);
    const auto size = static_cast<off_t>(fs::file_size(list));
    const std::string folder = workspace.Logs().string();
    auto job = [&]() {
        gwu::StoreSerialNumRecord(folder, {"NEW0000001", "R4.2.1", "R2.0.3", "R1.4.0"});
        // Back to the original list for the next round (part of the timing, but tiny).
        ::truncate(list.c_str(), size);
    };
    auto floor = [&]() { benchmark::DoNotOptimize(ReadAll(list)); };
    RunAgainstFloor(state, job, floor);
    state.counters["list_MB"] = static_cast<double>(size) / 1e6;
}
BENCHMARK(BM_SerialListAppend)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SerialListRewrite(benchmark::State& state) {
    Workspace workspace;
    const size_t devices = Scaled(100000, 1000);
    const fs::path list = workspace.Logs() / gwu::kSerialNumListName;
    std::ofstream(list, std::ios::binary) << SerialList(devices);
    const std::string folder = workspace.Logs().string();
    const std::string known = "HX0000500";
    bool flip = false;
    auto job = [&]() {
        // New releases every round, so the line really changes and the list is rewritten.
        flip = !flip;
        gwu::StoreSerialNumRecord(folder, {known, flip ? "R4.2.2" : "R4.2.1", "R2.0.3", "R1.4.0"});
    };
    const fs::path copy = workspace.Logs() / "floor.tmp";
    auto floor = [&]() {
        const std::string content = ReadAll(list);
        gwu::os::WriteNewFileDurably(copy.string(), content);
        gwu::os::RenameReplace(copy.string(), (workspace.Logs() / "floor.txt").string());
    };
    auto floorNoSync = [&]() {
        const std::string content = ReadAll(list);
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << content;
    };
    state.counters["floor_nosync_us"] = MedianSeconds(floorNoSync) * 1e6;
    RunAgainstFloor(state, job, floor);
    state.counters["list_MB"] = static_cast<double>(fs::file_size(list)) / 1e6;
}
BENCHMARK(BM_SerialListRewrite)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// A whole check

// Counts what a connection is asked to do, passing everything on.
class CountingComms : public CBaseComms {
public:
    explicit CountingComms(CBaseComms& inner) : m_inner(inner) {}
    bool Disconnect() override {
        ++exchanges;
        return m_inner.Disconnect();
    }
    bool SelectCard(const char* name) override { return m_inner.SelectCard(name); }
    int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) override {
        ++exchanges;
        return m_inner.ExecuteSubCommand(subStream, timeoutMs, reserved);
    }
    bool Connect() override {
        ++exchanges;
        return m_inner.Connect();
    }
    int exchanges = 0;

private:
    CBaseComms& m_inner;
};

std::unique_ptr<gwu::emu::Gateway> MatchingGateway() {
    return gwu::emu::Gateway::FromScenarioFile(
        (fs::path(GWU_SAMPLE_DIR) / "scenarios" / "matching.json").string(),
        gwu::host::FirmwareFolder());
}

void WriteListWithDevice(const Workspace& workspace, size_t devices) {
    // The checked device is on the list with its releases, as after an earlier check.
    std::ofstream(workspace.Logs() / gwu::kSerialNumListName, std::ios::binary)
        << SerialList(devices) << "HX100307,R4.2.1,R2.0.3,R1.4.0\r\n";
}

void BM_CheckTcp(benchmark::State& state) {
    Workspace workspace;
    WriteListWithDevice(workspace, Scaled(1000, 100));
    auto gateway = MatchingGateway();
    gwu::emu::TcpServer server(*gateway, "127.0.0.1", 0);
    gwu::host::TcpConnection tcp("127.0.0.1", server.Port());
    CountingComms comms(tcp);
    gwu::host::Frame frame;
    CGatewayChecks checks(&frame, &comms);
    checks.SetCardName("VCL");
    checks.CheckForUpdates(true);  // opens the connection; counts one check's exchanges
    comms.exchanges = 0;
    checks.CheckForUpdates(true);
    const int exchanges = comms.exchanges;
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
    Workspace workspace;
    WriteListWithDevice(workspace, Scaled(1000, 100));
    auto gateway = MatchingGateway();
    gwu::host::EmulatorConnection comms(*gateway);
    gwu::host::Frame frame;
    CGatewayChecks checks(&frame, &comms);
    checks.SetCardName("VCL");
    checks.CheckForUpdates(true);
    const std::string folder = workspace.Logs().string();
    const double listSeconds = MedianSeconds([&]() {
        gwu::StoreSerialNumRecord(folder, {"HX100307", "R4.2.1", "R2.0.3", "R1.4.0"});
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

// ---------------------------------------------------------------------------------------------
// Release identifiers

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
        benchmark::DoNotOptimize(gwu::CompareReleaseIds(device, disk));
    });
}
BENCHMARK(BM_CompareReleaseIds)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TrimReleaseIdHLX(benchmark::State& state) {
    gwu::host::Frame frame;
    CHLXUtils hlx(nullptr, &frame);
    const CString release = "KLEM_12345_R0.6.2";
    CString trimmed;
    RunAgainstStrcmp(state, release.c_str(), "R0.6.2",
                     [&]() { benchmark::DoNotOptimize(hlx.TrimReleaseId(release, trimmed)); });
}
BENCHMARK(BM_TrimReleaseIdHLX)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TrimReleaseIdQPT(benchmark::State& state) {
    gwu::host::Frame frame;
    CQPTUtils qpt(nullptr, &frame);
    const CString release = "QPT Loaded Code Release 3.2.0";
    CString trimmed;
    RunAgainstStrcmp(state, release.c_str(), "R3.2.0",
                     [&]() { benchmark::DoNotOptimize(qpt.TrimReleaseId(release, trimmed)); });
}
BENCHMARK(BM_TrimReleaseIdQPT)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

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
    return 0;
}

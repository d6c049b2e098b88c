// Recorded sessions end to end: gwctl against gwemu through gwemu's recording proxy, then the
// trace replayed to the same command by gwemu --replay and in process (--device replay:TRACE).
// gwctl's JSON and the serial-number list hold no time (its status line, the one thing that
// does, is never drawn with --json), so a replay must give them byte for byte.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "emulator/trace/Trace.h"
#include "tests/endtoend/CliFixture.h"
#include "tests/endtoend/Programs.h"

namespace {

using namespace gwu::test::cli;  // NOLINT(google-build-using-namespace): the end-to-end helpers
using gwu::host::EmulatorProcess;

class RecordReplayTest : public gwu::test::FolderFixture {
protected:
    struct Run {  // what a gwctl run left, and how long it took
        int code = -1;
        std::string out, err, list;  // stdout, stderr, the serial-number list
        std::chrono::steady_clock::duration took{};
    };

    std::string TracePath(const std::string& name) const {
        return (Root() / (name + ".jsonl")).string();
    }
    // The folders of the run NAME: a fresh copy of the sample firmware and an empty log folder.
    fs::path Folders(const std::string& name) const {
        const fs::path folder = Root() / name;
        if (!fs::exists(folder)) {
            fs::create_directories(folder / "logs");
            fs::copy(kSamples / "firmware", folder / "firmware", fs::copy_options::recursive);
        }
        return folder;
    }
    // gwemu with the options, listening; its output in Root()/NAME.out and .err.
    std::unique_ptr<EmulatorProcess> Gwemu(std::vector<std::string> options,
                                           const std::string& name) const {
        options.insert(options.begin(), gwu::test::kGwemuProgram);
        auto gwemu = std::make_unique<EmulatorProcess>(options, (Root() / name).string(), kWaitMs,
                                                       m_environment);
        EXPECT_TRUE(gwemu->Listening()) << gwemu->Error();
        return gwemu;
    }
    std::unique_ptr<Child> StartGwctl(const std::string& name, const std::string& device,
                                      std::vector<std::string> arguments) const {
        const fs::path folder = Folders(name);
        arguments.insert(arguments.begin(), gwu::test::kGwctlProgram);
        arguments.insert(
            arguments.end(),
            {"--json", "--device", device, "--firmware", (folder / "firmware").string(), "--logs",
             (folder / "logs").string(), "--runtime", (kSamples / "runtime").string()});
        return std::make_unique<Child>(arguments, (folder / "gwctl").string(), m_environment);
    }
    Run Gwctl(const std::string& name, const std::string& device,
              const std::vector<std::string>& arguments) const {
        const auto start = std::chrono::steady_clock::now();
        const int code = StartGwctl(name, device, arguments)->Wait(kWaitMs);
        const fs::path folder = Root() / name;
        return {code, ReadFile(folder / "gwctl.out"), ReadFile(folder / "gwctl.err"),
                ReadFile(folder / "logs" / "HLX_Serial_Nums.txt"),
                std::chrono::steady_clock::now() - start};
    }
    // Waits until the trace file has at least the number of lines; returns how many it has.
    size_t AwaitLines(const std::string& name, size_t lines) const {
        for (int waited = 0;; waited += 5) {
            const std::string text = ReadFile(TracePath(name));
            const auto count = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
            if (count >= lines || waited >= kWaitMs) {
                return count;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // gwemu serving the scenario on the run's firmware folder, and a proxy recording into
    // TracePath(name).
    std::pair<std::unique_ptr<EmulatorProcess>, std::unique_ptr<EmulatorProcess>> Recorder(
        const std::string& scenario, const std::string& name) const {
        auto device =
            Gwemu({"--scenario", scenario, "--firmware", (Folders(name) / "firmware").string()},
                  name + "-gwemu");
        auto proxy =
            Gwemu({"--record", TracePath(name), "--upstream", device->Device()}, name + "-proxy");
        return {std::move(device), std::move(proxy)};
    }
    // The trace of the run NAME replayed to gwctl by gwemu --replay and in process; the first
    // run's stderr is gwemu's, where its refusals go.
    std::vector<Run> Replays(const std::string& name,
                             const std::vector<std::string>& arguments) const {
        const auto gwemu = Gwemu({"--replay", TracePath(name)}, name + "-replay");
        Run overTcp = Gwctl(name + "-tcp", gwemu->Device(), arguments);
        overTcp.err = ReadFile(Root() / (name + "-replay.err"));
        return {overTcp, Gwctl(name + "-inprocess", "replay:" + TracePath(name), arguments)};
    }
    // Each replayed run left what the recorded one did.
    static void ExpectSame(const std::vector<Run>& replays, const Run& recorded) {
        for (const Run& replayed : replays) {
            EXPECT_EQ(replayed.code, recorded.code);
            EXPECT_EQ(replayed.out, recorded.out);
            EXPECT_EQ(replayed.list, recorded.list);
            // gwctl's own warnings (an unverified firmware folder, a device without a serial
            // number is not recorded) aside, stderr holds only the replay's refusals.
            std::string err = replayed.err;
            while (err.rfind("gwctl: warning: ", 0) == 0) {
                err.erase(0, err.find('\n') + 1);
            }
            EXPECT_EQ(err, "") << "the replay refused a message";
        }
    }

    std::vector<std::string> m_environment;  // of every program started
};

// check and update of a device behind the release level, each recorded and replayed. The proxy
// changes nothing: the recorded runs print what the same command prints in process.
TEST_F(RecordReplayTest, RecordedCheckAndUpdateReplayByteForByte) {
    const std::string behind = Scenario("behind");
    // Command, exit code, serial-number list: the check lists what it read, the update what
    // the device ends with.
    using Case = std::tuple<const char*, int, const char*>;
    for (const auto& [command, code, list] :
         {Case{"check", 1, "HX100307,R4.2.1,R1.9.8,R1.2.0\r\n"},
          Case{"update", 0, "HX100307,R4.2.1,R2.0.3,R1.4.0\r\n"}}) {
        SCOPED_TRACE(command);
        const Run recorded = Gwctl(command, Recorder(behind, command).second->Device(), {command});
        EXPECT_EQ(recorded.code, code) << recorded.err;
        EXPECT_EQ(recorded.list, list);
        const Run direct = Gwctl(std::string(command) + "-direct", "emu:" + behind, {command});
        EXPECT_EQ(recorded.out, direct.out);
        ExpectSame(Replays(command, {command}), recorded);
    }
    // The check's trace replayed to another command is refused at the first message that
    // differs, by position and field, and gwctl reports the device as not read: a check of
    // another card, and the same check against a trace whose first read has one data byte more.
    std::string text = ReadFile(TracePath("check"));
    const size_t data = text.find("\"data\":\"", text.find("{\"n\":3,")) + 8;
    const size_t end = text.find('"', data);
    const size_t bytes = (end - data) / 2;
    WriteFile(TracePath("longer"), text.insert(end, "00"));
    using Refusal = std::tuple<const char*, std::vector<std::string>, std::string, std::string>;
    for (const auto& [trace, arguments, start, difference] :
         {Refusal{"check",
                  {"check", "--card", "QPT"},
                  "exchange 1: expected select card \"VCL\", received select card \"QPT\"",
                  "; first difference: card: \"VCL\" against \"QPT\""},
          Refusal{"longer",
                  {"check"},
                  "exchange 3: expected execute ",
                  "; first difference: data: " + std::to_string(bytes + 1) + " bytes against " +
                      std::to_string(bytes)}}) {
        const std::vector<Run> replays = Replays(trace, arguments);
        for (size_t i = 0; i < replays.size(); ++i) {
            EXPECT_EQ(replays[i].code, 2);
            const std::string prefix = i == 0 ? "gwemu replay: " : "replay: ";
            EXPECT_EQ(replays[i].err.rfind(prefix + start, 0), 0u) << replays[i].err;
            EXPECT_NE(replays[i].err.find(difference), std::string::npos) << replays[i].err;
        }
    }
}

// A timeout, an error reply and a dropped connection, all met by one check (the repair of a lost
// serial number goes on after a failed read), are recorded as such and replayed as they came,
// and the scenario made from the trace plays them again.
TEST_F(RecordReplayTest, FaultsAreRecordedAndReplayed) {
    m_environment = {"GWU_TIMEOUT_SCALE=0.05"};  // 10 s become 500 ms
    const std::string path = WriteScenario(Root() / "faults.json", Scenario("unknown-serial"),
                                           json::parse(R"({"faults": [
        {"card": "VCL", "request": "0x00000200", "kind": "error", "error": 9},
        {"card": "VCL", "request": "0x80000000", "nth": 2, "kind": "timeout"},
        {"card": "VCL", "request": "0x00020000", "kind": "disconnect"}]})"));
    const Run recorded = Gwctl("faults", Recorder(path, "faults").second->Device(), {"check"});
    const std::string trace = ReadFile(TracePath("faults"));
    for (const char* fault : {R"("error":9,)", R"("result":"timeout")", R"("result":"dropped")"}) {
        EXPECT_NE(trace.find(fault), std::string::npos) << fault;
    }
    const std::vector<Run> replays = Replays("faults", {"check"});
    ExpectSame(replays, recorded);
    // Over TCP the recorded timeout is waited out, not answered or dropped.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(replays[0].took).count(), 500);

    // The scenario made from the trace, faults and all, gives the check what it recorded.
    const std::string made = (Root() / "made").string();
    EXPECT_EQ(Child({gwu::test::kGwemuProgram, "--scenario-from", TracePath("faults")}, made)
                  .Wait(kWaitMs),
              0);
    ExpectSame({Gwctl("faults-scenario", "emu:" + made + ".out", {"check"})}, recorded);

    // A gateway silent on a card selection (here a replay of one) is waited for as long as the
    // client waits, its 10 s scaled like the client's, and recorded as a timeout.
    WriteFile(TracePath("silent"),
              R"({"format":"gwemu-trace","version":1,"tool":"","upstream":"","recorded":""}
{"n":1,"message":"select","card":"VCL","result":"timeout","elapsed_ms":10000}
)");
    const auto upstream = Gwemu({"--replay", TracePath("silent")}, "silent-gwemu");
    const auto proxy =
        Gwemu({"--record", TracePath("proxied"), "--upstream", upstream->Device()}, "proxy");
    EXPECT_EQ(Gwctl("proxied", proxy->Device(), {"check"}).code, 2);
    ASSERT_GE(AwaitLines("proxied", 2), 2u);
    const gwu::emu::TraceExchange first =
        gwu::emu::LoadTraceFile(TracePath("proxied")).exchanges[0];
    EXPECT_EQ(first.result, gwu::emu::TraceResult::Timeout);
    EXPECT_LT(first.elapsedMs, 5000u);
}

// A proxy that dies in the middle of a session leaves a trace that loads, and a replay answers
// every exchange in it (a check, then the update as far as it came) and refuses the next one.
TEST_F(RecordReplayTest, TraceOfAProxyKilledMidSessionReplaysToItsEnd) {
    // The update lasts seconds: the proxy goes in its middle.
    const std::string path =
        WriteScenario(Root() / "slow.json", Scenario("behind"), {{"latency_ms", 100}});
    auto [device, proxy] = Recorder(path, "killed");
    const Run check = Gwctl("killed", proxy->Device(), {"check"});
    const size_t checkLines = AwaitLines("killed", 0);
    const auto update = StartGwctl("killed", proxy->Device(), {"update"});
    AwaitLines("killed", checkLines + 5);
    EXPECT_EQ(proxy->Kill(), 128 + 9);  // as a crash ends it, with no chance to finish a line
    update->Wait(kWaitMs);

    const size_t recorded = gwu::emu::LoadTraceFile(TracePath("killed")).exchanges.size();
    ASSERT_GE(recorded, checkLines + 4);
    const auto replay = Gwemu({"--replay", TracePath("killed")}, "killed-replay");
    ExpectSame({Gwctl("replayed-check", replay->Device(), {"check"})}, check);
    Gwctl("replayed-update", replay->Device(), {"update"});
    const std::string refusals = ReadFile(Root() / "killed-replay.err");
    const std::string end = "gwemu replay: exchange " + std::to_string(recorded + 1) +
                            ": the trace ends after " + std::to_string(recorded) + " exchanges; ";
    EXPECT_EQ(refusals.rfind(end, 0), 0u) << refusals;
}

}  // namespace

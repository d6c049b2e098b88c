// gwemu as a program: clients that say nothing keep nobody else out, an address off loopback is
// warned of, files it cannot use are refused at once, and a replay keeps the recorded time only
// when asked.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/endtoend/CliFixture.h"
#include "tests/endtoend/Programs.h"
#include "wire/FrameClient.h"
#include "wire/Protocol.h"
#include "wire/Socket.h"

namespace {

using namespace gwu::test::cli;  // NOLINT(google-build-using-namespace): the end-to-end helpers
namespace wire = gwu::wire;
using gwu::host::EmulatorProcess;
using Clock = std::chrono::steady_clock;

class EmulatorServeTest : public CliTest {
protected:
    std::string Stem(const std::string& name) const { return (Root() / name).string(); }
    static std::uint16_t PortOf(const EmulatorProcess& gwemu) {
        return static_cast<std::uint16_t>(std::stoi(gwemu.Device().substr(16)));  // tcp://IPv4:
    }
};

// A client that connects and says nothing, and one that stops in the middle of a frame, keep
// nobody else out: gwctl's check is served while both stay connected, and a stop still ends
// gwemu at once.
TEST_F(EmulatorServeTest, SilentClientsKeepNobodyOut) {
    const auto gwemu = Serve(Scenario("matching"));
    ASSERT_TRUE(gwemu->Listening()) << gwemu->Error();
    const wire::net::Socket silent = wire::net::Connect("127.0.0.1", PortOf(*gwemu));
    const wire::net::Socket halfway = wire::net::Connect("127.0.0.1", PortOf(*gwemu));
    const std::string frame = wire::EncodeClientMessage({wire::MessageKind::SelectCard, "VCL", {}});
    ASSERT_EQ(wire::net::Send(halfway, frame.data(), 6), 6);
    // The check's waits of 10 s become 1 s: kept out, it would fail within seconds.
    m_environment = {"GWU_TIMEOUT_SCALE=0.1"};
    const Result check = Run({"check", "--device", gwemu->Device()});
    EXPECT_EQ(check.code, 0) << check.err;
    EXPECT_NE(gwemu->Stop(5000), -1);
    EXPECT_EQ(ReadFile(Stem("gwemu") + ".err").find("not on loopback"), std::string::npos);
}

// (Listening on loopback, as in the test above, is not warned of.)
TEST_F(EmulatorServeTest, ListeningOffLoopbackIsWarnedOf) {
    Child gwemu({gwu::test::kGwemuProgram, "--scenario", gwu::test::SampleScenarioPath("matching"),
                 "--listen", "0.0.0.0:0"},
                Stem("any"));
    for (int i = 0; i < 600 && ReadFile(Stem("any") + ".out").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(ReadFile(Stem("any") + ".out").rfind("gwemu listening on 0.0.0.0:", 0), 0u);
    EXPECT_NE(ReadFile(Stem("any") + ".err")
                  .find("gwemu: warning: listening on 0.0.0.0, not on loopback: anyone who can "
                        "reach this address can drive the emulated gateway"),
              std::string::npos)
        << ReadFile(Stem("any") + ".err");
}

// Files gwemu and gwctl cannot use are refused at once with exit 2, saying why, and gwemu never
// listens: a trace that cannot be created, and (POSIX) a FIFO in place of any input or output
// file, which would block until some other program opened it too.
TEST_F(EmulatorServeTest, UnusableFilesAreRefusedAtOnce) {
    const fs::path readOnly = Root() / "read-only.jsonl";
    WriteFile(readOnly, "");
    fs::permissions(readOnly, fs::perms::all, fs::perm_options::remove);
    const auto record = [](const fs::path& trace) {
        return std::vector<std::string>{gwu::test::kGwemuProgram, "--record", trace.string(),
                                        "--upstream", "tcp://127.0.0.1:9"};
    };
    std::vector<std::tuple<std::vector<std::string>, std::string>> cases = {
        {record(Root() / "missing" / "t.jsonl"),
         ": cannot be written: the folder " + (Root() / "missing").string() + " does not exist"},
        {record(Root()), Root().string() + ": cannot be written: is a folder, not a file"}};
#ifndef _WIN32
    const std::string fifo = (Root() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (auto command : std::vector<std::vector<std::string>>{
             {gwu::test::kGwemuProgram, "--scenario", fifo},
             {gwu::test::kGwemuProgram, "--replay", fifo},
             {gwu::test::kGwemuProgram, "--scenario-from", fifo},
             {gwu::test::kGwctlProgram, "check", "--device", "emu:" + fifo},
             {gwu::test::kGwctlProgram, "check", "--device", "replay:" + fifo},
             record(fifo)}) {
        cases.emplace_back(command, ": is not a regular file");
    }
#endif
    if (!std::ofstream(readOnly, std::ios::app)) {  // permissions stop nothing as root
        cases.emplace_back(record(readOnly), ": cannot be written: Permission denied");
    }
    for (const auto& [command, reason] : cases) {
        SCOPED_TRACE(command[1] + " " + command[2] + " " + command.back());
        EXPECT_EQ(Child(command, Stem("run")).Wait(5000), 2);
        EXPECT_EQ(ReadFile(Stem("run") + ".out"), "");
        EXPECT_NE(ReadFile(Stem("run") + ".err").find(reason), std::string::npos);
    }
    fs::permissions(readOnly, fs::perms::owner_all, fs::perm_options::add);
}

// --replay-timing answers after the recorded time; without it the answer comes at once.
TEST_F(EmulatorServeTest, ReplayTimingWaitsTheRecordedTimeOnlyWhenAsked) {
    WriteFile(Stem("slow.jsonl"),
              R"({"format":"gwemu-trace","version":1,"tool":"","upstream":"","recorded":""}
{"n":1,"message":"connect","result":"answer","flag":true,"elapsed_ms":600}
)");
    for (const bool timing : {true, false}) {
        std::vector<std::string> arguments = {gwu::test::kGwemuProgram, "--replay",
                                              Stem("slow.jsonl"), "--replay-timing"};
        arguments.resize(timing ? 4 : 3);  // the flag only when timing
        EmulatorProcess gwemu(arguments, Stem("replay"), kWaitMs);
        ASSERT_TRUE(gwemu.Listening()) << gwemu.Error();
        wire::FrameClient client("127.0.0.1", PortOf(gwemu));
        client.Open();
        const auto start = Clock::now();
        EXPECT_TRUE(wire::DecodeFlag(client.Exchange(
            wire::EncodeClientMessage({wire::MessageKind::Connect, {}, {}}), 5000)));
        EXPECT_EQ(Clock::now() - start >= std::chrono::milliseconds(600), timing);
    }
}

}  // namespace

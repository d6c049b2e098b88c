// gwemu as a program: clients that say nothing keep nobody else out, an address off loopback is
// warned of, files it cannot use are refused before it serves, and a replay keeps the recorded
// time only when asked.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "connections/EmulatorProcess.h"
#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"
#include "wire/FrameClient.h"
#include "wire/Protocol.h"
#include "wire/Socket.h"

namespace {

namespace fs = std::filesystem;
namespace net = gwu::wire::net;
using gwu::host::EmulatorProcess;
using gwu::test::Child;

constexpr int kWaitMs = 30000;
const fs::path kSamples = GWU_SAMPLE_DIR;

class EmulatorServeTest : public gwu::test::FolderFixture {
protected:
    static std::uint16_t PortOf(const EmulatorProcess& gwemu) {
        const std::string& device = gwemu.Device();
        return static_cast<std::uint16_t>(std::stoi(device.substr(device.rfind(':') + 1)));
    }
    std::string Stem(const std::string& name) const { return (Root() / name).string(); }
};

// A client that connects and says nothing, and one that stops in the middle of a frame, keep
// nobody else out: gwctl's check is served while both stay connected, and a stop still ends
// gwemu at once.
TEST_F(EmulatorServeTest, SilentClientsKeepNobodyOut) {
    CopySampleFirmware();
    EmulatorProcess gwemu(GWEMU_PATH, gwu::test::SampleScenarioPath("matching"),
                          Firmware().string(), Stem("gwemu"), kWaitMs);
    ASSERT_TRUE(gwemu.Listening()) << gwemu.Error();
    const net::Socket silent = net::Connect("127.0.0.1", PortOf(gwemu));
    const net::Socket halfway = net::Connect("127.0.0.1", PortOf(gwemu));
    ASSERT_TRUE(silent.Valid() && halfway.Valid());
    const std::string frame =
        gwu::wire::EncodeClientMessage({gwu::wire::MessageKind::SelectCard, "VCL", {}});
    ASSERT_EQ(net::Send(halfway, frame.data(), frame.size() - 2),
              static_cast<long>(frame.size() - 2));
    // The check's waits of 10 s become 1 s: kept out, it would fail within seconds.
    Child gwctl({GWCTL_PATH, "check", "--device", gwemu.Device(), "--firmware", Firmware().string(),
                 "--logs", Logs().string(), "--runtime", (kSamples / "runtime").string()},
                Stem("gwctl"), {"GWU_TIMEOUT_SCALE=0.1"});
    EXPECT_EQ(gwctl.Wait(kWaitMs), 0) << ReadFile(Stem("gwctl") + ".err");
#ifdef _WIN32
    EXPECT_EQ(gwemu.Stop(5000), 128 + 15);
#else
    EXPECT_EQ(gwemu.Stop(5000), 0);
#endif
}

TEST_F(EmulatorServeTest, ListeningOffLoopbackIsWarnedOf) {
    for (const auto& [host, warned] : {std::pair{"0.0.0.0", true}, {"127.0.0.1", false}}) {
        Child gwemu({GWEMU_PATH, "--scenario", gwu::test::SampleScenarioPath("matching"),
                     "--listen", std::string(host) + ":0"},
                    Stem(host));
        for (int i = 0; i < 600 && ReadFile(Stem(host) + ".out").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        gwemu.Stop();
        gwemu.Wait(5000);
        const std::string error = ReadFile(Stem(host) + ".err");
        EXPECT_EQ(error.find("gwemu: warning: listening on " + std::string(host) +
                             ", not on loopback: anyone who can reach this address can drive "
                             "the emulated gateway") != std::string::npos,
                  warned)
            << error;
        EXPECT_EQ(ReadFile(Stem(host) + ".out").rfind("gwemu listening on ", 0), 0u) << host;
    }
}

#ifndef _WIN32
// A FIFO in place of a scenario or a trace would block the reader until some writer came: every
// reader of one refuses it at once.
TEST_F(EmulatorServeTest, FifoInputIsRefusedAtOnce) {
    const std::string fifo = (Root() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> commands[] = {
        {GWEMU_PATH, "--scenario", fifo},
        {GWEMU_PATH, "--replay", fifo},
        {GWEMU_PATH, "--scenario-from", fifo},
        {GWCTL_PATH, "check", "--device", "emu:" + fifo},
        {GWCTL_PATH, "check", "--device", "replay:" + fifo}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command[1] + " " + command.back());
        EXPECT_EQ(Child(command, Stem("fifo-run")).Wait(5000), 2);
        EXPECT_NE(ReadFile(Stem("fifo-run") + ".err").find(": is not a regular file"),
                  std::string::npos);
    }
}
#endif

// A trace that cannot be created stops gwemu before it listens, saying why.
TEST_F(EmulatorServeTest, UnwritableTraceIsRefusedBeforeServing) {
    const fs::path readOnly = Root() / "read-only.jsonl";
    WriteFile(readOnly, "");
    fs::permissions(readOnly,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    std::vector<std::pair<fs::path, std::string>> cases = {
        {Root() / "missing" / "t.jsonl",
         "the folder " + (Root() / "missing").string() + " does not exist"},
        {Root(), "is a folder, not a file"}};
#ifndef _WIN32
    const std::string fifo = (Root() / "fifo").string();  // opening it would wait for a reader
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    cases.emplace_back(fifo, "is not a regular file");
    if (::geteuid() != 0)  // root writes read-only files
#endif
        cases.emplace_back(readOnly, "Permission denied");
    for (const auto& [path, reason] : cases) {
        Child gwemu({GWEMU_PATH, "--record", path.string(), "--upstream", "tcp://127.0.0.1:9"},
                    Stem("record"));
        EXPECT_EQ(gwemu.Wait(kWaitMs), 2) << path;
        EXPECT_EQ(ReadFile(Stem("record") + ".out"), "");
        const std::string error = ReadFile(Stem("record") + ".err");
        EXPECT_NE(error.find(path.string() + ": cannot be written: " + reason), std::string::npos)
            << error;
    }
    fs::permissions(readOnly, fs::perms::owner_write, fs::perm_options::add);
}

// --replay-timing answers after the recorded time; without it the answer comes at once.
TEST_F(EmulatorServeTest, ReplayTimingWaitsTheRecordedTimeOnlyWhenAsked) {
    const std::string trace = Stem("slow.jsonl");
    WriteFile(trace, R"({"format":"gwemu-trace","version":1,"tool":"","upstream":"","recorded":""}
{"n":1,"message":"connect","result":"answer","flag":true,"elapsed_ms":600}
)");
    for (const bool timing : {true, false}) {
        std::vector<std::string> arguments = {GWEMU_PATH, "--replay", trace};
        if (timing) {
            arguments.emplace_back("--replay-timing");
        }
        EmulatorProcess gwemu(arguments, Stem("replay"), kWaitMs);
        ASSERT_TRUE(gwemu.Listening()) << gwemu.Error();
        gwu::wire::FrameClient client("127.0.0.1", PortOf(gwemu));
        client.Open();
        const auto start = std::chrono::steady_clock::now();
        const std::string answer = client.Exchange(
            gwu::wire::EncodeClientMessage({gwu::wire::MessageKind::Connect, {}, {}}), 5000);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        EXPECT_TRUE(gwu::wire::DecodeFlag(answer));
        if (timing) {
            EXPECT_GE(took, 600);
        } else {
            EXPECT_LT(took, 300);
        }
    }
}

}  // namespace

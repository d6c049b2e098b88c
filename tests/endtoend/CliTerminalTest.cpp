// gwctl on a terminal: while it waits on a slow device, one status line on stderr tells what it
// waits for and is cleared when the answer comes; with --json or --quiet no byte of it appears.
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace {

constexpr const char* kClearLine = "\r\x1b[K";

class CliTerminalTest : public gwu::test::FolderFixture {};

TEST_F(CliTerminalTest, StatusLineAppearsWhileWaitingAndIsClearedNotWithJsonOrQuiet) {
    CopySampleFirmware();
    auto scenario = nlohmann::json::parse(ReadFile(gwu::test::SampleScenarioPath("matching")));
    scenario["latency_ms"] = 300;
    const std::string slow = (Root() / "slow.json").string();
    WriteFile(slow, scenario.dump());
    // No option draws the line; --json and --quiet keep the terminal free of it.
    for (const char* option : {"", "--json", "--quiet"}) {
        SCOPED_TRACE(option);
        std::vector<std::string> arguments = {GWCTL_PATH,    "check",        "--device",
                                              "emu:" + slow, "--firmware",   Firmware().string(),
                                              "--logs",      Logs().string()};
        if (*option != '\0') {
            arguments.push_back(option);
        }
        const gwu::test::TerminalRun run = gwu::test::RunInTerminal(arguments);
        const std::string& output = run.output;
        ASSERT_FALSE(run.timedOut) << output;
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << output;
        const size_t line = output.rfind("gwctl: reading: ");
        if (*option != '\0') {
            EXPECT_EQ(line, std::string::npos) << output;
            EXPECT_EQ(output.find(kClearLine), std::string::npos) << output;
        } else {
            ASSERT_NE(line, std::string::npos) << output;
            EXPECT_NE(output.find(kClearLine, line), std::string::npos) << output;
        }
    }
}

}  // namespace

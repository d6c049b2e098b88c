// gwctl on a terminal: while it waits on a slow device, one status line on stderr tells what it
// waits for and is cleared when the answer comes; with --json or --quiet no byte of it appears.
// Text from devices and files reaches the terminal escaped, and a program as it is.
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

#include "os/Format.h"
#include "tests/endtoend/CliFixture.h"
#include "tests/endtoend/Programs.h"

namespace {

using namespace gwu::test::cli;  // NOLINT(google-build-using-namespace): the end-to-end helpers

constexpr const char* kClearLine = "\r\x1b[K";

class CliTerminalTest : public CliTest {};

TEST_F(CliTerminalTest, StatusLineAppearsWhileWaitingAndIsClearedNotWithJsonOrQuiet) {
    const std::string slow =
        WriteScenario(Root() / "slow.json", Scenario("matching"), {{"latency_ms", 300}});
    // No option draws the line; --json and --quiet keep the terminal free of it.
    for (const char* option : {"", "--json", "--quiet"}) {
        SCOPED_TRACE(option);
        std::vector<std::string> arguments = {
            gwu::test::kGwctlProgram, "check",  "--device",     "emu:" + slow, "--firmware",
            Firmware().string(),      "--logs", Logs().string()};
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

// A device whose serial number and cable release, a release file and a list line hold escape
// sequences, C1 controls, a byte that is not UTF-8 and backslashes. On the terminal every line
// gwctl writes (tables, update rounds, list, warnings, --verbose monitor lines) shows them
// escaped; its JSON keeps them (a byte that is not UTF-8 as U+FFFD, which JSON can carry).
TEST_F(CliTerminalTest, DeviceTextIsEscapedOnTheTerminalAndKeptInJson) {
    const std::string serial = "HX1\x1b[2J\xc2\x9b\\";
    const std::string cable =
        "KLEM_MAC_R3.1\x1b]0;owned\x07\xc2\x9b"
        "31m";
    const std::string prom = "KLEM_PROM_R2.0.3\x9b";
    const std::string listLine = "HX9\x9b\x1b[31m,R1,R1,R1";
    const std::string device =
        "emu:" +
        WriteScenario(Root() / "odd.json", Scenario("behind"),
                      {{"communication", {{"serial", serial}, {"releases", {{"cable", cable}}}}}});
    WriteFile(Firmware() / "HLX_PROM.rel", "Release-Id: " + prom + "\r\n");
    const std::string logs = (Root() / "logs\x1b[2J").string();
    std::filesystem::create_directories(logs);
    WriteFile(std::filesystem::path(logs) / "HLX_Serial_Nums.txt", listLine + "\r\n");
    const auto gwctl = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), gwu::test::kGwctlProgram);
        arguments.insert(arguments.end(), {"--firmware", Firmware().string(), "--logs", logs});
        return arguments;
    };

    std::string terminal;
    for (const auto& arguments :
         {gwctl({"update", "--quiet", "--device", device}), gwctl({"list"}),
          // The repair finds no deployed-unit list: the monitor names the runtime folder.
          gwctl({"check", "--quiet", "--verbose", "--device",
                 "emu:" + Scenario("lost-serial-silent"), "--runtime",
                 (Root() / "run\x1b[2J").string()})}) {
        const gwu::test::TerminalRun run = gwu::test::RunInTerminal(arguments);
        ASSERT_FALSE(run.timedOut) << run.output;
        terminal += run.output;
    }
    std::istringstream lines(terminal);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Escaping leaves a line alone once its own backslashes are gone: no control is left.
        std::string plain;
        for (const char c : line) {
            plain += c == '\\' ? "" : std::string(1, c);
        }
        EXPECT_EQ(gwu::EscapeForTerminal(plain), plain) << line;
    }
    for (const std::string& text :
         {serial, cable, prom, listLine, logs,
          "DeployedHLXs.ini: no list could be read at " + (Root() / "run\x1b[2J").string()}) {
        EXPECT_NE(terminal.find(gwu::EscapeForTerminal(text)), std::string::npos) << text;
    }
    EXPECT_NE(terminal.find("PROM took"), std::string::npos) << terminal;

    const std::string stem = (Root() / "json").string();
    const std::string kept = "KLEM_PROM_R2.0.3\xef\xbf\xbd";  // the byte that is not UTF-8
    ASSERT_EQ(Child(gwctl({"update", "--json", "--device", device}), stem).Wait(30000), 0);
    const json update = json::parse(ReadFile(stem + ".out"));
    EXPECT_EQ(update["values"]["HLX_SerialNum"], serial);
    EXPECT_EQ(update["values"]["HLX_MAC_Firmware_Release_Untrimmed"], cable);
    EXPECT_EQ(update["values"]["HLX_PROM_Release_Untrimmed"], kept);
    EXPECT_EQ(update["disk"]["PROM"], kept);
    ASSERT_EQ(Child(gwctl({"list", "--json"}), stem).Wait(30000), 0);
    EXPECT_EQ(json::parse(ReadFile(stem + ".out"))["lines"],
              json::array({"HX9\xef\xbf\xbd\x1b[31m,R1,R1,R1",
                           serial + ",R4.2.1," + kept.substr(10) + ",R1.4.0"}));
}

}  // namespace

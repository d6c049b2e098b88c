// gwctl on a terminal: while it waits on a slow device, one status line on stderr tells what it
// waits for and is cleared when the answer comes; with --json no byte of it appears.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Fixtures.h"

namespace {

constexpr const char* kClearLine = "\r\x1b[K";

// Runs the program with stdin, stdout and stderr on a pseudo-terminal; everything it wrote.
std::string RunInTerminal(std::vector<std::string> arguments, int& status) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
        ADD_FAILURE() << "forkpty failed";
        return {};
    }
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        pollfd ready{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "no end of output: " << output;
            kill(child, SIGKILL);
            break;
        }
        if (poll(&ready, 1, 100) <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            break;  // EIO once the program has gone
        }
        output.append(buffer, static_cast<size_t>(got));
    }
    waitpid(child, &status, 0);
    close(master);
    return output;
}

class CliTerminalTest : public gwu::test::FolderFixture {};

TEST_F(CliTerminalTest, StatusLineAppearsWhileWaitingAndIsClearedNeverWithJson) {
    CopySampleFirmware();
    auto scenario =
        nlohmann::json::parse(ReadFile(std::string(GWU_SAMPLE_DIR) + "/scenarios/matching.json"));
    scenario["latency_ms"] = 300;
    const std::string slow = (m_root.Path() / "slow.json").string();
    WriteFile(slow, scenario.dump());
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        std::vector<std::string> arguments = {GWCTL_PATH,    "check",        "--device",
                                              "emu:" + slow, "--firmware",   Firmware().string(),
                                              "--logs",      Logs().string()};
        if (json) {
            arguments.push_back("--json");
        }
        int status = -1;
        const std::string output = RunInTerminal(arguments, status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
        const size_t line = output.rfind("gwctl: reading: ");
        if (json) {
            EXPECT_EQ(line, std::string::npos) << output;
            EXPECT_EQ(output.find(kClearLine), std::string::npos) << output;
        } else {
            ASSERT_NE(line, std::string::npos) << output;
            EXPECT_NE(output.find(kClearLine, line), std::string::npos) << output;
        }
    }
}

}  // namespace

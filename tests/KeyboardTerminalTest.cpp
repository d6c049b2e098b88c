// The keyboard dialog driven by a person at a terminal: a helper program runs one user entry
// on the terminal driver inside a pseudo-terminal, and the test types into it.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>

#include "PopupResources.h"

namespace {

struct TerminalRun {
    std::string output;
    bool timedOut = false;
    int status = -1;
};

// Reads from the pseudo-terminal until the output holds the text (or, with an empty text,
// until the program has closed it). False on timeout.
bool ReadUntil(int master, std::string& output, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (text.empty() || output.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            return text.empty();  // EIO once the program has gone
        }
        output.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

// Starts the helper in a pseudo-terminal, waits for the first drawing of the dialog, types
// the input and collects everything until the helper exits.
TerminalRun RunUserEntry(const std::string& kind, const std::string& input) {
    TerminalRun run;
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
        ADD_FAILURE() << "forkpty failed";
        return run;
    }
    if (child == 0) {
        char program[] = GWU_KEYBOARD_TERMINAL;
        std::string kindArg = kind;
        char keep[] = "KEEP";
        char* argv[] = {program, kindArg.data(), keep, nullptr};
        execv(program, argv);
        _exit(127);
    }
    run.timedOut = !ReadUntil(master, run.output, "Buttons:");
    if (!run.timedOut) {
        (void)!write(master, input.data(), input.size());
        run.timedOut = !ReadUntil(master, run.output, "");
    }
    if (run.timedOut) {
        kill(child, SIGKILL);
    }
    waitpid(child, &run.status, 0);
    close(master);
    return run;
}

// Lower-case letters are not keys of the keyboard and Delete is backspace; only Enter hands the
// text back: Escape, go-back (^B) and end of input (^D) leave the caller's, also after an
// arrow key's escape sequence. A first request shows no cross, a repeated one does; there is
// no tick before any text.
TEST(KeyboardTerminalTest, TypedValueComesBackOnlyAfterEnter) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"0", "abAB1X\1772\r", "AB12"},  // \177 is Delete
        {"1", "AB\x1b", "KEEP"},
        {"0", "AB\x02", "KEEP"},
        {"0", "AB\x04", "KEEP"},
        {"1", "A\x1b[DB\x1b", "KEEP"}};
    for (const auto& [kind, input, result] : cases) {
        SCOPED_TRACE(input);
        const TerminalRun run = RunUserEntry(kind, input);
        ASSERT_FALSE(run.timedOut) << run.output;
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
        EXPECT_NE(run.output.find("RESULT:[" + result + "]"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(QX_LoadString(kind == "0" ? 1214 : 1216)), std::string::npos);
        for (const char* buttons : {"Buttons: [go back]", "Buttons: [tick] [go back]"}) {
            EXPECT_EQ(run.output.find(buttons) != std::string::npos, kind == "0") << buttons;
        }
    }
}

}  // namespace

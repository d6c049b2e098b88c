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
#include <vector>

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

TEST(KeyboardTerminalTest, TypedValueComesBackAfterEnter) {
    // Lower-case letters are not keys of the keyboard; Delete is backspace.
    const TerminalRun run = RunUserEntry("0",
                                         "abAB1X\x7f"
                                         "2\r");
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_NE(run.output.find("RESULT:[AB12]"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(QX_LoadString(1214)), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("[AB12]"), std::string::npos) << "the entry as typed";
    // The first drawing: no text yet, so no tick, and no cross for a first request.
    EXPECT_NE(run.output.find("Buttons: [go back]"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Buttons: [tick] [go back]"), std::string::npos) << run.output;
}

TEST(KeyboardTerminalTest, EscapeGoBackAndEndOfInputLeaveTheCallersText) {
    struct Case {
        const char* kind;
        const char* input;
    };
    for (const Case& c : {Case{"1", "AB\x1b"}, Case{"0", "AB\x02"}, Case{"0", "AB\x04"},
                          Case{"1", "A\x1b[DB\x1b"}}) {
        SCOPED_TRACE(c.input);
        const TerminalRun run = RunUserEntry(c.kind, c.input);
        ASSERT_FALSE(run.timedOut) << run.output;
        EXPECT_NE(run.output.find("RESULT:[KEEP]"), std::string::npos) << run.output;
    }
}

}  // namespace

// The keyboard dialog driven by a person at a terminal: a helper program runs one user entry
// on the terminal driver inside a pseudo-terminal, and the test types into it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <tuple>

#include "host/popup/PopupResources.h"
#include "testsupport/TestProcesses.h"

namespace {

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
        // One user entry of the helper on a pseudo-terminal, the input typed once it is drawn.
        const gwu::test::TerminalRun run =
            gwu::test::RunInTerminal({GWU_KEYBOARD_TERMINAL, kind, "KEEP"}, "Buttons:", input);
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

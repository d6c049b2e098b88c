// Runs one user entry on the terminal driver, for the pseudo-terminal test. Arguments: the
// request kind (0 or 1) and the text the caller starts with. Prints "RESULT:[<text>]" with the
// caller's text afterwards.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "dialogs/CUserEntry.h"
#include "host/popup/PopupDrivers.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s KIND TEXT\n", argv[0]);
        return 2;
    }
    const int kind = std::atoi(argv[1]);
    CString text = argv[2];
    {
        gwu::host::SetPopupDriver(
            std::make_unique<gwu::host::TerminalDriver>(STDIN_FILENO, STDOUT_FILENO));
        CUserEntry entry(nullptr, false);
        bool flag = true;
        entry.GetUserEntry(text, kind, 16, 1, &flag);
        gwu::host::SetPopupDriver(nullptr);  // gives the terminal its settings back
    }
    std::printf("RESULT:[%s]\n", text.c_str());
    return 0;
}

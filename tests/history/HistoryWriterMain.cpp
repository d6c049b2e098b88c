// One writer process of the update history: appends its events, one after the other, as a
// tester's tools would, with the rotation limits given. Each event's serial number is
// "P<process>-<index>". Exits 1 after the first event that was not recorded, saying why.
// Usage: gatewayutils_history_writer FOLDER PROCESS EVENTS ROTATE_BYTES CAP_BYTES
#include <cstdio>
#include <cstdlib>
#include <string>

#include "history/HistoryFile.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        return 2;
    }
    gwu::history::SetLimits(
        {std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10)});
    gwu::history::HistoryFile history(argv[1]);
    const int events = std::atoi(argv[3]);
    for (int i = 0; i < events; ++i) {
        gwu::history::Event event;
        event.operation = "check";
        event.serial = "P" + std::string(argv[2]) + "-" + std::to_string(i);
        const gwu::history::AppendResult result = history.Append(event);
        if (!result.recorded) {
            std::fprintf(stderr, "%s\n", result.problem.c_str());
            return 1;
        }
    }
    return 0;
}

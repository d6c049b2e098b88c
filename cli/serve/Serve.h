// gwctl serve: the tester's screen as a page in a browser. One page over HTTP, by default on
// loopback only, showing the session's card, values, verdicts, update rounds, the serial-number
// list and the repair's popups, with buttons that run the operations on a worker thread.
#pragma once

#include <chrono>
#include <string>

#include "cli/Session.h"

namespace gwu::cli {

struct ServeOptions {
    std::string listen = "127.0.0.1:0";  // HOST:PORT; port 0 picks a free one
    // A popup whose page has not been seen for this long closes as the cross would.
    std::chrono::milliseconds popupTimeout{30000};
};

// Serves the page for the opened session until SIGINT or SIGTERM; prints
// "gwctl serving on http://HOST:PORT/" on stdout once it listens. The exit code: 0 after a
// signal, 2 when it cannot listen.
int Serve(Session& session, const ServeOptions& options);

}  // namespace gwu::cli

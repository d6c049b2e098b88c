// Where the monitor output (MonPrintf) and the error log (LogError) go. By default both write
// timestamped lines to stderr; a host or a test installs a sink of its own.
#pragma once

#include <functional>
#include <string>

namespace gwu::host {

// Receives one line, without its line end. Called on whichever thread wrote the line, one line
// at a time.
using LineSink = std::function<void(const std::string& line)>;

// An empty sink restores the default. Returns the sink that was installed before.
LineSink SetMonitorSink(LineSink sink);
LineSink SetErrorSink(LineSink sink);

}  // namespace gwu::host

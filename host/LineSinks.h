// Where the monitor output (MonPrintf) and the error log (LogError) go, and the folder of the
// repair report. By default both lines go timestamped to stderr, escaped for a terminal (they
// may carry device and file text); a host or a test installs a sink of its own.
#pragma once

#include <functional>
#include <string>

namespace gwu::host {

// Receives one line, without its line end. Called on whichever thread wrote the line, one line
// at a time.
using LineSink = std::function<void(const std::string& line)>;

// An empty sink restores the default. Returns the sink that was installed before (empty for
// the default).
LineSink SetMonitorSink(LineSink sink);
LineSink SetErrorSink(LineSink sink);

// The default sink: the line on stderr after a timestamp and the kind ("MON", "ERROR"), with
// every control and every byte that is not UTF-8 escaped (gwu::EscapeForTerminal). For a sink
// that passes lines on to the default.
LineSink StderrSink(std::string kind);

// The folder the library's repair report goes to (the platform's GetRepairReportFolder). A host
// program leaves it empty: the report goes beside its executable. The installed tools name a
// folder of their own (gwctl: the log-files folder), never the installation's bin/ folder.
void SetRepairReportFolder(std::string folder);

}  // namespace gwu::host

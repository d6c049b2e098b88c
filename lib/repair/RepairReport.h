// The repair report "ReportHLXRepair.txt" in the folder the host names (GetRepairReportFolder),
// by default the host program's executable folder: one file per process run, created (or
// emptied) at its first line, every line ending in CR LF and flushed at once so that it
// survives a crash of the host.
#pragma once

#include <string>

namespace gwu {

class RepairReport {
public:
    static constexpr const char* kFileName = "ReportHLXRepair.txt";

    // Appends one line. A report that cannot be created or written loses its lines (a single
    // monitor line says so) and never stops the caller. Safe from any thread.
    static void Line(const std::string& line);

    // Closes the report and sends the next one to this folder instead of the host's: for
    // tests, which need a fresh report per case. An empty folder restores the default.
    static void RestartForTesting(const std::string& folder);
};

}  // namespace gwu

// The host's diagnostics: the error log, the monitor output and the place of the repair report.
#pragma once

#include "gatewayutils/platform/Types.h"

// Error line for an operation asked for a code type its device does not have.
void LogError(const char* sourceName, int line);

// A printf-style trace line on the monitor output. The line end is added.
[[gnu::format(printf, 1, 2)]] void MonPrintf(const char* format, ...);

// The folder the repair report is written to; an empty text for the folder of the host
// program's executable. Asked when the report of the process is created, from any thread.
CString GetRepairReportFolder();

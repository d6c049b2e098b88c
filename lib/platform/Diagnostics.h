// The host's diagnostics: the error log and the monitor output.
#pragma once

// Error line for an operation asked for a code type its device does not have.
void LogError(const char* sourceName, int line);

// A printf-style trace line on the monitor output. The line end is added.
[[gnu::format(printf, 1, 2)]] void MonPrintf(const char* format, ...);

#include "host/LineSinks.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "os/Format.h"
#include "platform/Diagnostics.h"

namespace gwu::host {

namespace {

std::mutex g_mutex;
LineSink g_monitorSink;
LineSink g_errorSink;
std::string g_reportFolder;

void WriteStderr(const char* kind, const std::string& line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(stderr, "[%s.%03d] %s %s\n", stamp, static_cast<int>(millis), kind,
                 EscapeForTerminal(line).c_str());
}

void Emit(LineSink& sink, const char* kind, const std::string& line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (sink) {
        sink(line);
    } else {
        WriteStderr(kind, line);
    }
}

}  // namespace

LineSink SetMonitorSink(LineSink sink) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::swap(g_monitorSink, sink);
    return sink;
}

LineSink SetErrorSink(LineSink sink) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::swap(g_errorSink, sink);
    return sink;
}

LineSink StderrSink(std::string kind) {
    return [kind = std::move(kind)](const std::string& line) { WriteStderr(kind.c_str(), line); };
}

void SetRepairReportFolder(std::string folder) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reportFolder = std::move(folder);
}

}  // namespace gwu::host

CString GetRepairReportFolder() {
    std::lock_guard<std::mutex> lock(gwu::host::g_mutex);
    return gwu::host::g_reportFolder;
}

void MonPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = gwu::FormatArgs(format, args);
    va_end(args);
    gwu::host::Emit(gwu::host::g_monitorSink, "MON", line);
}

void LogError(const char* sourceName, int line) {
    gwu::host::Emit(
        gwu::host::g_errorSink, "ERROR",
        std::string(sourceName != nullptr ? sourceName : "") + "(" + std::to_string(line) + ")");
}

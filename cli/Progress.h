// A status line for long waits on the device: while a request is outstanding, one line on a
// terminal tells what gwctl waits for and for how long, rewritten in place and cleared when the
// answer comes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Comms.h"

namespace gwu::cli {

// Draws "gwctl: <step>: <seconds> s" on a terminal while a wait lasts. Waits shorter than the
// first delay draw nothing, so quick answers leave the terminal alone. Begin and End may be
// called from any one thread at a time (the update worker's requests included).
class StatusLine {
public:
    // Draws on fd when enabled; a disabled line never writes a byte.
    StatusLine(int fd, bool enabled);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void Begin(std::string step);
    void End();

    // The wait going on now, drawn or not: its step and how long it has lasted. For any thread;
    // a disabled line keeps track all the same, so a screen other than the terminal can show it.
    struct Wait {
        std::string step;
        double seconds = 0;
    };
    std::optional<Wait> Current() const;

private:
    void Run();

    int m_fd;
    bool m_enabled;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_step;
    std::chrono::steady_clock::time_point m_start;
    bool m_waiting = false;
    bool m_drawn = false;
    bool m_stopping = false;
    std::thread m_drawer;
};

// A connection that tells the status line about every request it passes on: the phase the
// caller set ("reading", "updating BS") or, for a reset, "resetting" with the phase's code type.
// Borrows the connection and the line.
class ProgressComms : public CBaseComms {
public:
    ProgressComms(CBaseComms& inner, StatusLine& line) : m_inner(inner), m_line(line) {}

    // What the requests from now on are for; the code type label may be empty.
    void SetPhase(std::string action, std::string codeType);

    bool Disconnect() override { return m_inner.Disconnect(); }
    bool SelectCard(const char* name) override { return m_inner.SelectCard(name); }
    int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) override;
    bool Connect() override { return m_inner.Connect(); }

private:
    CBaseComms& m_inner;
    StatusLine& m_line;
    std::mutex m_mutex;  // the phase is set on the main thread, read on the update worker
    std::string m_action = "reading";
    std::string m_codeType;
};

}  // namespace gwu::cli

#include "cli/Progress.h"

#include <cstdio>

#include "host/popup/TerminalIo.h"

namespace gwu::cli {

namespace {

// A wait shorter than this draws nothing; a drawn line is redrawn this often.
constexpr std::chrono::milliseconds kFirstDraw{150};
constexpr std::chrono::milliseconds kRedraw{100};
// Back to the start of the line and erase it.
constexpr const char* kClearLine = "\r\x1b[K";

}  // namespace

StatusLine::StatusLine(int fd, bool enabled) : m_fd(fd), m_enabled(enabled) {
    if (m_enabled) {
        m_drawer = std::thread([this] { Run(); });
    }
}

StatusLine::~StatusLine() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_drawer.joinable()) {
        m_drawer.join();
    }
    End();
}

void StatusLine::Begin(std::string step) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_step = std::move(step);
        m_start = std::chrono::steady_clock::now();
        m_waiting = true;
    }
    m_changed.notify_all();
}

void StatusLine::End() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting = false;
    if (m_drawn) {
        host::terminal::WriteAll(m_fd, kClearLine);
        m_drawn = false;
    }
}

std::optional<StatusLine::Wait> StatusLine::Current() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_waiting) {
        return std::nullopt;
    }
    return Wait{m_step,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count()};
}

void StatusLine::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (!m_waiting) {
            m_changed.wait(lock);
            continue;
        }
        const auto elapsed = std::chrono::steady_clock::now() - m_start;
        if (elapsed >= kFirstDraw) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f",
                          std::chrono::duration<double>(elapsed).count());
            host::terminal::WriteAll(
                m_fd, std::string(kClearLine) + "gwctl: " + m_step + ": " + seconds + " s");
            m_drawn = true;
        }
        m_changed.wait_for(lock, m_drawn ? kRedraw : kFirstDraw - elapsed);
    }
}

void ProgressComms::SetPhase(std::string action, std::string codeType) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_action = std::move(action);
    m_codeType = std::move(codeType);
}

int ProgressComms::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) {
    std::string step;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool reset = !subStream.Requests().empty() &&
                           (subStream.Requests().front().kind == SubRequestKind::VsiReset ||
                            subStream.Requests().front().kind == SubRequestKind::MsiReset);
        step = reset ? "resetting" : m_action;
        if (!m_codeType.empty()) {
            step += (reset ? " after the " + m_codeType + " update" : " " + m_codeType);
        }
    }
    // Ends the line on every way out, a comms exception included.
    struct Ender {
        StatusLine& line;
        ~Ender() { line.End(); }
    } ender{m_line};
    m_line.Begin(std::move(step));
    return m_inner.ExecuteSubCommand(subStream, timeoutMs, reserved);
}

}  // namespace gwu::cli

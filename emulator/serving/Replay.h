// Answers a client from a recorded session (Trace.h), strictly: each message must be the next one
// the trace holds. A message that differs, or comes after the last exchange, is refused: the
// reporter gets a line naming its position, what was expected and what came, and the client a
// malformed reply, never an answer made up. After the first refusal every message is refused.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "gatewayutils/emulator/serving/Backend.h"
#include "gatewayutils/emulator/trace/Trace.h"

namespace gwu::emu {

// Gets one line per refused message, without a line end.
using ReplayReporter = std::function<void(const std::string& line)>;

// Not thread-safe: one client at a time, as the TCP server and a host connection call it.
class ReplayBackend : public DeviceBackend {
public:
    // With timing, every answer waits the time it took when it was recorded; without, answers
    // come at once (a recorded timeout stays silent either way, so the client's own wait ends
    // it).
    ReplayBackend(Trace trace, bool timing, ReplayReporter reporter);

    ServerAnswer Answer(const wire::ClientMessage& message) override;

    std::uint64_t Answered() const { return m_next; }  // exchanges answered so far
    bool Stopped() const { return m_stopped; }

private:
    ServerAnswer Refuse(const std::string& line);

    Trace m_trace;
    bool m_timing;
    ReplayReporter m_reporter;
    std::uint64_t m_next = 0;      // index of the next exchange
    std::uint64_t m_received = 0;  // messages received, the refused ones included
    bool m_stopped = false;
};

}  // namespace gwu::emu

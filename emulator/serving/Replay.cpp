#include "emulator/serving/Replay.h"

#include <utility>

namespace gwu::emu {

ReplayBackend::ReplayBackend(Trace trace, bool timing, ReplayReporter reporter)
    : m_trace(std::move(trace)), m_timing(timing), m_reporter(std::move(reporter)) {}

ServerAnswer ReplayBackend::Refuse(const std::string& line) {
    m_stopped = true;
    if (m_reporter) {
        m_reporter(line);
    }
    ServerAnswer answer;
    answer.frame = RefusalFrame();
    return answer;
}

ServerAnswer ReplayBackend::Answer(const wire::ClientMessage& message) {
    ++m_received;
    const std::string where = "exchange " + std::to_string(m_received) + ": ";
    const std::string received = "received " + DescribeMessage(message);
    if (m_stopped) {
        return Refuse(where + "refused, the replay stopped at exchange " +
                      std::to_string(m_next + 1) + "; " + received);
    }
    if (m_next >= m_trace.exchanges.size()) {
        return Refuse(where + "the trace ends after " + std::to_string(m_trace.exchanges.size()) +
                      " exchanges; " + received);
    }
    const TraceExchange& exchange = m_trace.exchanges[m_next];
    const std::string difference = FirstDifference(exchange.message, message);
    if (!difference.empty()) {
        return Refuse(where + "expected " + DescribeMessage(exchange.message) + ", " + received +
                      "; first difference: " + difference);
    }
    ++m_next;
    ServerAnswer answer;
    answer.delayMs = m_timing ? exchange.elapsedMs : 0;
    switch (exchange.result) {
        case TraceResult::Answer:
        case TraceResult::Malformed:
            answer.frame = wire::EncodeFrame(ReplyPayload(exchange));
            break;
        case TraceResult::Timeout:
            answer.kind = ServerAnswer::Kind::Silent;
            break;
        case TraceResult::Dropped:
            answer.kind = ServerAnswer::Kind::Drop;
            break;
    }
    return answer;
}

}  // namespace gwu::emu

#include "emulator/serving/Recorder.h"

#include <chrono>
#include <utility>

namespace gwu::emu {

namespace {

// The wait of the host's TCP connection for the answer to connect, disconnect and select.
constexpr double kFlagWaitMs = 10000;

}  // namespace

RecordingProxy::RecordingProxy(const std::string& upstreamHost, std::uint16_t upstreamPort,
                               std::unique_ptr<TraceWriter> writer,
                               std::function<void(const std::string&)> reporter)
    : m_upstream(upstreamHost, upstreamPort),
      m_writer(std::move(writer)),
      m_reporter(std::move(reporter)) {}

void RecordingProxy::ClientClosed() {
    m_upstream.Close();
}

void RecordingProxy::Record(TraceExchange& exchange) {
    exchange.position = ++m_position;
    if (!m_writer->Write(exchange) && !m_writeFailed) {
        m_writeFailed = true;
        if (m_reporter) {
            m_reporter("the trace could not be written from exchange " +
                       std::to_string(exchange.position) + " on");
        }
    }
}

ServerAnswer RecordingProxy::Answer(const wire::ClientMessage& message) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const bool execute = message.kind == wire::MessageKind::Execute;
    const double waitMs = (execute ? static_cast<double>(message.request.timeoutMs) : kFlagWaitMs) *
                          wire::TimeoutScale();

    TraceExchange exchange;
    exchange.message = message;
    ServerAnswer answer;
    std::string payload;
    try {
        m_upstream.Open();
        payload = m_upstream.Exchange(wire::EncodeClientMessage(message), waitMs);
    } catch (const wire::FrameClient::Error& e) {
        if (e.failure == wire::FrameClient::Failure::Timeout) {
            exchange.result = TraceResult::Timeout;
            answer.kind = ServerAnswer::Kind::Silent;
        } else {
            if (e.failure == wire::FrameClient::Failure::Malformed && m_reporter) {
                m_reporter(
                    "the upstream sent bytes that are not a frame; the client's "
                    "connection is closed");
            }
            exchange.result = TraceResult::Dropped;
            answer.kind = ServerAnswer::Kind::Drop;
        }
    }
    exchange.elapsedMs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    if (answer.kind == ServerAnswer::Kind::Frame) {
        try {
            if (execute) {
                exchange.response = wire::DecodeResponse(payload);
            } else {
                exchange.flag = wire::DecodeFlag(payload);
            }
        } catch (const wire::ProtocolError&) {
            exchange.result = TraceResult::Malformed;
            exchange.reply = payload;
        }
        answer.frame = wire::EncodeFrame(payload);
    }
    // Written before the answer goes out: a client that has its answer finds it in the trace.
    Record(exchange);
    return answer;
}

}  // namespace gwu::emu

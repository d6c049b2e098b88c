// A proxy that records a session: every message of the client goes to the upstream gateway (any
// server of the frame protocol), the upstream's answer goes back unchanged, and the exchange is
// appended to a trace file (Trace.h) and flushed before the answer goes out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gatewayutils/emulator/serving/Backend.h"
#include "gatewayutils/emulator/trace/Trace.h"
#include "gatewayutils/wire/FrameClient.h"

namespace gwu::emu {

// Not thread-safe: one client at a time, as the TCP server calls it. The upstream connection
// follows the client's: it opens with the client's first message and closes with its connection.
// An upstream that stays silent is waited for as long as the client waits (the request's
// timeout, or 10 s for connect, disconnect and select, scaled as the host scales it), then recorded
// as a timeout; one that closes the connection, or cannot be reached, is recorded as dropped and
// the client's connection is closed as well. The proxy adds no fault of its own.
class RecordingProxy : public DeviceBackend {
public:
    // The reporter gets a line for what the client cannot see: a trace write that failed, an
    // upstream that sent bytes that are not a frame.
    RecordingProxy(const std::string& upstreamHost, std::uint16_t upstreamPort,
                   std::unique_ptr<TraceWriter> writer,
                   std::function<void(const std::string&)> reporter);

    ServerAnswer Answer(const wire::ClientMessage& message) override;
    void ClientClosed() override;

    std::uint64_t Recorded() const { return m_position; }
    bool WriteFailed() const { return m_writeFailed; }

private:
    void Record(TraceExchange& exchange);

    wire::FrameClient m_upstream;
    std::unique_ptr<TraceWriter> m_writer;
    std::function<void(const std::string&)> m_reporter;
    std::uint64_t m_position = 0;
    bool m_writeFailed = false;
};

}  // namespace gwu::emu

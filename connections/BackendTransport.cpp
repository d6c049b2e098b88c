#include "connections/BackendTransport.h"

#include <chrono>
#include <optional>
#include <thread>
#include <utility>

#include "platform/Comms.h"
#include "wire/CommsFailures.h"
#include "wire/FrameClient.h"
#include "wire/Protocol.h"

namespace gwu::host {

BackendTransport::BackendTransport(std::unique_ptr<emu::DeviceBackend> backend)
    : m_backend(std::move(backend)) {}

BackendTransport::~BackendTransport() {
    End();
}

void BackendTransport::Close() {
    End();
}

void BackendTransport::End() {
    if (m_open) {
        m_open = false;
        m_backend->ClientClosed();
    }
}

std::string BackendTransport::Exchange(const std::string& frame, int timeoutMs) {
    if (!m_open) {
        throw CBaseCommsException(wire::kCommsReset);
    }
    const auto fail = [this](int code) {
        Close();
        return CBaseCommsException(code);
    };
    wire::FrameDecoder sent;
    std::optional<std::string> payload;
    wire::ClientMessage message;
    try {
        sent.Feed(frame);
        payload = sent.Next();
        if (!payload) {
            throw fail(wire::kCommsReset);
        }
        message = wire::DecodeClientMessage(*payload);
    } catch (const wire::ProtocolError&) {
        throw fail(wire::kCommsReset);  // a server closes the connection of a malformed message
    }
    const emu::ServerAnswer answer = m_backend->Answer(message);
    const double waitMs = timeoutMs * wire::TimeoutScale();
    const bool late = answer.kind == emu::ServerAnswer::Kind::Silent || answer.delayMs > waitMs;
    // The client waits what the answer takes, and gives up after its own wait.
    const double delay =
        late ? (answer.kind == emu::ServerAnswer::Kind::Silent ? 0 : waitMs) : answer.delayMs;
    if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(delay));
    }
    if (late) {
        throw fail(wire::kCommsTimeout);
    }
    if (answer.kind == emu::ServerAnswer::Kind::Drop) {
        throw fail(wire::kCommsReset);
    }
    wire::FrameDecoder received;
    try {
        received.Feed(answer.frame);
        if (auto reply = received.Next()) {
            return *reply;
        }
    } catch (const wire::ProtocolError&) {
    }
    throw fail(wire::kCommsMalformed);
}

}  // namespace gwu::host

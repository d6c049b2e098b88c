#include "connections/FrameConnection.h"

#include <utility>

#include "connections/EmulatorRequests.h"
#include "wire/CommsFailures.h"

namespace gwu::host {

FrameConnection::FrameConnection(std::unique_ptr<FrameTransport> transport)
    : m_transport(std::move(transport)) {}

FrameConnection::~FrameConnection() = default;

void FrameConnection::Open() {
    if (m_transport->IsOpen()) {
        return;
    }
    m_transport->Open();
    if (!m_card.empty()) {
        wire::ClientMessage select;
        select.kind = wire::MessageKind::SelectCard;
        select.cardName = m_card;
        m_transport->Exchange(wire::EncodeClientMessage(select), 10000);
    }
}

bool FrameConnection::FlagExchange(wire::MessageKind kind, bool open) {
    try {
        if (open) {
            Open();
        }
        wire::ClientMessage message;
        message.kind = kind;
        message.cardName = kind == wire::MessageKind::SelectCard ? m_card : std::string();
        return wire::DecodeFlag(m_transport->Exchange(wire::EncodeClientMessage(message), 10000));
    } catch (const CBaseCommsException&) {
        return false;
    } catch (const wire::ProtocolError&) {
        m_transport->Close();
        return false;
    }
}

bool FrameConnection::Connect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return FlagExchange(wire::MessageKind::Connect, true);
}

bool FrameConnection::Disconnect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_transport->IsOpen() || FlagExchange(wire::MessageKind::Disconnect, false);
}

bool FrameConnection::SelectCard(const char* name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_card = name != nullptr ? name : "";
    // Without an open transport the selection is sent when it opens.
    return !m_transport->IsOpen() || FlagExchange(wire::MessageKind::SelectCard, false);
}

int FrameConnection::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int /*reserved*/) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Open();
    for (const SubRequest& request : subStream.Requests()) {
        wire::ClientMessage execute;
        execute.kind = wire::MessageKind::Execute;
        execute.request = ToEmulatorRequest(request, timeoutMs);
        wire::Response response;
        try {
            response = wire::DecodeResponse(
                m_transport->Exchange(wire::EncodeClientMessage(execute), timeoutMs));
        } catch (const wire::ProtocolError&) {
            m_transport->Close();
            throw CBaseCommsException(wire::kCommsMalformed);
        }
        if (response.outcome == wire::Outcome::Disconnect) {
            m_transport->Close();
        }
        ApplyResponse(request, response);
    }
    return 0;
}

}  // namespace gwu::host

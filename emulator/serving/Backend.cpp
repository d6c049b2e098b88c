#include "emulator/serving/Backend.h"

namespace gwu::emu {

std::string RefusalFrame() {
    return wire::EncodeFrame({});
}

ServerAnswer GatewayBackend::Answer(const wire::ClientMessage& message) {
    ServerAnswer answer;
    switch (message.kind) {
        case wire::MessageKind::Connect:
        case wire::MessageKind::Disconnect:
            answer.frame = wire::EncodeFlag(true);
            return answer;
        case wire::MessageKind::SelectCard:
            m_gateway.SelectCard(message.cardName);
            m_card = message.cardName;
            answer.frame = wire::EncodeFlag(true);
            return answer;
        case wire::MessageKind::Execute:
            break;
    }
    const Response response =
        m_card ? m_gateway.Execute(message.request, *m_card) : m_gateway.Execute(message.request);
    // The device takes its time to answer, or to drop the connection; a device that never
    // answers is silent at once (the client's own timeout ends its wait).
    answer.delayMs = response.outcome == Outcome::Timeout ? 0 : response.delayMs;
    if (response.outcome == Outcome::Timeout) {
        answer.kind = ServerAnswer::Kind::Silent;
    } else if (response.outcome == Outcome::Disconnect) {
        answer.kind = ServerAnswer::Kind::Drop;
    } else {
        answer.frame = wire::EncodeResponse(response);
    }
    return answer;
}

std::unique_ptr<DeviceBackend> GatewayBackend::NewClient() {
    return std::make_unique<GatewayBackend>(m_gateway);
}

}  // namespace gwu::emu

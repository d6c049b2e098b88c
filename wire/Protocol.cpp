#include "wire/Protocol.h"

namespace gwu::wire {

namespace {

constexpr size_t kLengthBytes = 4;

class Writer {
public:
    void U8(std::uint8_t value) { m_payload.push_back(static_cast<char>(value)); }
    void U32(std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            m_payload.push_back(static_cast<char>((value >> shift) & 0xFFu));
        }
    }
    void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
    void Raw(std::string_view bytes) { m_payload.append(bytes); }
    void Bytes(std::string_view bytes) {
        if (bytes.size() > kMaxFramePayload) {
            throw ProtocolError("a byte string of " + std::to_string(bytes.size()) +
                                " bytes does not fit a frame");
        }
        U32(static_cast<std::uint32_t>(bytes.size()));
        m_payload.append(bytes);
    }

    // The payload with its length prefix.
    std::string Frame() const {
        if (m_payload.size() > kMaxFramePayload) {
            throw ProtocolError("a payload of " + std::to_string(m_payload.size()) +
                                " bytes exceeds the frame limit");
        }
        Writer prefix;
        prefix.U32(static_cast<std::uint32_t>(m_payload.size()));
        return prefix.m_payload + m_payload;
    }

private:
    std::string m_payload;
};

// Reads a payload front to back; every read checks what is left.
class Reader {
public:
    explicit Reader(std::string_view payload) : m_rest(payload) {}

    std::uint8_t U8(const char* field) {
        Need(1, field);
        const auto value = static_cast<std::uint8_t>(m_rest[0]);
        m_rest.remove_prefix(1);
        return value;
    }
    std::uint32_t U32(const char* field) {
        Need(4, field);
        std::uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i) {
            value = (value << 8) | static_cast<std::uint8_t>(m_rest[i]);
        }
        m_rest.remove_prefix(4);
        return value;
    }
    std::int32_t I32(const char* field) { return static_cast<std::int32_t>(U32(field)); }
    std::string Bytes(const char* field) {
        const std::uint32_t length = U32(field);
        Need(length, field);
        std::string bytes(m_rest.substr(0, length));
        m_rest.remove_prefix(length);
        return bytes;
    }
    void End() const {
        if (!m_rest.empty()) {
            throw ProtocolError(std::to_string(m_rest.size()) +
                                " unexpected bytes after the message");
        }
    }

private:
    void Need(size_t count, const char* field) const {
        if (m_rest.size() < count) {
            throw ProtocolError(std::string("message truncated in ") + field);
        }
    }

    std::string_view m_rest;
};

Builder ToBuilder(std::uint8_t value) {
    if (value < static_cast<std::uint8_t>(Builder::VsiReset) ||
        value > static_cast<std::uint8_t>(Builder::VsiSetSerialNumber)) {
        throw ProtocolError("unknown builder " + std::to_string(value));
    }
    return static_cast<Builder>(value);
}

Outcome ToOutcome(std::uint8_t value) {
    if (value < static_cast<std::uint8_t>(Outcome::Reply) ||
        value > static_cast<std::uint8_t>(Outcome::Disconnect)) {
        throw ProtocolError("unknown outcome " + std::to_string(value));
    }
    return static_cast<Outcome>(value);
}

bool ToBool(std::uint8_t value, const char* field) {
    if (value > 1) {
        throw ProtocolError(std::string("invalid ") + field + " " + std::to_string(value));
    }
    return value == 1;
}

}  // namespace

std::string EncodeClientMessage(const ClientMessage& message) {
    Writer writer;
    writer.U8(static_cast<std::uint8_t>(message.kind));
    switch (message.kind) {
        case MessageKind::Connect:
        case MessageKind::Disconnect:
            break;
        case MessageKind::SelectCard:
            writer.Bytes(message.cardName);
            break;
        case MessageKind::Execute: {
            const Request& request = message.request;
            writer.U8(static_cast<std::uint8_t>(request.builder));
            writer.I32(request.type);
            writer.I32(request.flags);
            writer.I32(request.capacity);
            writer.U32(request.timeoutMs);
            writer.Bytes(request.data);
            break;
        }
    }
    return writer.Frame();
}

std::string EncodeResponse(const Response& response) {
    Writer writer;
    writer.U8(static_cast<std::uint8_t>(response.outcome));
    writer.I32(response.error);
    writer.I32(response.exceptionCode);
    writer.U8(response.claimedLength ? 1 : 0);
    writer.I32(response.claimedLength.value_or(0));
    writer.Bytes(response.bytes);
    return writer.Frame();
}

std::string EncodeFlag(bool value) {
    Writer writer;
    writer.U8(value ? 1 : 0);
    return writer.Frame();
}

std::string EncodeFrame(std::string_view payload) {
    Writer writer;
    writer.Raw(payload);
    return writer.Frame();
}

ClientMessage DecodeClientMessage(std::string_view payload) {
    Reader reader(payload);
    ClientMessage message;
    const auto kind = static_cast<char>(reader.U8("message kind"));
    switch (kind) {
        case static_cast<char>(MessageKind::Connect):
        case static_cast<char>(MessageKind::Disconnect):
            message.kind = static_cast<MessageKind>(kind);
            break;
        case static_cast<char>(MessageKind::SelectCard):
            message.kind = MessageKind::SelectCard;
            message.cardName = reader.Bytes("card name");
            break;
        case static_cast<char>(MessageKind::Execute): {
            message.kind = MessageKind::Execute;
            Request& request = message.request;
            request.builder = ToBuilder(reader.U8("builder"));
            request.type = reader.I32("request type");
            request.flags = reader.I32("flags");
            request.capacity = reader.I32("capacity");
            request.timeoutMs = reader.U32("timeout");
            request.data = reader.Bytes("data");
            break;
        }
        default:
            throw ProtocolError("unknown message kind " +
                                std::to_string(static_cast<unsigned char>(kind)));
    }
    reader.End();
    return message;
}

Response DecodeResponse(std::string_view payload) {
    Reader reader(payload);
    Response response;
    response.outcome = ToOutcome(reader.U8("outcome"));
    response.error = reader.I32("error");
    response.exceptionCode = reader.I32("exception code");
    const bool hasClaimed = ToBool(reader.U8("has-claimed"), "has-claimed flag");
    const std::int32_t claimed = reader.I32("claimed length");
    if (hasClaimed) {
        response.claimedLength = claimed;
    }
    response.bytes = reader.Bytes("bytes");
    reader.End();
    return response;
}

bool DecodeFlag(std::string_view payload) {
    Reader reader(payload);
    const bool value = ToBool(reader.U8("flag"), "flag");
    reader.End();
    return value;
}

void FrameDecoder::Feed(std::string_view bytes) {
    m_buffer.append(bytes);
    size_t offset = 0;
    while (m_buffer.size() - offset >= kLengthBytes) {
        std::uint32_t length = 0;
        for (size_t i = 0; i < kLengthBytes; ++i) {
            length = (length << 8) | static_cast<std::uint8_t>(m_buffer[offset + i]);
        }
        if (length > kMaxFramePayload) {
            m_buffer.erase(0, offset);
            throw ProtocolError("a frame announces " + std::to_string(length) +
                                " bytes, more than the limit of " +
                                std::to_string(kMaxFramePayload));
        }
        if (m_buffer.size() - offset - kLengthBytes < length) {
            break;
        }
        m_frames.push_back(m_buffer.substr(offset + kLengthBytes, length));
        offset += kLengthBytes + length;
    }
    m_buffer.erase(0, offset);
}

std::optional<std::string> FrameDecoder::Next() {
    if (m_frames.empty()) {
        return std::nullopt;
    }
    std::string frame = std::move(m_frames.front());
    m_frames.pop_front();
    return frame;
}

}  // namespace gwu::wire

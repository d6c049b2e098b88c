// The wire protocol between a client connection and gwemu over TCP.
//
// Every message is one frame: a 4-byte big-endian payload length, then the payload. Payloads
// larger than kMaxFramePayload are refused. Integers in payloads are big-endian; a text or
// byte string is a 4-byte length and its bytes.
//
// Client to server, first payload byte:
//   'C' connect            -> reply: 1 byte, 1 connected / 0 refused
//   'D' disconnect         -> reply: 1 byte, 1
//   'S' select card, text  -> reply: 1 byte, 1
//   'X' execute: builder u8, type i32, flags i32, capacity i32, timeout u32, data bytes
//       -> reply: outcome u8, error i32, exception code i32, has-claimed u8, claimed i32,
//          bytes. A Timeout outcome sends no reply (the client's own timeout ends the wait);
//          a Disconnect outcome closes the connection.
// gwemu answers every connect with 1, and closes the connection of a client whose frame is
// oversized or whose payload does not decode; a frame cut short by the client's close is dropped.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "gatewayutils/wire/DeviceMessages.h"

namespace gwu::wire {

constexpr std::uint32_t kMaxFramePayload = 64 * 1024;

// A decoding failure: malformed or oversized input.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class MessageKind : char { Connect = 'C', Disconnect = 'D', SelectCard = 'S', Execute = 'X' };

struct ClientMessage {
    MessageKind kind = MessageKind::Connect;
    std::string cardName;  // SelectCard
    Request request;       // Execute
};

// Whole frames (length prefix included).
std::string EncodeClientMessage(const ClientMessage& message);
std::string EncodeResponse(const Response& response);
std::string EncodeFlag(bool value);
// Any payload as a whole frame (a proxy passes on a payload as it came). Throws ProtocolError
// for a payload above kMaxFramePayload.
std::string EncodeFrame(std::string_view payload);

// Payloads (without the length prefix). Throw ProtocolError on malformed input.
ClientMessage DecodeClientMessage(std::string_view payload);
Response DecodeResponse(std::string_view payload);
bool DecodeFlag(std::string_view payload);

// Splits a byte stream into frame payloads, whatever the boundaries the bytes arrive in.
class FrameDecoder {
public:
    // Adds bytes. Throws ProtocolError when a frame announces more than kMaxFramePayload.
    void Feed(std::string_view bytes);
    // The next complete payload, if one has arrived.
    std::optional<std::string> Next();
    // Bytes received that do not yet make a complete frame.
    size_t Pending() const { return m_buffer.size(); }

private:
    std::string m_buffer;
    std::deque<std::string> m_frames;
};

}  // namespace gwu::wire

// What a host asks a gateway device and how the device's answer ends: the vocabulary the
// emulated gateway answers in and the frame protocol carries. It says nothing of who answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gwu::wire {

// Which request builder made a request.
enum class Builder : std::uint8_t {
    VsiReset = 1,            // communication-module reset
    MsiReset = 2,            // measurement-module reset
    VsiGetSerialNumber = 3,  // communication-module transfer (text, value, identity items)
    MsiGetCardDetails = 4,   // measurement-module detail request
    VsiSetSerialNumber = 5,  // communication-module write of an identity item
};

struct Request {
    Builder builder = Builder::VsiReset;
    std::int32_t type = 0;  // request type (reset: the reset request)
    std::int32_t flags = 0;
    std::int32_t capacity = 0;  // room for the reply (transfers), bytes sent (writes)
    std::string data;           // bytes the caller sent with the request
    std::uint32_t timeoutMs = 0;
};

// How a request ends.
enum class Outcome : std::uint8_t {
    Reply = 1,       // the device answered: error, bytes, length
    Throw = 2,       // the connection fails this request (a comms exception, with a code)
    Timeout = 3,     // the device never answers
    Disconnect = 4,  // the connection drops
};

struct Response {
    Outcome outcome = Outcome::Reply;
    std::int32_t error = 0;
    std::string bytes;                          // reply bytes (at most what the device sends)
    std::optional<std::int32_t> claimedLength;  // reported length when it differs from bytes
    std::int32_t exceptionCode = 0;             // for Throw
    // How long the device takes before it answers (for Timeout: how long the host waits in
    // vain). The connection spends it; it is not part of the answer sent over the wire.
    std::uint32_t delayMs = 0;
};

}  // namespace gwu::wire

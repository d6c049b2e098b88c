// Helpers for the bytes that come back from device requests.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace gwu {

// The error a request keeps when no connection filled it in: a request that was never carried
// out must never look like a success.
constexpr int kRequestNotCarried = -1;

// The text of a reply: the bytes up to the reply length, stopping at the first zero byte.
// A length outside 0..capacity is taken as no reply and as the full buffer respectively, so a
// reply claiming more than was sent never reads past the buffer.
inline std::string ReplyText(const char* buffer, int length, int capacity) {
    if (length <= 0 || capacity <= 0) {
        return {};
    }
    const size_t count = static_cast<size_t>(length < capacity ? length : capacity);
    const void* zero = std::memchr(buffer, '\0', count);
    const size_t textLength =
        zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - buffer) : count;
    return std::string(buffer, textLength);
}

}  // namespace gwu

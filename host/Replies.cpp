#include "host/Replies.h"

#include <algorithm>
#include <cstring>

namespace gwu::host {

std::string SentData(const SubRequest& request) {
    const auto count = static_cast<size_t>(std::max(request.capacity, 0));
    if (request.kind == SubRequestKind::VsiSetSerialNumber) {
        return request.data != nullptr ? std::string(request.data, count) : std::string{};
    }
    return request.buffer != nullptr ? std::string(request.buffer, count) : std::string{};
}

void FillReply(const SubRequest& request, std::string_view bytes, int error,
               std::optional<int> claimedLength) {
    if (request.buffer != nullptr && request.length != nullptr) {
        const size_t room = static_cast<size_t>(std::max(request.capacity, 0));
        const size_t count = std::min(bytes.size(), room);
        if (count > 0) {
            std::memcpy(request.buffer, bytes.data(), count);
        }
        *request.length = claimedLength.value_or(static_cast<int>(count));
    }
    if (request.error != nullptr) {
        *request.error = error;
    }
}

}  // namespace gwu::host

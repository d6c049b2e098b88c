// Filling a request's reply places, for every connection of the stand-in host.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "gatewayutils/platform/Comms.h"

namespace gwu::host {

// What the caller handed over with the request: the buffer's bytes for a transfer (its data on
// entry), the data for a write; nothing for a reset.
std::string SentData(const SubRequest& request);

// Writes a reply: at most the request's capacity of bytes into its buffer, the reply length
// (claimedLength when given, which may exceed what was written) and the error.
void FillReply(const SubRequest& request, std::string_view bytes, int error,
               std::optional<int> claimedLength = std::nullopt);

}  // namespace gwu::host

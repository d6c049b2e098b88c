#include "connections/EmulatorRequests.h"

#include <cstdint>

#include "host/Replies.h"
#include "wire/CommsFailures.h"

namespace gwu::host {

namespace {

wire::Builder BuilderOf(SubRequestKind kind) {
    switch (kind) {
        case SubRequestKind::VsiReset:
            return wire::Builder::VsiReset;
        case SubRequestKind::MsiReset:
            return wire::Builder::MsiReset;
        case SubRequestKind::VsiGetSerialNumber:
            return wire::Builder::VsiGetSerialNumber;
        case SubRequestKind::MsiGetCardDetails:
            return wire::Builder::MsiGetCardDetails;
        case SubRequestKind::VsiSetSerialNumber:
            return wire::Builder::VsiSetSerialNumber;
    }
    return wire::Builder::VsiReset;
}

}  // namespace

wire::Request ToEmulatorRequest(const SubRequest& request, int timeoutMs) {
    wire::Request out;
    out.builder = BuilderOf(request.kind);
    out.type = request.requestType;
    out.flags = request.flags;
    out.capacity = request.capacity;
    out.data = SentData(request);
    out.timeoutMs = timeoutMs > 0 ? static_cast<std::uint32_t>(timeoutMs) : 0;
    return out;
}

void ApplyResponse(const SubRequest& request, const wire::Response& response) {
    switch (response.outcome) {
        case wire::Outcome::Reply:
            FillReply(request, response.bytes, response.error, response.claimedLength);
            return;
        case wire::Outcome::Throw:
            throw CBaseCommsException(response.exceptionCode);
        case wire::Outcome::Timeout:
            throw CBaseCommsException(wire::kCommsTimeout);
        case wire::Outcome::Disconnect:
            throw CBaseCommsException(wire::kCommsReset);
    }
    throw CBaseCommsException(wire::kCommsMalformed);
}

}  // namespace gwu::host

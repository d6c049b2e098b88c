// A request of a sub-stream as the emulated gateway sees it, and the emulator's answer applied to
// the request as a real connection would: the reply places filled, or CBaseCommsException
// thrown. Shared by the in-process connection and the frame protocol's.
#pragma once

#include "gatewayutils/platform/Comms.h"
#include "gatewayutils/wire/Protocol.h"

namespace gwu::host {

wire::Request ToEmulatorRequest(const SubRequest& request, int timeoutMs);
// Fills the request's reply places from a reply; throws CBaseCommsException for any other
// outcome (the device's own code for a throw, the codes of wire/CommsFailures.h for the rest).
void ApplyResponse(const SubRequest& request, const wire::Response& response);

}  // namespace gwu::host

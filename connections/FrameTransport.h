// Carries the frames of the frame protocol (wire/Protocol.h) between a FrameConnection and a
// gateway server: over TCP to gwemu, or to a backend in this process.
#pragma once

#include <string>

namespace gwu::host {

// Used by one FrameConnection, which serializes the calls.
class FrameTransport {
public:
    virtual ~FrameTransport() = default;
    virtual bool IsOpen() const = 0;
    // Opens unless open already. Throws CBaseCommsException(kCommsRefused).
    virtual void Open() = 0;
    virtual void Close() = 0;
    // Sends a whole frame and returns the reply frame's payload, waited for up to the timeout
    // (scaled by GWU_TIMEOUT_SCALE). Throws CBaseCommsException for a timeout, a reset or bytes
    // that are not a frame, and closes the transport first.
    virtual std::string Exchange(const std::string& frame, int timeoutMs) = 0;
};

}  // namespace gwu::host

// Codes of the comms exceptions the stand-in host's connections throw themselves, besides the
// codes a device's own failures carry.
#pragma once

namespace gwu::host {

enum CommsFailure : int {
    kCommsRefused = 1001,    // the gateway cannot be reached
    kCommsTimeout = 1002,    // no reply within the request's timeout
    kCommsReset = 1003,      // the connection dropped
    kCommsMalformed = 1004,  // a reply that is not a valid frame
};

}  // namespace gwu::host

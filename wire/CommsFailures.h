// Codes of the comms exceptions a connection to a gateway server throws of its own, when the
// exchange itself fails rather than the device. Tools that make scenarios from recorded sessions
// use them to say what a host saw.
#pragma once

namespace gwu::wire {

enum CommsFailure : int {
    kCommsRefused = 1001,    // the gateway cannot be reached
    kCommsTimeout = 1002,    // no reply within the request's timeout
    kCommsReset = 1003,      // the connection dropped
    kCommsMalformed = 1004,  // a reply that is not a valid frame
};

}  // namespace gwu::wire

// A scenario made from a recorded session: the devices as the session found them, so that the
// emulator answers the session's reading requests as the gateway did.
//
// Each item a read answered (the releases, the CPLD revision, the serials, the MAC addresses,
// the measurement module's details) takes the bytes it answered; an item that answered "not
// available" (error 5), or that no read asked for, is left out. A CPLD that answered another
// error keeps that error. An answer that the device so described would not give becomes a fault
// at that request: an error, a throw, a timeout, a short or oversize reply, or a dropped
// connection. A reply that did not decode becomes a throw with the code the host's connection
// reports for such a reply (wire::kCommsMalformed), which is what the library saw of it. A fault
// names its card and its request type and counts every request of that type to that card (the
// builder is never needed to single it out). The time each request took is not reproduced: the
// scenario has no latency.
//
// Only a session that read the device can be made into a scenario: a write, an update or a
// reset changes what the later reads answer, and an item that answered two different texts has
// no one value to start from.
#pragma once

#include <string>

#include "gatewayutils/emulator/trace/Trace.h"

namespace gwu::emu {

// The scenario text (pretty JSON, ending in a newline) that answers the trace's reading requests
// as they were answered. Throws TraceError naming the first exchange it cannot express:
// "exchange N: <what> cannot be expressed in a scenario (...)".
std::string ScenarioFromTrace(const Trace& trace);

}  // namespace gwu::emu

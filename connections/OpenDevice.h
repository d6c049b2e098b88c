// The one place that turns the text naming a device into a connection to it, for gwctl and any
// other stand-in host program.
#pragma once

#include <memory>
#include <string>

#include "gatewayutils/platform/Comms.h"

namespace gwu::host {

// Opens the device a text names:
//   "emu:FILE"         an emulated gateway in this process, on the scenario file FILE, whose
//                      devices load their releases from firmwareFolder; the connection owns it
//   "tcp://HOST:PORT"  gwemu over TCP; the socket opens on first use
//   "replay:TRACE"     the session recorded in the trace file TRACE, replayed in this process
//                      with the messages of the TCP connection; a message that differs from
//                      the recorded one is refused with a line on stderr
//                      ("replay: exchange N: ...") and fails as a malformed reply
// Returns the connection and sets description to what it talks to, for the user; returns null
// and sets error to the reason when the text is malformed or the scenario or trace cannot be
// used.
std::unique_ptr<CBaseComms> OpenDevice(const std::string& device, const std::string& firmwareFolder,
                                       std::string& description, std::string& error);

}  // namespace gwu::host

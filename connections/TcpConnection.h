// The stand-in host's connection to gwemu (or any server of the frame protocol) over TCP.
#pragma once

#include <string>

#include "gatewayutils/connections/FrameConnection.h"

namespace gwu::host {

// The socket opens on first use (see FrameConnection for failures and sharing).
class TcpConnection : public FrameConnection {
public:
    TcpConnection(std::string host, int port);

    // Parses "tcp://HOST:PORT" or "HOST:PORT"; false when malformed.
    static bool ParseAddress(const std::string& text, std::string& host, int& port);
};

}  // namespace gwu::host

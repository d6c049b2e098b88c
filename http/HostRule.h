// Which Host headers a server answers. A server on loopback answers only its own address: a page
// of another site that points a name of its own at 127.0.0.1 (its requests then carry that name)
// cannot reach it. A server on another address answers any Host.
#pragma once

#include <string>
#include <vector>

namespace gwu::http {

class HostRule {
public:
    HostRule() = default;  // any Host

    // The Host headers of a loopback server listening on the host (as a URL writes it: an IPv6
    // address in brackets) and the port: that address and the names of loopback, each with the
    // port.
    static HostRule Loopback(const std::string& urlHost, int port);

    bool Allows(const std::string& host) const;

private:
    std::vector<std::string> m_hosts;  // empty: any
};

}  // namespace gwu::http

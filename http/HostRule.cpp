#include "http/HostRule.h"

#include <algorithm>

namespace gwu::http {

HostRule HostRule::Loopback(const std::string& urlHost, int port) {
    HostRule rule;
    const std::string suffix = ":" + std::to_string(port);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
        rule.m_hosts.push_back(name + suffix);
    }
    rule.m_hosts.push_back(urlHost + suffix);
    return rule;
}

bool HostRule::Allows(const std::string& host) const {
    return m_hosts.empty() || std::find(m_hosts.begin(), m_hosts.end(), host) != m_hosts.end();
}

}  // namespace gwu::http

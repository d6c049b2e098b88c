#include "wire/Address.h"

namespace gwu::wire {

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string NotLoopbackWarning(const std::string& program, const std::string& verb,
                               const std::string& host, const std::string& exposed) {
    return program + ": warning: " + verb + " on " + host +
           ", not on loopback: anyone who can reach this address " + exposed;
}

}  // namespace gwu::wire

// The stand-in host's execution engine: it only records the busy notifications it receives.
#pragma once

#include <utility>
#include <vector>

class EE_CExecutionEngine {
public:
    // Each notification as (on, always), in the order received.
    std::vector<std::pair<bool, bool>> busyNotifications;
};

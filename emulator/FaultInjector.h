// The scenario's fault rules at work: which requests of which card the emulated devices answer
// wrongly, and the wrong answer they give in place of the device's.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "emulator/Gateway.h"
#include "emulator/Scenario.h"

namespace gwu::emu {

// Not thread-safe: Gateway serialises all access.
class FaultInjector {
public:
    explicit FaultInjector(std::vector<FaultRule> rules);

    // Counts the request against every rule it matches; the first rule listed that is due wins.
    // Null when no rule is due.
    const FaultRule* Match(const Request& request, bool communication);

    // The answer a fault rule puts in place of the device's; it changes no state. An oversize
    // fault pads the device's normal answer, which `unchanged` computes without changing the
    // device's state; no other fault calls it.
    static Response Answer(const FaultRule& fault, const Request& request,
                           const std::function<Response()>& unchanged);

private:
    // The normal answer padded beyond the request's room, with a length that claims the excess.
    static Response OversizeReply(Response normal, const Request& request);

    std::vector<FaultRule> m_rules;
    std::vector<std::int64_t> m_counts;  // matching requests seen, capped at the nth
};

}  // namespace gwu::emu

// The scenario's fault rules at work: which requests of which card the emulated devices answer
// wrongly, and the wrong answer they give in place of the device's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <vector>

#include "emulator/model/Gateway.h"
#include "emulator/scenario/Scenario.h"

namespace gwu::emu {

// Not thread-safe: Gateway serialises all access.
class FaultInjector {
public:
    FaultInjector(std::vector<FaultRule> rules, std::optional<RandomFaults> random);

    // Counts the request against every rule it matches; the first rule listed that is due wins.
    // Otherwise the random faults, when the scenario has them, draw for the request. Null when
    // no fault is due. The rule returned lives until the next call.
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
    std::optional<RandomFaults> m_random;
    std::mt19937_64 m_draws;
    FaultRule m_drawn;  // the random fault last drawn
};

}  // namespace gwu::emu

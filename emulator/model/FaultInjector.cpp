#include "emulator/model/FaultInjector.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "emulator/model/DeviceReplies.h"

namespace gwu::emu {

namespace {

constexpr std::int32_t kOversizeExtra = 16;
constexpr char kOversizePad = '#';
constexpr std::uint64_t kFaultKinds = 6;  // Throw to Disconnect

}  // namespace

FaultInjector::FaultInjector(std::vector<FaultRule> rules, std::optional<RandomFaults> random)
    : m_rules(std::move(rules)),
      m_counts(m_rules.size(), 0),
      m_random(random),
      m_draws(random ? random->seed : 0) {}

const FaultRule* FaultInjector::Match(const Request& request, bool communication) {
    const FaultRule* due = nullptr;
    for (size_t i = 0; i < m_rules.size(); ++i) {
        const FaultRule& rule = m_rules[i];
        if (rule.communication != communication ||
            (rule.request && *rule.request != static_cast<std::uint32_t>(request.type)) ||
            (rule.builder && *rule.builder != request.builder)) {
            continue;
        }
        const std::int64_t count = ++m_counts[i];
        const bool hit = rule.repeat ? count >= rule.nth : count == rule.nth;
        if (hit && due == nullptr) {
            due = &rule;
        }
        // Counts beyond the nth decide nothing more; capping them keeps long runs in range.
        m_counts[i] = std::min<std::int64_t>(count, rule.nth);
    }
    if (due != nullptr || !m_random) {
        return due;
    }
    // Two draws for each request no listed rule faults, whatever they decide, so that each moves
    // the generator alike. The engine's output is fixed by the standard; the arithmetic is exact.
    constexpr double kUnit = 1.0 / 9007199254740992.0;  // 2^-53
    const double chance = static_cast<double>(m_draws() >> 11) * kUnit;
    const std::uint64_t kind = m_draws() % kFaultKinds;
    if (chance >= m_random->probability) {
        return nullptr;
    }
    m_drawn = FaultRule{};
    m_drawn.communication = communication;
    m_drawn.kind = static_cast<FaultKind>(kind);
    m_drawn.error = 1;
    return &m_drawn;
}

Response FaultInjector::Answer(const FaultRule& fault, const Request& request,
                               const std::function<Response()>& unchanged) {
    Response response;
    switch (fault.kind) {
        case FaultKind::Throw:
            response.outcome = Outcome::Throw;
            response.exceptionCode = fault.error;
            break;
        case FaultKind::Error:
            response.error = fault.error;
            break;
        case FaultKind::Timeout:
            response.outcome = Outcome::Timeout;
            break;
        case FaultKind::Short:
            break;
        case FaultKind::Oversize:
            response = OversizeReply(unchanged(), request);
            break;
        case FaultKind::Disconnect:
            response.outcome = Outcome::Disconnect;
            break;
    }
    return response;
}

Response FaultInjector::OversizeReply(Response normal, const Request& request) {
    const size_t padded = Room(request) + kOversizeExtra;
    normal.outcome = Outcome::Reply;
    normal.error = 0;
    normal.bytes.resize(std::max(normal.bytes.size(), padded), kOversizePad);
    normal.claimedLength = static_cast<std::int32_t>(std::min<std::int64_t>(
        std::int64_t{request.capacity < 0 ? 0 : request.capacity} + kOversizeExtra,
        std::numeric_limits<std::int32_t>::max()));
    return normal;
}

}  // namespace gwu::emu

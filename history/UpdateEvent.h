// The history's event of a check or an update made with the SDK's verified update
// (gateway/VerifiedUpdate.h), so that a host records what gwctl records. Header-only: the history
// target stays apart from the library, and a host that links both compiles it.
#pragma once

#include <string>
#include <vector>

#include "gatewayutils/gateway/VerifiedUpdate.h"
#include "gatewayutils/history/Event.h"

namespace gwu::history {

// "LC", "PROM", "BS", "CPLD", "MAC".
inline const char* CodeTypeLabel(CODETYPE codeType) {
    constexpr const char* kLabels[] = {"LC", "PROM", "BS", "CPLD", "MAC"};
    return codeType >= LC_CODE && codeType <= MAC_CODE ? kLabels[codeType] : "?";
}

// The event of a check (first and last the same check, no rounds) or of an update (the check it
// started from, the last check, its rounds): per code type the device's release in the first
// and in the last check, the disk release, the last verdict and whether it was compared; each
// round's evidence. The caller adds who and where (tester, tool, library, card), the folder and
// the exit status; the writer adds the id, the sequence and the time.
inline Event EventOf(const std::string& operation, const CheckRecord& first,
                     const CheckRecord& last, const std::vector<UpdateRound>& rounds = {}) {
    Event event;
    event.operation = operation;
    event.serial = last.serial;
    for (const CodeTypeCheck& after : last.codeTypes) {
        const CodeTypeCheck* before = first.Find(after.codeType);
        event.codeTypes.push_back(
            {CodeTypeLabel(after.codeType), before != nullptr ? before->device : after.device,
             after.device, after.disk.value_or(""), DiffTypeWord(after.verdict), after.compared});
    }
    for (const UpdateRound& round : rounds) {
        const char* result = round.result == UPDATE_SUCCEEDED ? "succeeded"
                             : round.result == UPDATE_FAILED  ? "failed"
                                                              : "not run";
        event.rounds.push_back({round.number, CodeTypeLabel(round.codeType), result, round.expected,
                                round.reported, round.took, round.refused});
    }
    return event;
}

inline Event EventOf(const UpdateRecord& record) {
    return EventOf("update", record.first, record.last, record.rounds);
}

}  // namespace gwu::history

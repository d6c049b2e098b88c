#include "gateway/VerifiedUpdate.h"

#include <map>
#include <set>
#include <utility>

#include "devices/ValueNames.h"
#include "platform/FirmwareFiles.h"

namespace gwu {

namespace {

bool IsCommunicationCard(const CString& card) {
    return card == "VCL";  // the facade's own rule (SetCardName)
}

}  // namespace

std::vector<CODETYPE> FamilyCodeTypes(const CString& card) {
    if (IsCommunicationCard(card)) {
        return {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE};
    }
    return {LC_CODE, PROM_CODE};
}

bool IsReleaseCompared(CODETYPE codeType) {
    return codeType == LC_CODE || codeType == PROM_CODE || codeType == BS_CODE;
}

const CodeTypeCheck* CheckRecord::Find(CODETYPE codeType) const {
    for (const CodeTypeCheck& check : codeTypes) {
        if (check.codeType == codeType) {
            return &check;
        }
    }
    return nullptr;
}

VerifiedUpdate::VerifiedUpdate(CGatewayChecks& checks, CTabQuillonFrame& frame, CString card)
    : m_checks(checks), m_frame(frame), m_card(std::move(card)) {}

std::optional<CString> VerifiedUpdate::DiskRelease(CODETYPE codeType) {
    const CString fileName = m_checks.GetFilename("", codeType, true);
    CString id;
    if (fileName.empty() || !CGatewayFileUtils().GetHLXVersionFromFile(fileName, id)) {
        return std::nullopt;
    }
    return id;
}

CheckRecord VerifiedUpdate::Check() {
    CheckRecord record;
    if (onStep) {
        onStep("reading", LC_CODE);
    }
    record.read = m_checks.SetReleaseIds(true);
    record.results = m_checks.PerformAllChecks();
    const bool communication = IsCommunicationCard(m_card);
    m_frame.GetValueStore().GetValue(communication ? kHLXSerialNumValue : kQPTSerialNumValue,
                                     &record.serial, CTabValueStore::kMaxLength);
    for (const CODETYPE codeType : FamilyCodeTypes(m_card)) {
        const ReleaseValueNames& names =
            communication ? kHLXReleaseValues[codeType] : kQPTReleaseValues[codeType];
        CodeTypeCheck check;
        check.codeType = codeType;
        m_frame.GetValueStore().GetValue(names.untrimmed, &check.device,
                                         CTabValueStore::kMaxLength);
        m_frame.GetValueStore().GetValue(names.trimmed, &check.trimmed, CTabValueStore::kMaxLength);
        if (IsReleaseCompared(codeType)) {
            check.disk = DiskRelease(codeType);
        } else if (codeType == CPLD_CODE && !m_checks.GetCustomCPLDFileName().empty()) {
            check.disk = m_checks.GetCustomCPLDFileName();
        }
        check.compared = record.read && IsReleaseCompared(codeType) && check.disk.has_value();
        check.verdict = record.results.GetDiff(codeType);
        record.codeTypes.push_back(std::move(check));
    }
    return record;
}

UpdateRecord VerifiedUpdate::Run(CheckRecord first) {
    UpdateRecord record;
    record.first = first;
    record.last = std::move(first);
    if (!record.last.read || !record.last.results.DifferencesFound()) {
        return record;
    }
    if (beforeUpdating) {
        record.refused = beforeUpdating();
        if (!record.refused.empty()) {
            return record;
        }
    }
    std::map<CODETYPE, int> failuresInARow;
    std::set<CODETYPE> givenUp;
    for (int number = 1; number <= maxRounds && record.last.read; ++number) {
        // A code type given up on is left as it is; the others still get their turn.
        CCodeDiffResults asked = record.last.results;
        for (const CODETYPE codeType : givenUp) {
            asked.SetDiff(codeType, DIFF_SAME);
        }
        UpdateRound round;
        round.number = number;
        if (!CGatewayChecks::SelectUpdateCodeType(asked, round.codeType)) {
            break;  // never asked with nothing differing: the facade would repeat the last
        }
        round.expected = DiskRelease(round.codeType);
        round.before = record.last.results;
        if (onStep) {
            onStep("updating", round.codeType);
        }
        m_checks.PerformUpdate(asked);
        round.result = m_checks.WaitForUpdate();
        round.refused = m_checks.GetFileRefusal();
        record.last = Check();
        round.after = record.last.results;
        const CodeTypeCheck* after = record.last.Find(round.codeType);
        round.reported = after != nullptr ? after->device : CString();
        round.took = record.last.read && after != nullptr && after->verdict == DIFF_SAME &&
                     (!IsReleaseCompared(round.codeType) || after->compared);
        round.failuresInARow = round.took ? 0 : failuresInARow[round.codeType] + 1;
        failuresInARow[round.codeType] = round.failuresInARow;
        if (round.failuresInARow >= failuresBeforeGivingUp) {
            givenUp.insert(round.codeType);
            round.givenUp = true;
        }
        record.rounds.push_back(round);
        if (onRound) {
            onRound(round, record.last);
        }
        if (!round.refused.empty()) {
            record.refused = round.refused;  // a file changed since the check: stop here
            break;
        }
    }
    return record;
}

}  // namespace gwu

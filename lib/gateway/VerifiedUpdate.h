// The verified update a host runs on the facade, round by round: check the device, update the
// first code type that differs, check again, until nothing differs. Only a check tells whether
// an update took, so each round carries its evidence: the release placed, the release the
// device reports afterwards, and whether that is the release on disk. A code type whose update
// did not take twice in a row is not tried again (the others still get their turn), at most six
// rounds run, and a round the host's file check refused ends the run (no later round would fare
// better).
//
// Everything runs on the calling thread, through the facade's public operations; the facade
// and the frame are borrowed and outlive the object. gwctl and gwctl serve run their updates
// through it; a host records the same evidence with it (the history's events are made from an
// UpdateRecord).
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "gatewayutils/base/Export.h"
#include "gatewayutils/gateway/CCodeDiffResults.h"
#include "gatewayutils/gateway/CGatewayChecks.h"
#include "gatewayutils/platform/CodeTypes.h"
#include "gatewayutils/platform/Types.h"
#include "gatewayutils/platform/ValueStore.h"

namespace gwu {

// The family's code types for a card name, in code-type order: all five for the communication
// module ("VCL"), loaded code and PROM for the measurement module (every other name).
GWU_API std::vector<CODETYPE> FamilyCodeTypes(const CString& card);
// Whether a code type's verdict compares the device's release with a release on disk (loaded
// code, PROM, bootstrap); the CPLD follows the custom-CPLD rule and the cable firmware has no
// release file.
GWU_API bool IsReleaseCompared(CODETYPE codeType);

// One code type as a check found it.
struct CodeTypeCheck {
    CODETYPE codeType = LC_CODE;
    CString device;               // the device's release as published, untrimmed
    CString trimmed;              // and trimmed
    std::optional<CString> disk;  // the disk release; for the CPLD the custom CPLD file set
    bool compared = false;        // the verdict rests on a comparison with a disk release
    DIFFTYPE verdict = DIFF_SAME;
};

struct GWU_API CheckRecord {
    bool read = false;                     // the device was read
    CString serial;                        // the serial number the device published
    CCodeDiffResults results;              // exactly as the facade returned them
    std::vector<CodeTypeCheck> codeTypes;  // the family's, in code-type order

    const CodeTypeCheck* Find(CODETYPE codeType) const;
};

// One round: the code type tried, the verdicts around it and whether it took.
struct UpdateRound {
    int number = 0;
    CODETYPE codeType = LC_CODE;
    CCodeDiffResults before;
    CCodeDiffResults after;
    UPDATERESULT result = UPDATE_NOT_RUN;  // the device operation's own result
    std::optional<CString> expected;       // the release placed; none without one on disk
    CString reported;                      // the device's release after the round
    bool took = false;                     // the check after it finds the disk release
    int failuresInARow = 0;
    bool givenUp = false;  // failed too often in a row: not tried again
    CString refused;       // why the facade sent nothing (GetFileRefusal); empty when it sent
};

struct UpdateRecord {
    CheckRecord first;  // the check the run started from
    CheckRecord last;   // the check after the last round (first without rounds)
    std::vector<UpdateRound> rounds;
    CString refused;  // why nothing, or nothing more, was sent; empty otherwise
};

class GWU_API VerifiedUpdate {
public:
    // The card is the one the facade was given (SetCardName): it names the family.
    VerifiedUpdate(CGatewayChecks& checks, CTabQuillonFrame& frame, CString card);

    // Optional, each called on the calling thread:
    // - before each wait on the device: "reading", or "updating" with the code type;
    std::function<void(const char* step, CODETYPE codeType)> onStep;
    // - after each round, with the round and the check after it;
    std::function<void(const UpdateRound& round, const CheckRecord& check)> onRound;
    // - once before the first update request: a reason to send nothing at all (a firmware
    //   folder the host's policy refuses), or an empty text.
    std::function<CString()> beforeUpdating;
    int maxRounds = 6;
    int failuresBeforeGivingUp = 2;

    // Reads the device and runs the checks.
    CheckRecord Check();
    // Goes on from the check, round by round, until nothing differs.
    UpdateRecord Run(CheckRecord first);

private:
    // The release identifier in the code type's release file on disk, if any.
    std::optional<CString> DiskRelease(CODETYPE codeType);

    CGatewayChecks& m_checks;
    CTabQuillonFrame& m_frame;
    CString m_card;
};

}  // namespace gwu

// The five verdicts of one check, one per code type, in code-type order.
#pragma once

#include "gatewayutils/base/Export.h"
#include "gatewayutils/platform/CodeTypes.h"
#include "gatewayutils/platform/Types.h"

namespace gwu {
// "Same", "Newer", "Older", "Forced"; an empty word for any other value.
GWU_API const char* DiffTypeWord(DIFFTYPE diffType);
}  // namespace gwu

class GWU_API CCodeDiffResults {
public:
    CCodeDiffResults() = default;

    // True when at least one verdict is not DIFF_SAME.
    bool DifferencesFound() const;
    // "LC:%s, PROM:%s, BS:%s, CPLD:%s, MAC:%s," with the verdicts' words.
    CString ToString() const;
    // The verdict of one code type, for code that walks the code types; DIFF_SAME for a value
    // outside CODETYPE. The fields below stay the record's public face.
    DIFFTYPE GetDiff(CODETYPE codeType) const;
    // Sets the verdict of one code type; a value outside CODETYPE changes nothing.
    void SetDiff(CODETYPE codeType, DIFFTYPE diffType);

    DIFFTYPE m_eLC = DIFF_SAME;
    DIFFTYPE m_ePROM = DIFF_SAME;
    DIFFTYPE m_eBS = DIFF_SAME;
    DIFFTYPE m_eCPLD = DIFF_SAME;
    DIFFTYPE m_eMAC = DIFF_SAME;

private:
    // "Same", "Newer", "Older", "Forced"; an empty word for any other value.
    static CString DiffTypeToString(DIFFTYPE diffType);
    // The field of a code type; null for a value outside CODETYPE.
    static DIFFTYPE CCodeDiffResults::*FieldOf(CODETYPE codeType);
};

#include "gateway/CCodeDiffResults.h"

bool CCodeDiffResults::DifferencesFound() const {
    return m_eLC != DIFF_SAME || m_ePROM != DIFF_SAME || m_eBS != DIFF_SAME ||
           m_eCPLD != DIFF_SAME || m_eMAC != DIFF_SAME;
}

CString CCodeDiffResults::ToString() const {
    return "LC:" + DiffTypeToString(m_eLC) + ", PROM:" + DiffTypeToString(m_ePROM) +
           ", BS:" + DiffTypeToString(m_eBS) + ", CPLD:" + DiffTypeToString(m_eCPLD) +
           ", MAC:" + DiffTypeToString(m_eMAC) + ",";
}

DIFFTYPE CCodeDiffResults::*CCodeDiffResults::FieldOf(CODETYPE codeType) {
    switch (codeType) {
        case LC_CODE:
            return &CCodeDiffResults::m_eLC;
        case PROM_CODE:
            return &CCodeDiffResults::m_ePROM;
        case BS_CODE:
            return &CCodeDiffResults::m_eBS;
        case CPLD_CODE:
            return &CCodeDiffResults::m_eCPLD;
        case MAC_CODE:
            return &CCodeDiffResults::m_eMAC;
    }
    return nullptr;
}

DIFFTYPE CCodeDiffResults::GetDiff(CODETYPE codeType) const {
    DIFFTYPE CCodeDiffResults::*const field = FieldOf(codeType);
    return field != nullptr ? this->*field : DIFF_SAME;
}

void CCodeDiffResults::SetDiff(CODETYPE codeType, DIFFTYPE diffType) {
    if (DIFFTYPE CCodeDiffResults::*const field = FieldOf(codeType)) {
        this->*field = diffType;
    }
}

CString CCodeDiffResults::DiffTypeToString(DIFFTYPE diffType) {
    return gwu::DiffTypeWord(diffType);
}

const char* gwu::DiffTypeWord(DIFFTYPE diffType) {
    switch (diffType) {
        case DIFF_SAME:
            return "Same";
        case DIFF_NEWER:
            return "Newer";
        case DIFF_OLDER:
            return "Older";
        case DIFF_FORCED:
            return "Forced";
    }
    return "";
}

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

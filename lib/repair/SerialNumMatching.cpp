// CHLXSerialNumRepair's matching of what the device still holds against the deployed-unit
// list: the wildcard comparison, the reading of the list, and the choice of an entry by the list
// alone or by the serial number the user typed.
#include "repair/CHLXSerialNumRepair.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

constexpr size_t kSerialLength = sizeof(CHLXSerialNumRepair::RepairData::PartialSerialNum);
constexpr size_t kMacLength = sizeof(CHLXSerialNumRepair::RepairData::CombinedMAC);

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool CHLXSerialNumRepair::PartialCompare(std::string_view text, const char* pattern, size_t count) {
    for (size_t j = 0; j < count; ++j) {
        const char c = j < text.size() ? text[j] : '\0';
        if (pattern[j] != '\0' && c != pattern[j]) {
            return false;
        }
    }
    return true;
}

namespace {

// The positions a wildcard pattern fixes: comparing only those gives PartialCompare's answer
// without walking the wildcards of every entry again.
struct FixedPositions {
    FixedPositions(const char* source, size_t count) : pattern(source) {
        for (size_t j = 0; j < count; ++j) {
            if (source[j] != '\0') {
                at[size++] = static_cast<unsigned char>(j);
            }
        }
    }
    bool Match(std::string_view text) const {
        for (size_t k = 0; k < size; ++k) {
            const size_t j = at[k];
            if (j >= text.size() || text[j] != pattern[j]) {
                return false;
            }
        }
        return true;
    }
    const char* pattern = nullptr;
    unsigned char at[16] = {};
    size_t size = 0;
};

}  // namespace

std::vector<int> CHLXSerialNumRepair::PartialMatches(const gwu::CDeployedUnitList& list,
                                                     const char (&partialSerial)[16],
                                                     const char (&combinedMAC)[12]) {
    const FixedPositions serial(partialSerial, kSerialLength);
    const FixedPositions mac(combinedMAC, kMacLength);
    std::vector<int> matches;
    for (size_t i = 0; i < list.Count(); ++i) {
        if (serial.Match(list.SerialNumber(i)) && mac.Match(list.MACAddress(i))) {
            matches.push_back(static_cast<int>(i));
        }
    }
    return matches;
}

bool CHLXSerialNumRepair::ParseHLXFileName() {
    NotifyHost(true);
    const bool bReply = m_list.Read(m_pData->CombinedMAC);
    size_t entries = 0;
    if (bReply) {
        m_pEntries = &m_list;
        entries = m_list.Count();
        m_PartialMatchIndices =
            PartialMatches(m_list, m_pData->PartialSerialNum, m_pData->CombinedMAC);
    }
    RepairReportLog(
        "ParseHLXFileName...bReply %d m_PartialMatchIndices count %d m_pSerialNumbers count %d",
        bReply ? 1 : 0, static_cast<int>(m_PartialMatchIndices.size()), static_cast<int>(entries));
    NotifyHost(false);
    return bReply;
}

bool CHLXSerialNumRepair::SelectSingleMatch() {
    if (m_PartialMatchIndices.size() != 1 || m_pEntries == nullptr) {
        return false;
    }
    m_strRecoveredSerialNum =
        CString(m_pEntries->SerialNumber(static_cast<size_t>(m_PartialMatchIndices[0])));
    return true;
}

bool CHLXSerialNumRepair::MatchEnteredSerialNum(const CString& text) {
    if (text.empty() || m_pEntries == nullptr) {
        return false;
    }
    for (const int index : m_PartialMatchIndices) {
        if (EqualNoCase(text, m_pEntries->SerialNumber(static_cast<size_t>(index)))) {
            m_PartialMatchIndices.assign(1, index);
            m_strRecoveredSerialNum = text;
            return true;
        }
    }
    return false;
}

bool CHLXSerialNumRepair::MatchEnteredSerialNumByBits() {
    // An empty typed text names no entry, not even one whose serial number is empty.
    if (m_pEntries == nullptr || m_pEntries->Count() == 0 || m_strUserSerialNum.empty()) {
        return false;
    }
    const RepairData& data = *m_pData;
    for (size_t i = 0; i < m_pEntries->Count(); ++i) {
        const std::string_view serial = m_pEntries->SerialNumber(i);
        bool compatible = true;
        for (size_t j = 0; j < kSerialLength && compatible; ++j) {
            const auto partial = static_cast<unsigned char>(data.PartialSerialNum[j]);
            const auto listed = static_cast<unsigned char>(j < serial.size() ? serial[j] : '\0');
            compatible = partial == 0 || (partial & listed) == partial;
        }
        if (compatible && EqualNoCase(m_strUserSerialNum, serial)) {
            m_PartialMatchIndices.assign(1, static_cast<int>(i));
            m_strRecoveredSerialNum = m_strUserSerialNum;
            return true;
        }
    }
    return false;
}

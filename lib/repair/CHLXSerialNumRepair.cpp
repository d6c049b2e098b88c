#include "repair/CHLXSerialNumRepair.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "dialogs/CUserEntry.h"
#include "os/Format.h"
#include "platform/Engine.h"
#include "platform/Popup.h"
#include "repair/RepairReport.h"

namespace {

constexpr int kReadTimeoutMs = 10000;
constexpr int kWriteTimeoutMs = 30000;
constexpr int kReadLogLine = 1034;
constexpr size_t kDumpLimit = 40;
constexpr size_t kSerialLength = 16;
constexpr size_t kMacLength = 12;
// What a device's return value holds until a reply sets it: a command that never ran fails.
constexpr int kNotExecuted = -1;

// " 0x.." for each of the first bytes, each byte taken as a signed character.
std::string Dump(const char* buffer, int length, int capacity) {
    const int count = std::min({length, capacity, static_cast<int>(kDumpLimit)});
    std::string dump;
    char item[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(item, sizeof item, " 0x%x",
                      static_cast<unsigned>(static_cast<int>(static_cast<signed char>(buffer[i]))));
        dump += item;
    }
    return dump;
}

bool IsAlphanumeric(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Characters before the first zero byte, at most the size.
size_t TextLength(const char* text, size_t size) {
    const void* zero = std::memchr(text, '\0', size);
    return zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - text) : size;
}

}  // namespace

std::atomic<int> CHLXSerialNumRepair::s_repairCount{0};

namespace {
std::atomic<gwu::RepairOutcome> g_lastOutcome{gwu::RepairOutcome::None};
}  // namespace

namespace gwu {

RepairOutcome LastRepairOutcome() {
    return g_lastOutcome;
}

const char* RepairOutcomeWord(RepairOutcome outcome) {
    switch (outcome) {
        case RepairOutcome::Silent:
            return "silent";
        case RepairOutcome::Typed:
            return "typed";
        case RepairOutcome::Refused:
            return "refused";
        case RepairOutcome::Failed:
            return "failed";
        case RepairOutcome::None:
            break;
    }
    return "none";
}

}  // namespace gwu

CHLXSerialNumRepair::CHLXSerialNumRepair(EE_CExecutionEngine* pEngine, CommsCallback commsCallback)
    : m_pEngine(pEngine),
      m_pData(std::make_unique<RepairData>()),
      m_pfnCommsCallback(std::move(commsCallback)) {
    RepairReportLog("CHLXSerialNumRepair constructor pEngine 0x%x",
                    static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pEngine)));
    std::memset(m_pData.get(), 0, sizeof(RepairData));
    ++s_repairCount;
}

CHLXSerialNumRepair::~CHLXSerialNumRepair() = default;

int CHLXSerialNumRepair::GetRepairCount() {
    return s_repairCount;
}

bool CHLXSerialNumRepair::RepairOnce(CommsCallback commsCallback, CString& serialNum) {
    if (GetRepairCount() != 0) {
        return false;
    }
    CHLXSerialNumRepair repair(nullptr, std::move(commsCallback));
    if (!repair.RepairSerialNumber()) {
        return false;
    }
    serialNum = repair.GetRepairedSerialNum();
    return true;
}

void CHLXSerialNumRepair::ResetRepairCountForTesting() {
    s_repairCount = 0;
    g_lastOutcome = gwu::RepairOutcome::None;
}

CString CHLXSerialNumRepair::GetRepairedSerialNum() const {
    return m_strRecoveredSerialNum;
}

bool CHLXSerialNumRepair::IsNewSerialNum() const {
    return !m_strRecoveredSerialNum.empty();
}

void CHLXSerialNumRepair::RepairReportLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = gwu::FormatArgs(format, args);
    va_end(args);
    gwu::RepairReport::Line(line);
}

// ---------------------------------------------------------------------------------------------
// Device commands

bool CHLXSerialNumRepair::GetPartialHLXData(int requestType, char* buffer, int nBufferLength,
                                            int nFlags) {
    int nError = 0;
    int nRetValue = kNotExecuted;
    const int capacity = nBufferLength;
    CSubStream command;
    RepairReportLog("GetPartialHLXData LINE %d nBufferLength (in) %d flags 0x%x timeout %d",
                    kReadLogLine, nBufferLength, static_cast<unsigned>(nFlags), kReadTimeoutMs);
    VSI_GetSerialNumber(command, requestType, &nBufferLength, buffer, nFlags, &nRetValue);
    if (m_pfnCommsCallback) {
        nError = m_pfnCommsCallback(command, kReadTimeoutMs, false, false);
    }
    RepairReportLog(
        "GetPartialHLXData OUT..nBufferLength %d ExecuteSubCommand nError %d nRetValue %d "
        "BUFFER <%s>",
        nBufferLength, nError, nRetValue, Dump(buffer, nBufferLength, capacity).c_str());
    return nBufferLength > 0 && nRetValue == 0;
}

bool CHLXSerialNumRepair::SetPartialHLXData(int requestType, char* buffer, int nBufferLength,
                                            int nFlags) {
    int nError = 0;
    int nRetValue = kNotExecuted;
    CSubStream command;
    VSI_SetSerialNumber(command, requestType, nBufferLength, buffer, nFlags, &nRetValue);
    if (m_pfnCommsCallback) {
        nError = m_pfnCommsCallback(command, kWriteTimeoutMs, false, true);
    }
    RepairReportLog(
        "SetPartialHLXData RequestType 0x%x  nBufferLength %d nFlags 0x%x ExecuteSubCommand "
        "nError %d nRetValue %d timeout %d BUFFER <%s>",
        static_cast<unsigned>(requestType), nBufferLength, static_cast<unsigned>(nFlags), nError,
        nRetValue, kWriteTimeoutMs, Dump(buffer, nBufferLength, nBufferLength).c_str());
    return nRetValue == 0;
}

// ---------------------------------------------------------------------------------------------
// The repair

bool CHLXSerialNumRepair::RepairSerialNumber() {
    bool result = false;
    bool asked = false;
    g_lastOutcome = gwu::RepairOutcome::Failed;
    if (!GetPartialDataFromHLX()) {
        return false;
    }
    MergeAndSanitise();
    if (!ParseHLXFileName()) {
        return false;
    }
    if (SelectSingleMatch()) {
        result = true;
    } else {
        asked = true;
        result = AskUserForSerialNum();
        if (!result) {
            result = MatchEnteredSerialNumByBits();
        }
        if (!result) {
            g_lastOutcome = gwu::RepairOutcome::Refused;
            ShowResult(false);
            return false;
        }
    }

    NotifyHost(true);
    std::memcpy(m_pData->NewSerialNum, m_strRecoveredSerialNum.data(),
                std::min(m_strRecoveredSerialNum.size(), kSerialLength));
    ComputeNewMACs();
    const bool written = WriteBackToHLX();
    if (written && asked) {
        const bool ok = VerifyWriteBack();
        NotifyHost(false);
        ShowResult(ok);
        result = ok;
    } else {
        NotifyHost(false);
    }
    g_lastOutcome = !result ? gwu::RepairOutcome::Failed
                    : asked ? gwu::RepairOutcome::Typed
                            : gwu::RepairOutcome::Silent;
    return result;
}

bool CHLXSerialNumRepair::GetPartialDataFromHLX() {
    RepairData& data = *m_pData;
    RepairReportLog("About to call GetPartialHLXData for VSI_GET_CARD_SERIAL_NUM flags 0");
    bool retrieved = GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, data.PartialSerialNum,
                                       sizeof data.PartialSerialNum, 0);
    if (!retrieved) {
        RepairReportLog(
            "About to call GetPartialHLXData for VSI_GET_CARD_SERIAL_NUM flags "
            "VSI_READ_FROM_STORAGE");
        retrieved = GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, data.PartialSerialNum,
                                      sizeof data.PartialSerialNum, VSI_READ_FROM_STORAGE);
    }
    if (retrieved) {
        RepairReportLog("About to call GetPartialHLXData for PartialEthernetMACAddress");
        retrieved = GetPartialHLXData(VSI_GET_MAC_ADDRESS, data.PartialEthernetMACAddress,
                                      sizeof data.PartialEthernetMACAddress,
                                      VSI_ETHERNET_MAC | VSI_READ_FROM_STORAGE);
    }
    if (retrieved) {
        RepairReportLog("About to call GetPartialHLXData for PartialUSBMACAddress");
        retrieved = GetPartialHLXData(VSI_GET_MAC_ADDRESS, data.PartialUSBMACAddress,
                                      sizeof data.PartialUSBMACAddress,
                                      VSI_USB_MAC | VSI_READ_FROM_STORAGE);
    }
    RepairReportLog("GetPartialDataFromHLX finished with bRetrievedData %d", retrieved ? 1 : 0);
    return retrieved;
}

void CHLXSerialNumRepair::MergeAndSanitise() {
    RepairData& data = *m_pData;
    // The two addresses differ only in their last character.
    for (size_t i = 0; i + 1 < kMacLength; ++i) {
        data.CombinedMAC[i] =
            static_cast<char>(data.PartialEthernetMACAddress[i] | data.PartialUSBMACAddress[i]);
    }
    data.CombinedMAC[kMacLength - 1] = data.PartialEthernetMACAddress[kMacLength - 1];
    // Anything but a letter or a digit is damage: it becomes a wildcard.
    for (char& c : data.PartialSerialNum) {
        c = IsAlphanumeric(c) ? c : '\0';
    }
    for (char& c : data.CombinedMAC) {
        c = IsAlphanumeric(c) ? c : '\0';
    }
}

bool CHLXSerialNumRepair::AskUserForSerialNum() {
    CUserEntry entry(m_pEngine, false);
    CString text;
    bool flag = false;
    constexpr int kMaxLength = static_cast<int>(kSerialLength);
    entry.GetUserEntry(text, CUserEntry::kFirstRequest, kMaxLength, 1, &flag);
    if (!MatchEnteredSerialNum(text)) {
        text.clear();
        entry.GetUserEntry(text, CUserEntry::kRepeatedRequest, kMaxLength, 1, &flag);
        MatchEnteredSerialNum(text);
    }
    m_strUserSerialNum = text;
    return IsNewSerialNum();
}

void CHLXSerialNumRepair::ComputeNewMACs() {
    if (m_PartialMatchIndices.size() != 1 || m_pEntries == nullptr) {
        return;
    }
    const std::string_view mac =
        m_pEntries->MACAddress(static_cast<size_t>(m_PartialMatchIndices[0]));
    // Only a well-formed address is derived from: twelve hexadecimal digits (what follows them
    // on the line takes no part). Anything else would put a malformed address on the device.
    if (mac.size() < kMacLength ||
        !std::all_of(mac.begin(), mac.begin() + kMacLength, IsHexDigit)) {
        RepairReportLog("ComputeNewMACs MAC text <%.*s> is not a MAC address, MACs kept",
                        static_cast<int>(std::min(mac.size(), size_t{64})), mac.data());
        return;
    }
    RepairData& data = *m_pData;
    for (size_t i = 0; i < kMacLength; ++i) {
        char c = mac[i];
        if (c != data.PartialEthernetMACAddress[i]) {
            m_bNewEthernetMAC = true;
        }
        data.NewEthernetMAC[i] = c;
        if (i == kMacLength - 1) {
            c = static_cast<char>(c + 1);  // the USB address is the Ethernet one plus one
        }
        if (c != data.PartialUSBMACAddress[i]) {
            m_bNewUSBMAC = true;
        }
        data.NewUSBMAC[i] = c;
    }
}

bool CHLXSerialNumRepair::WriteBackToHLX() {
    RepairData& data = *m_pData;
    bool written = false;
    RepairReportLog("WriteBackToHLX IsNewSerialNum() %d  m_strRecoveredSerialNum <%s>",
                    IsNewSerialNum() ? 1 : 0, m_strRecoveredSerialNum.c_str());
    // Exactly the last write of the sequence commits the items to the device's storage.
    if (IsNewSerialNum()) {
        RepairReportLog("About to write new SN");
        const int flags = !m_bNewEthernetMAC && !m_bNewUSBMAC ? VSI_WRITE_TO_STORAGE : 0;
        SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, data.NewSerialNum,
                          static_cast<int>(TextLength(data.NewSerialNum, kSerialLength)), flags);
        written = true;
    }
    if (m_bNewEthernetMAC) {
        RepairReportLog("About to write new ethernet MAC");
        const int flags = VSI_ETHERNET_MAC | (!m_bNewUSBMAC ? VSI_WRITE_TO_STORAGE : 0);
        SetPartialHLXData(VSI_SET_MAC_ADDRESS, data.NewEthernetMAC, kMacLength, flags);
        written = true;
    }
    if (m_bNewUSBMAC) {
        RepairReportLog("About to write new USB MAC");
        SetPartialHLXData(VSI_SET_MAC_ADDRESS, data.NewUSBMAC, kMacLength,
                          VSI_USB_MAC | VSI_WRITE_TO_STORAGE);
        written = true;
    }
    return written;
}

bool CHLXSerialNumRepair::VerifyWriteBack() {
    const RepairData& data = *m_pData;
    char serialInUse[kSerialLength] = {};
    char serialStored[kSerialLength] = {};
    char ethernet[kMacLength] = {};
    char usb[kMacLength] = {};
    bool ok = true;
    if (IsNewSerialNum()) {
        ok = GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, serialInUse, kSerialLength, 0) &&
             GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, serialStored, kSerialLength,
                               VSI_READ_FROM_STORAGE);
    }
    if (m_bNewEthernetMAC && ok) {
        ok = GetPartialHLXData(VSI_GET_MAC_ADDRESS, ethernet, kMacLength,
                               VSI_ETHERNET_MAC | VSI_READ_FROM_STORAGE);
    }
    if (m_bNewUSBMAC && ok) {
        ok = GetPartialHLXData(VSI_GET_MAC_ADDRESS, usb, kMacLength,
                               VSI_USB_MAC | VSI_READ_FROM_STORAGE);
    }
    if (!ok) {
        return false;
    }
    if (IsNewSerialNum()) {
        const size_t n = TextLength(serialInUse, kSerialLength);
        ok = std::strncmp(serialInUse, data.NewSerialNum, n) == 0 &&
             std::strncmp(serialStored, data.NewSerialNum, n) == 0;
    }
    if (m_bNewEthernetMAC && ok) {
        ok = std::memcmp(ethernet, data.NewEthernetMAC, kMacLength) == 0;
    }
    if (m_bNewUSBMAC && ok) {
        ok = std::memcmp(usb, data.NewUSBMAC, kMacLength) == 0;
    }
    return ok;
}

void CHLXSerialNumRepair::ShowResult(bool ok) {
    CEsbFrame::MessagePopup(0, "", QX_LoadString(ok ? kSuccessStringId : kFailureStringId),
                            kResultIconId, 34, 0, 0, 0);
}

void CHLXSerialNumRepair::NotifyHost(bool on) {
    if (m_pEngine != nullptr) {
        EE_NotifyDeviceBusy(m_pEngine, on, true);
    }
}

// Restores the serial number (and the MAC addresses derived with it) of a communication
// module whose identity data was damaged: reads the fragments the device still holds, finds
// the device in the deployed-unit list, asks the user when the list alone does not decide,
// writes the result back and, when the user took part, verifies it and shows the outcome.
//
// Runs on the thread of the release reading, which it blocks for device commands, prompts and
// popups. At most one repair object is made per process (see GetRepairCount). Every step
// writes a line to the repair report.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "gatewayutils/platform/Comms.h"
#include "gatewayutils/platform/DeviceRequests.h"
#include "gatewayutils/platform/PopupAttributes.h"
#include "gatewayutils/platform/Types.h"
#include "gatewayutils/repair/CDeployedUnitList.h"
#include "gatewayutils/repair/RepairOutcome.h"

class EE_CExecutionEngine;

class CHLXSerialNumRepair : public CObject {
public:
    // String resources of the result popup and its icon.
    static constexpr unsigned int kSuccessStringId = gwu::qw::kStringRepairSucceeded;
    static constexpr unsigned int kFailureStringId = gwu::qw::kStringRepairFailed;
    static constexpr unsigned int kResultIconId = gwu::qw::kIconInformation;

    // The engine may be null (no host notification). Device commands go through the callback;
    // none are sent when it is empty.
    CHLXSerialNumRepair(EE_CExecutionEngine* pEngine, CommsCallback commsCallback);
    ~CHLXSerialNumRepair() override;
    CHLXSerialNumRepair(const CHLXSerialNumRepair&) = delete;
    CHLXSerialNumRepair& operator=(const CHLXSerialNumRepair&) = delete;

    // Runs the whole repair; true when a serial number was chosen (and, after a user-assisted
    // choice, verified on the device).
    bool RepairSerialNumber();
    CString GetRepairedSerialNum() const;
    bool IsNewSerialNum() const;
    // How many repair objects this process has made; never lowered.
    static int GetRepairCount();
    // The process's one repair, for a device whose serial number is unusable: runs it unless a
    // repair object was made before (a device still unusable after that waits for a restart).
    // True, with the serial number chosen, when it repaired the device; the text is left as it
    // was otherwise.
    static bool RepairOnce(CommsCallback commsCallback, CString& serialNum);
    // printf-style report line; the CR LF is added.
    [[gnu::format(printf, 1, 2)]] static void RepairReportLog(const char* format, ...);

    // For tests only: lets a later repair run in the same process again.
    static void ResetRepairCountForTesting();

    // Work area: identity items as fixed-size character arrays without terminators.
    struct RepairData {
        char PartialSerialNum[16];
        char PartialEthernetMACAddress[12];
        char PartialUSBMACAddress[12];
        char CombinedMAC[12];
        char NewSerialNum[16];
        char NewEthernetMAC[12];
        char NewUSBMAC[12];
    };

    // One identity item read from / written to the device. The buffer length is the room in
    // the buffer on entry; a read may lower it to the bytes returned.
    bool GetPartialHLXData(int requestType, char* buffer, int nBufferLength, int nFlags);
    bool SetPartialHLXData(int requestType, char* buffer, int nBufferLength, int nFlags);

    // Matching against the deployed-unit list (SerialNumMatching.cpp).
    bool ParseHLXFileName();
    bool SelectSingleMatch();
    bool MatchEnteredSerialNum(const CString& text);
    bool MatchEnteredSerialNumByBits();
    // Zero bytes of the pattern match anything; text positions past its end read as zero.
    static bool PartialCompare(std::string_view text, const char* pattern, size_t count);
    // The indices of the list's entries whose serial number agrees with the partial serial
    // number (16 characters) and whose MAC text agrees with the merged MAC address (12), both
    // as PartialCompare agrees, in list order.
    static std::vector<int> PartialMatches(const gwu::CDeployedUnitList& list,
                                           const char (&partialSerial)[16],
                                           const char (&combinedMAC)[12]);

    // Read access for tests and the host.
    const RepairData& Data() const { return *m_pData; }
    const std::vector<int>& PartialMatchIndices() const { return m_PartialMatchIndices; }

private:
    bool GetPartialDataFromHLX();
    void MergeAndSanitise();
    bool AskUserForSerialNum();
    void ComputeNewMACs();
    bool WriteBackToHLX();
    bool VerifyWriteBack();
    void ShowResult(bool ok);
    void NotifyHost(bool on);

    std::vector<int> m_PartialMatchIndices;
    CString m_strRecoveredSerialNum;
    gwu::CDeployedUnitList m_list;
    // The entries of m_list once it has been read (serial numbers and MAC addresses); null
    // until then.
    const gwu::CDeployedUnitList* m_pEntries = nullptr;
    EE_CExecutionEngine* m_pEngine;
    std::unique_ptr<RepairData> m_pData;
    bool m_bNewEthernetMAC = false;
    bool m_bNewUSBMAC = false;
    CString m_strUserSerialNum;
    CommsCallback m_pfnCommsCallback;

    static std::atomic<int> s_repairCount;
};

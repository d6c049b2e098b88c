// The communication module (card name "VCL"): release reading, firmware names and updates,
// and the serial-number list of the modules met.
#pragma once

#include <array>

#include <cstdint>

#include "gatewayutils/base/Export.h"
#include "gatewayutils/devices/CGatewayUtils.h"
#include "gatewayutils/platform/FirmwareFiles.h"
#include "gatewayutils/platform/ValueStore.h"

class GWU_API CHLXUtils : public CGatewayUtils {
public:
    CHLXUtils(CBaseComms* pComms, CTabQuillonFrame* pFrame);
    ~CHLXUtils() override;

    void SendUpdateCommand() override;
    void ResetDevice() override;
    // Sends up to 127 characters of the text to the device.
    void SendDeviceString(CString text) override;
    bool RenameFile(CODETYPE codeType, bool flag) override;
    CString GetFilename(CODETYPE codeType, bool flag) override;
    bool GetVersionFromFile(CString fileName, CString& version) override;
    bool SetReleaseIds(bool readDevice) override;
    // KLEM_..._R1.2.3 gives R1.2.3 (also _ER...); anything else is left as it is.
    bool TrimReleaseId(CString releaseText, CString& trimmed) override;
    CString GetReleaseValueName(CODETYPE codeType) override;
    CString GetUntrimmedReleaseValueName(CODETYPE codeType) override;
    bool UpdatePROM() override;
    bool UpdateBCF() override;
    bool UpdateBootstrap() override;
    bool UpdateCPLD() override;
    bool UpdateMACFirmware() override;
    bool SupportsCodeType(CODETYPE codeType) override;
    CString GetCustomCPLDFileName() override;
    void SetCustomCPLDFileName(CString fileName) override;
    // Whether the last reading found a non-standard (custom) CPLD.
    bool HasCustomCPLD() override;
    // Loads the active-cable firmware from its hex image; reports only on the monitor. Sends
    // nothing when the file check refuses the device-load files (GetRefusal says why).
    void UpdateActiveCableFirmware() override;
    // The code types' files, the cable's hex image and a custom CPLD file named without a
    // folder.
    std::vector<GatewayLoadFile> DeviceLoadFiles() override;

    virtual bool ReleaseFileExists();

    // Every name this device publishes a value under, in the order the placeholders go out.
    static const std::array<const char*, 11>& PublishedValueNames();

    // Passes a usable serial number (not empty, not exactly "UNKNOWN"); for an unusable one,
    // runs the process's one serial-number repair and replaces the text with its result.
    // False leaves the published serial number as it was.
    bool EnsureSerialNumber(CString& serialNum);

    // Executes a command for the serial-number repair: 0 when the exchange took place, -1 when
    // the connection failed (reported on the monitor). The two flags are not used.
    int HLXCommsCallback(CSubStream& command, int timeoutMs, bool first, bool second);

private:
    // One text request; the value is empty after a failure.
    bool ReadDeviceString(int requestType, CString& value);
    // The CPLD revision request.
    bool ReadDeviceValue32(DWORD& value, int* error);
    bool IsNonStandardCPLD(int error);
    // Publishes a code type's release under its two names: trimmed when asked, then as read.
    // True when trimming shortened it.
    bool StoreRelease(CODETYPE codeType, const CString& value, bool trim);
    // Records the device just read in the serial-number list file.
    void StoreHLXSerialNumToFile();
    // One update: renames, then update command and reset.
    bool UpdateCodeType(CODETYPE codeType);

    CGatewayFileUtils m_fileUtils;
};

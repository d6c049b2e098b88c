// The interface through which the checks talk to one family of gateway device.
//
// Rules every family follows live here; the families fill in the abstract operations.
// Operations run on the caller's thread: the host's for readings and checks, the facade's update
// worker for the update operations. No lock is taken; the host does not read and update one
// device at the same time.
#pragma once

#include <vector>

#include "gatewayutils/base/Export.h"
#include "gatewayutils/platform/CodeTypes.h"
#include "gatewayutils/platform/Comms.h"
#include "gatewayutils/platform/FileVerifier.h"
#include "gatewayutils/platform/Types.h"
#include "gatewayutils/platform/ValueStore.h"

// Library-wide placeholder texts of a device value.
GWU_API extern const char* const kUnknownValue;       // "Unknown": reading the device failed
GWU_API extern const char* const kNotConnectedValue;  // "NotConnected": the device was not read

class GWU_API CGatewayUtils {
public:
    // Borrows both; they outlive the device object.
    CGatewayUtils(CBaseComms* pComms, CTabQuillonFrame* pFrame);
    virtual ~CGatewayUtils() = default;
    CGatewayUtils(const CGatewayUtils&) = delete;
    CGatewayUtils& operator=(const CGatewayUtils&) = delete;

    virtual void SendUpdateCommand() = 0;
    virtual void ResetDevice() = 0;
    virtual void SendDeviceString(CString text) = 0;
    virtual bool RenameFile(CODETYPE codeType, bool flag) = 0;
    // Whether an entry of that name (wildcards allowed) is in the firmware release folder.
    virtual bool FileExists(CString fileName);
    virtual CString GetFilename(CODETYPE codeType, bool flag) = 0;
    // Empty for both families.
    virtual CString GetActiveCableFirmwareFilename(CODETYPE codeType);
    virtual bool GetVersionFromFile(CString fileName, CString& version) = 0;
    // Reads the release identifiers from the device (when asked to) and publishes them.
    virtual bool SetReleaseIds(bool readDevice) = 0;
    // Publishes one value, trimmed when asked; true only when trimming shortened it.
    virtual bool StoreValue(CString name, CString value, bool trim);
    // The release identifier in a device's or a file's text; false when the text does not have
    // the family's form. The text comes by value, as the host passes its strings across every
    // interface: a host's own device class overrides exactly this signature.
    virtual bool TrimReleaseId(CString releaseText, CString& trimmed) = 0;
    virtual CString GetReleaseValueName(CODETYPE codeType) = 0;
    virtual CString GetUntrimmedReleaseValueName(CODETYPE codeType) = 0;
    virtual bool UpdatePROM() = 0;
    virtual bool UpdateBCF() = 0;
    virtual bool UpdateBootstrap();    // true, nothing done
    virtual bool UpdateCPLD();         // true, nothing done
    virtual bool UpdateMACFirmware();  // false, nothing done
    virtual bool SupportsCodeType(CODETYPE codeType) = 0;
    virtual CString GetCustomCPLDFileName();               // empty
    virtual void SetCustomCPLDFileName(CString fileName);  // nothing
    virtual bool HasCustomCPLD();                          // false
    virtual void UpdateActiveCableFirmware();              // nothing

    // Every file of the firmware release folder this device may load, with the file whose
    // published bytes each must hold: per code type its release and its device-load file;
    // a family adds its own (the cable's hex image, a custom CPLD file).
    virtual std::vector<GatewayLoadFile> DeviceLoadFiles();

    // The host's check of those files (platform/FileVerifier.h), asked before every update or
    // cable request; none by default. The facade sets it on both device objects.
    void SetFileVerifier(GatewayFileVerifier verifier);
    // Why the last update or cable request was not sent, in words; empty when nothing was
    // refused.
    CString GetRefusal() const;

protected:
    // Asks the verifier about the device-load files and keeps its answer for GetRefusal; true
    // without a verifier. Before the release files are placed, the device-load files of the
    // code types about to be placed are left out (placing), since a copy of their checked
    // release replaces them; once placed, every file is asked about again. A refusal is said
    // on the monitor.
    bool LoadFilesAccepted(const std::vector<CODETYPE>& placing);

    CTabValueStore& ValueStore() { return m_pFrame->GetValueStore(); }
    // Reads a published value; empty when the store holds none.
    CString FetchValue(const CString& name);

    CBaseComms* m_pComms;
    CTabQuillonFrame* m_pFrame;

private:
    GatewayFileVerifier m_fileVerifier;
    CString m_strRefusal;
};

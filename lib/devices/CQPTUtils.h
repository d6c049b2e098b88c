// The measurement module (every card name but "VCL"): loaded code and PROM only.
#pragma once

#include <array>

#include "gatewayutils/base/Export.h"
#include "gatewayutils/devices/CGatewayUtils.h"
#include "gatewayutils/platform/FirmwareFiles.h"
#include "gatewayutils/platform/ValueStore.h"

class GWU_API CQPTUtils : public CGatewayUtils {
public:
    CQPTUtils(CBaseComms* pComms, CTabQuillonFrame* pFrame);
    ~CQPTUtils() override;

    void SendUpdateCommand() override;  // nothing: the module updates on its own requests
    void ResetDevice() override;
    void SendDeviceString(CString text) override;  // nothing
    bool RenameFile(CODETYPE codeType, bool flag) override;
    CString GetFilename(CODETYPE codeType, bool flag) override;
    bool GetVersionFromFile(CString fileName, CString& version) override;
    bool SetReleaseIds(bool readDevice) override;
    // "... Release 2.10" gives R2.10; anything else is left untouched.
    bool TrimReleaseId(CString releaseText, CString& trimmed) override;
    CString GetReleaseValueName(CODETYPE codeType) override;
    CString GetUntrimmedReleaseValueName(CODETYPE codeType) override;
    // Tells the module to load its PROM from the release file; false on any failure.
    bool UpdatePROM() override;
    bool UpdateBCF() override;
    bool SupportsCodeType(CODETYPE codeType) override;

    virtual bool ReleaseFileExists();

    // Every name this device publishes a value under, in the order the placeholders go out.
    static const std::array<const char*, 5>& PublishedValueNames();

private:
    // One detail request (1 serial number, 2 loaded code, 3 PROM); the text is set either way.
    bool ReadDetail(int request, CString& value);
    // Publishes the loaded code's or the PROM's release, trimmed, then as read.
    void StoreRelease(CODETYPE codeType, const CString& value);

    CGatewayFileUtils m_fileUtils;
};

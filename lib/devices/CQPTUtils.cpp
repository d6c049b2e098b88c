#include "devices/CQPTUtils.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "devices/DeviceText.h"
#include "devices/ErrorNumbers.h"
#include "devices/ValueNames.h"
#include "os/Os.h"
#include "platform/DeviceRequests.h"
#include "platform/Diagnostics.h"
#include "platform/FirmwareFiles.h"
#include "platform/ValueStore.h"

namespace {

constexpr int kTimeoutMs = 10000;
constexpr int kDetailBufferSize = 128;

}  // namespace

CQPTUtils::CQPTUtils(CBaseComms* pComms, CTabQuillonFrame* pFrame)
    : CGatewayUtils(pComms, pFrame) {}

CQPTUtils::~CQPTUtils() = default;

void CQPTUtils::SendUpdateCommand() {}

void CQPTUtils::ResetDevice() {
    int error = gwu::kRequestNotCarried;
    CSubStream command;
    MSI_Reset(command, MSI_RESET_CARD, &error);
    m_pComms->ExecuteSubCommand(command, kTimeoutMs, 0);
}

void CQPTUtils::SendDeviceString(CString /*text*/) {}

bool CQPTUtils::ReadDetail(int request, CString& value) {
    // One byte beyond the room offered keeps a reply that fills the room terminable.
    char buffer[kDetailBufferSize + 1] = {};
    int length = kDetailBufferSize;
    int error = gwu::kRequestNotCarried;
    CSubStream command;
    MSI_GetCardDetails(command, request, &length, buffer, 0, &error);
    m_pComms->ExecuteSubCommand(command, kTimeoutMs, 0);
    value = gwu::ReplyText(buffer, length, kDetailBufferSize);
    return error == 0;
}

bool CQPTUtils::SetReleaseIds(bool readDevice) {
    bool result = false;
    bool ok = true;
    // A connection that fails in Connect counts like one that fails during the reading.
    try {
        if (readDevice && m_pComms->Connect()) {
            CString value;
            ok = ReadDetail(MSI_DETAIL_LOADED_CODE_RELEASE, value);
            if (ok) {
                StoreRelease(LC_CODE, value);
                ReadDetail(MSI_DETAIL_PROM_RELEASE, value);
                StoreRelease(PROM_CODE, value);
                ReadDetail(MSI_DETAIL_SERIAL_NUM, value);
                StoreValue(gwu::kQPTSerialNumValue, value, true);
                result = true;
            }
            m_pComms->Disconnect();
        }
    } catch (const CBaseCommsException&) {
        ok = false;
    } catch (const std::exception& e) {
        // Anything else thrown while reading (by the host's connection, say) fails it too.
        MonPrintf("CQPTUtils::SetReleaseIds: exception (%s): read as a comms failure", e.what());
        ok = result = false;
    } catch (...) {
        MonPrintf("CQPTUtils::SetReleaseIds: exception (unknown): read as a comms failure");
        ok = result = false;
    }
    if (!ok) {
        for (const char* name : gwu::kQPTPublishedValues) {
            StoreValue(name, kUnknownValue, true);
        }
    } else if (!readDevice || !result) {
        for (const char* name : gwu::kQPTPublishedValues) {
            StoreValue(name, kNotConnectedValue, true);
        }
    }
    return result;
}

bool CQPTUtils::TrimReleaseId(CString releaseText, CString& trimmed) {
    static constexpr std::string_view kMark = "Release ";
    const std::string_view text = releaseText;
    const size_t at = text.find(kMark);
    if (at == std::string_view::npos) {
        return false;
    }
    const std::string_view rest = text.substr(at + kMark.size());
    trimmed.assign(1, 'R').append(rest.data(), rest.size());
    return true;
}

bool CQPTUtils::RenameFile(CODETYPE codeType, bool flag) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kQPTSource, gwu::errors::kQPTRenameUnsupportedCode);
    }
    if (codeType != LC_CODE) {
        return true;
    }
    const CString deviceLoadName = GetFilename(LC_CODE, false);
    const CString releaseName = GetFilename(LC_CODE, true);
    return m_fileUtils.RenameGatewayFile(releaseName, deviceLoadName, flag);
}

CString CQPTUtils::GetFilename(CODETYPE codeType, bool flag) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kQPTSource, gwu::errors::kQPTFileNameOfUnsupportedCode);
    }
    return m_fileUtils.GetQPTFileName(codeType, flag);
}

bool CQPTUtils::GetVersionFromFile(CString fileName, CString& version) {
    return m_fileUtils.GetQPTVersionFromFile(fileName, version);
}

CString CQPTUtils::GetReleaseValueName(CODETYPE codeType) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kQPTSource, gwu::errors::kQPTValueNameOfUnsupportedCode);
    }
    return gwu::kQPTReleaseValues[codeType == PROM_CODE ? 1 : 0].trimmed;
}

CString CQPTUtils::GetUntrimmedReleaseValueName(CODETYPE codeType) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kQPTSource, gwu::errors::kQPTUntrimmedValueNameOfUnsupportedCode);
    }
    return gwu::kQPTReleaseValues[codeType == PROM_CODE ? 1 : 0].untrimmed;
}

bool CQPTUtils::UpdatePROM() {
    // The module reads its PROM from the release file itself, once told to.
    if (!LoadFilesAccepted({})) {
        return false;
    }
    try {
        const CString path = gwu::os::JoinPath(CGatewayFileUtils::GetDefaultSoftwareLocation(),
                                               m_fileUtils.GetQPTFileName(PROM_CODE, true));
        char buffer[kDetailBufferSize] = {};
        // The buffer's zeros terminate the path.
        std::copy_n(path.data(), std::min(path.size(), static_cast<size_t>(kDetailBufferSize - 1)),
                    buffer);
        int length = kDetailBufferSize;
        int error = gwu::kRequestNotCarried;
        CSubStream command;
        MSI_GetCardDetails(command, MSI_DETAIL_UPDATE_PROM, &length, buffer, 0, &error);
        m_pComms->ExecuteSubCommand(command, kTimeoutMs, 0);
        return error == 0;
    } catch (const CBaseCommsException& e) {
        MonPrintf("CQPTUtils::UpdatePROM: comms failure %d", e.Code());
        return false;
    }
}

bool CQPTUtils::UpdateBCF() {
    // A reset loads every device-load file: each is checked before and after the placing.
    if (!LoadFilesAccepted({LC_CODE})) {
        return false;
    }
    RenameFile(LC_CODE, false);
    if (!LoadFilesAccepted({})) {
        return false;
    }
    bool result = true;
    try {
        ResetDevice();
    } catch (const CBaseCommsException&) {
        result = false;
    }
    return result;
}

bool CQPTUtils::SupportsCodeType(CODETYPE codeType) {
    return codeType == LC_CODE || codeType == PROM_CODE;
}

bool CQPTUtils::ReleaseFileExists() {
    return FileExists(m_fileUtils.GetQPTFileName(LC_CODE, false));
}

void CQPTUtils::StoreRelease(CODETYPE codeType, const CString& value) {
    const gwu::ReleaseValueNames& names = gwu::kQPTReleaseValues[codeType == PROM_CODE ? 1 : 0];
    StoreValue(names.trimmed, value, true);
    StoreValue(names.untrimmed, value, false);
}

const std::array<const char*, 5>& CQPTUtils::PublishedValueNames() {
    return gwu::kQPTPublishedValues;
}

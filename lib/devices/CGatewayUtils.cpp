#include "devices/CGatewayUtils.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "os/Os.h"
#include "platform/Diagnostics.h"
#include "platform/FirmwareFiles.h"
#include "platform/ValueStore.h"

const char* const kUnknownValue = "Unknown";
const char* const kNotConnectedValue = "NotConnected";

CGatewayUtils::CGatewayUtils(CBaseComms* pComms, CTabQuillonFrame* pFrame)
    : m_pComms(pComms), m_pFrame(pFrame) {}

bool CGatewayUtils::FileExists(CString fileName) {
    const std::string path =
        gwu::os::JoinPath(CGatewayFileUtils::GetDefaultSoftwareLocation(), fileName);
    return gwu::os::FindFirstFileMatch(path);
}

CString CGatewayUtils::GetActiveCableFirmwareFilename(CODETYPE /*codeType*/) {
    return {};
}

bool CGatewayUtils::StoreValue(CString name, CString value, bool trim) {
    bool trimmed = false;
    CString text;
    if (trim) {
        trimmed = TrimReleaseId(value, text);
    }
    if (!trimmed) {
        text = value;
    }
    ValueStore().SetValue(name, text, CTabValueStore::kMaxLength);
    return trimmed;
}

bool CGatewayUtils::UpdateBootstrap() {
    return true;
}
bool CGatewayUtils::UpdateCPLD() {
    return true;
}
bool CGatewayUtils::UpdateMACFirmware() {
    return false;
}
CString CGatewayUtils::GetCustomCPLDFileName() {
    return {};
}
void CGatewayUtils::SetCustomCPLDFileName(CString /*fileName*/) {}
bool CGatewayUtils::HasCustomCPLD() {
    return false;
}
void CGatewayUtils::UpdateActiveCableFirmware() {}

CString CGatewayUtils::FetchValue(const CString& name) {
    CString value;
    ValueStore().GetValue(name, &value, CTabValueStore::kMaxLength);
    return value;
}

std::vector<GatewayLoadFile> CGatewayUtils::DeviceLoadFiles() {
    std::vector<GatewayLoadFile> files;
    for (const CODETYPE codeType : {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE}) {
        if (!SupportsCodeType(codeType)) {
            continue;
        }
        const CString release = GetFilename(codeType, true);
        const CString deviceLoad = GetFilename(codeType, false);
        if (!release.empty()) {
            files.push_back({release, release});
            if (!deviceLoad.empty()) {
                files.push_back({deviceLoad, release});
            }
        }
    }
    return files;
}

void CGatewayUtils::SetFileVerifier(GatewayFileVerifier verifier) {
    m_fileVerifier = std::move(verifier);
}

CString CGatewayUtils::GetRefusal() const {
    return m_strRefusal;
}

bool CGatewayUtils::LoadFilesAccepted(const std::vector<CODETYPE>& placing) {
    if (!m_fileVerifier) {
        m_strRefusal.clear();
        return true;
    }
    std::vector<GatewayLoadFile> files = DeviceLoadFiles();
    for (const CODETYPE codeType : placing) {
        const CString deviceLoad = GetFilename(codeType, false);
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [&deviceLoad](const GatewayLoadFile& file) {
                                       return file.name == deviceLoad;
                                   }),
                    files.end());
    }
    CString reason;
    try {
        reason = m_fileVerifier(CGatewayFileUtils::GetDefaultSoftwareLocation(), files);
    } catch (const std::exception& e) {
        reason = CString("the file check failed: ") + e.what();
    } catch (...) {
        reason = "the file check failed";
    }
    if (reason.empty()) {
        m_strRefusal.clear();
        return true;
    }
    m_strRefusal = reason;
    MonPrintf("Firmware files refused, nothing sent to the device: %s", reason.c_str());
    return false;
}

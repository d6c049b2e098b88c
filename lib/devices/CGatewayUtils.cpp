#include "devices/CGatewayUtils.h"

#include "os/Os.h"
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

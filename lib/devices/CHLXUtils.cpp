#include "devices/CHLXUtils.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/ErrorNumbers.h"
#include "devices/SerialNumList.h"
#include "devices/ValueNames.h"
#include "os/Os.h"
#include "platform/DeviceRequests.h"
#include "platform/Diagnostics.h"
#include "platform/FirmwareFiles.h"
#include "platform/ValueStore.h"
#include "repair/CHLXSerialNumRepair.h"

namespace {

constexpr int kTimeoutMs = 10000;
constexpr int kUpdateTimeoutMs = 20000;
constexpr int kCableUpdateTimeoutMs = 30000;

constexpr int kTextBufferSize = 128;

constexpr const char* kStandardCpld = "STANDARD BEXA CPLD";

bool IsValidCodeType(CODETYPE codeType) {
    return codeType >= LC_CODE && codeType <= MAC_CODE;
}

}  // namespace

CHLXUtils::CHLXUtils(CBaseComms* pComms, CTabQuillonFrame* pFrame)
    : CGatewayUtils(pComms, pFrame) {}

CHLXUtils::~CHLXUtils() = default;

// ---------------------------------------------------------------------------------------------
// Device requests

bool CHLXUtils::ReadDeviceString(int requestType, CString& value) {
    char buffer[kTextBufferSize] = {};
    int length = kTextBufferSize;
    int error = gwu::kRequestNotCarried;
    CSubStream command;
    VSI_GetSerialNumber(command, requestType, &length, buffer, 0, &error);
    m_pComms->ExecuteSubCommand(command, kTimeoutMs, 0);
    // A reply that fills the whole buffer leaves no room for a terminator: it counts as empty.
    if (error != 0 || length >= kTextBufferSize) {
        length = 0;
    }
    value = gwu::ReplyText(buffer, length, kTextBufferSize);
    return error == 0;
}

bool CHLXUtils::ReadDeviceValue32(DWORD& value, int* error) {
    unsigned char buffer[4] = {};
    int length = static_cast<int>(sizeof buffer);
    int requestError = gwu::kRequestNotCarried;
    CSubStream command;
    VSI_GetSerialNumber(command, VSI_GET_CPLD_REVISION, &length, reinterpret_cast<char*>(buffer), 0,
                        &requestError);
    m_pComms->ExecuteSubCommand(command, kTimeoutMs, 0);
    if (error != nullptr) {
        *error = requestError;
    }
    if (requestError == 0 && length == 4) {
        value = static_cast<DWORD>(IFC_Get32(buffer));
        return true;
    }
    return false;
}

bool CHLXUtils::IsNonStandardCPLD(int error) {
    if (error == 0) {
        return true;
    }
    if (error == 1 || error == 4) {
        return false;
    }
    CString bootstrap;
    return ReadDeviceString(VSI_GET_BOOTSTRAP_RELEASE, bootstrap);
}

void CHLXUtils::SendUpdateCommand() {
    char buffer[1] = {};
    int length = 1;
    int error = gwu::kRequestNotCarried;
    CSubStream command;
    VSI_GetSerialNumber(command, VSI_UPDATE_FIRMWARE, &length, buffer, 0, &error);
    m_pComms->ExecuteSubCommand(command, kUpdateTimeoutMs, 0);
}

void CHLXUtils::ResetDevice() {
    int error = gwu::kRequestNotCarried;
    CSubStream command;
    VSI_Reset(command, VSI_RESET_CARD, &error);
    m_pComms->ExecuteSubCommand(command, kTimeoutMs, 0);
}

void CHLXUtils::SendDeviceString(CString text) {
    char buffer[kTextBufferSize] = {};
    const size_t count = std::min(text.size(), static_cast<size_t>(kTextBufferSize - 1));
    std::copy_n(text.data(), count, buffer);  // the buffer's zeros terminate it
    int length = kTextBufferSize;
    int error = gwu::kRequestNotCarried;
    CSubStream command;
    VSI_GetSerialNumber(command, VSI_SEND_DEVICE_STRING, &length, buffer, 0, &error);
    m_pComms->ExecuteSubCommand(command, kTimeoutMs, 0);
}

// ---------------------------------------------------------------------------------------------
// Release reading

bool CHLXUtils::SetReleaseIds(bool readDevice) {
    bool ok = true;
    bool readDone = false;
    if (readDevice) {
        try {
            if (m_pComms->Connect()) {
                CString value;
                ok = ReadDeviceString(VSI_GET_LOADED_CODE_RELEASE, value);
                if (ok) {
                    const bool releaseTrimmed = StoreRelease(LC_CODE, value, true);

                    ReadDeviceString(VSI_GET_PROM_RELEASE, value);
                    StoreRelease(PROM_CODE, value, true);
                    readDone = true;

                    ReadDeviceString(VSI_GET_BOOTSTRAP_RELEASE, value);
                    StoreRelease(BS_CODE, value, true);

                    DWORD revision = 0;
                    int cpldError = 0;
                    ReadDeviceValue32(revision, &cpldError);
                    MonPrintf("CPLD REV:0x%08X VSI:0x%08x", static_cast<unsigned>(revision),
                              static_cast<unsigned>(cpldError));
                    if (IsNonStandardCPLD(cpldError)) {
                        MonPrintf("***** Non-Standard CPLD Detected *****");
                        value = "R" + std::to_string(revision);
                    } else {
                        value = kStandardCpld;
                    }
                    StoreRelease(CPLD_CODE, value, true);

                    if (!ReadDeviceString(VSI_GET_CABLE_FIRMWARE_RELEASE, value)) {
                        MonPrintf("Get cable firmware version failed.");
                        value = kUnknownValue;
                    }
                    StoreRelease(MAC_CODE, value, false);

                    if (releaseTrimmed) {
                        ReadDeviceString(VSI_GET_CARD_SERIAL_NUM, value);
                        if (EnsureSerialNumber(value)) {
                            StoreValue(gwu::kHLXSerialNumValue, value, true);
                        }
                    } else {
                        StoreValue(gwu::kHLXSerialNumValue, kUnknownValue, true);
                    }
                }
            }
            m_pComms->Disconnect();
        } catch (const CBaseCommsException&) {
            ok = false;
        } catch (const std::exception& e) {
            // Anything else thrown while reading (by the host's connection, say) fails the
            // reading too; nothing of a reading that ended so is recorded.
            MonPrintf("CHLXUtils::SetReleaseIds: exception (%s): read as a comms failure",
                      e.what());
            ok = readDone = false;
        } catch (...) {
            MonPrintf("CHLXUtils::SetReleaseIds: exception (unknown): read as a comms failure");
            ok = readDone = false;
        }
    }

    if (!ok) {
        for (const char* name : gwu::kHLXPublishedValues) {
            StoreValue(name, kUnknownValue, true);
        }
    } else if (!readDevice || !readDone) {
        for (const char* name : gwu::kHLXPublishedValues) {
            StoreValue(name, kNotConnectedValue, true);
        }
    }
    if (readDone) {
        StoreHLXSerialNumToFile();
    }
    return readDone;
}

bool CHLXUtils::StoreRelease(CODETYPE codeType, const CString& value, bool trim) {
    const gwu::ReleaseValueNames& names = gwu::kHLXReleaseValues[static_cast<size_t>(codeType)];
    const bool trimmed = StoreValue(names.trimmed, value, trim);
    StoreValue(names.untrimmed, value, false);
    return trimmed;
}

bool CHLXUtils::EnsureSerialNumber(CString& serialNum) {
    if (!serialNum.empty() && serialNum != "UNKNOWN") {
        return true;
    }
    return CHLXSerialNumRepair::RepairOnce(
        [this](CSubStream& command, int timeoutMs, bool first, bool second) {
            return HLXCommsCallback(command, timeoutMs, first, second);
        },
        serialNum);
}

int CHLXUtils::HLXCommsCallback(CSubStream& command, int timeoutMs, bool /*first*/,
                                bool /*second*/) {
    try {
        m_pComms->ExecuteSubCommand(command, timeoutMs, 0);
        return 0;
    } catch (const CBaseCommsException&) {
        MonPrintf("CHLXUtils::HLXCommsCallback catch exception");
        return -1;
    }
}

void CHLXUtils::StoreHLXSerialNumToFile() {
    gwu::StoreDeviceReading({FetchValue(gwu::kHLXSerialNumValue),
                             FetchValue(gwu::kHLXReleaseValues[LC_CODE].trimmed),
                             FetchValue(gwu::kHLXReleaseValues[PROM_CODE].trimmed),
                             FetchValue(gwu::kHLXReleaseValues[BS_CODE].trimmed)});
}

// ---------------------------------------------------------------------------------------------
// Names, files and versions

bool CHLXUtils::TrimReleaseId(CString releaseText, CString& trimmed) {
    static constexpr std::string_view kMark = "KLEM_";
    const std::string_view text = releaseText;
    if (text.find(kMark) != std::string_view::npos) {
        const size_t tail = text.rfind('_');  // there is one: the one of "KLEM_"
        const std::string_view rest = text.substr(tail + 1);
        if (rest.compare(0, 1, "R") == 0 || rest.compare(0, 2, "ER") == 0) {
            trimmed.assign(rest.data(), rest.size());
            return true;
        }
    }
    trimmed = std::move(releaseText);
    return false;
}

bool CHLXUtils::RenameFile(CODETYPE codeType, bool flag) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kHLXSource, gwu::errors::kHLXRenameUnsupportedCode);
    }
    const CString deviceLoadName = GetFilename(codeType, false);
    const CString releaseName = GetFilename(codeType, true);
    return m_fileUtils.RenameGatewayFile(releaseName, deviceLoadName, flag);
}

CString CHLXUtils::GetFilename(CODETYPE codeType, bool flag) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kHLXSource, gwu::errors::kHLXFileNameOfUnsupportedCode);
    }
    return m_fileUtils.GetHLXFileName(codeType, flag);
}

bool CHLXUtils::GetVersionFromFile(CString fileName, CString& version) {
    return m_fileUtils.GetHLXVersionFromFile(fileName, version);
}

CString CHLXUtils::GetReleaseValueName(CODETYPE codeType) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kHLXSource, gwu::errors::kHLXValueNameOfUnsupportedCode);
        return {};
    }
    return gwu::kHLXReleaseValues[static_cast<size_t>(codeType)].trimmed;
}

CString CHLXUtils::GetUntrimmedReleaseValueName(CODETYPE codeType) {
    if (!SupportsCodeType(codeType)) {
        LogError(gwu::errors::kHLXSource, gwu::errors::kHLXUntrimmedValueNameOfUnsupportedCode);
        return {};
    }
    return gwu::kHLXReleaseValues[static_cast<size_t>(codeType)].untrimmed;
}

bool CHLXUtils::SupportsCodeType(CODETYPE codeType) {
    return IsValidCodeType(codeType);
}

CString CHLXUtils::GetCustomCPLDFileName() {
    return m_fileUtils.GetCustomHLXCPLDFileName();
}

void CHLXUtils::SetCustomCPLDFileName(CString fileName) {
    m_fileUtils.SetCustomHLXCPLDFileName(fileName);
}

bool CHLXUtils::HasCustomCPLD() {
    const CString value = FetchValue(GetUntrimmedReleaseValueName(CPLD_CODE));
    return value != kStandardCpld && value != kUnknownValue && value != kNotConnectedValue;
}

bool CHLXUtils::ReleaseFileExists() {
    return FileExists(GetFilename(LC_CODE, false));
}

// ---------------------------------------------------------------------------------------------
// Updates

bool CHLXUtils::UpdateCodeType(CODETYPE codeType) {
    std::vector<CODETYPE> placing{codeType};
    if (codeType != LC_CODE) {
        placing.push_back(LC_CODE);
    }
    // A reset loads every device-load file: each is checked before anything is placed, and
    // again once the releases are placed, before the device is told anything.
    if (!LoadFilesAccepted(placing)) {
        return false;
    }
    for (const CODETYPE placed : placing) {
        RenameFile(placed, false);  // a release not placed leaves the device what it has
    }
    if (!LoadFilesAccepted({})) {
        return false;
    }
    bool result = true;
    try {
        SendUpdateCommand();
        ResetDevice();
    } catch (const CBaseCommsException&) {
        result = false;
    }
    return result;
}

bool CHLXUtils::UpdateBCF() {
    return UpdateCodeType(LC_CODE);
}
bool CHLXUtils::UpdatePROM() {
    return UpdateCodeType(PROM_CODE);
}
bool CHLXUtils::UpdateBootstrap() {
    return UpdateCodeType(BS_CODE);
}
bool CHLXUtils::UpdateCPLD() {
    return UpdateCodeType(CPLD_CODE);
}
bool CHLXUtils::UpdateMACFirmware() {
    return UpdateCodeType(MAC_CODE);
}

std::vector<GatewayLoadFile> CHLXUtils::DeviceLoadFiles() {
    std::vector<GatewayLoadFile> files = CGatewayUtils::DeviceLoadFiles();
    const CString hexImage = m_fileUtils.GetHexFilename(MAC_CODE);
    files.push_back({hexImage, hexImage});
    // A custom CPLD file configured by its plain name lies in the firmware release folder.
    const CString customCpld = GetCustomCPLDFileName();
    if (!customCpld.empty() && customCpld.find_first_of("/\\:") == CString::npos) {
        files.push_back({customCpld, customCpld});
    }
    return files;
}

void CHLXUtils::UpdateActiveCableFirmware() {
    if (!LoadFilesAccepted({})) {
        return;
    }
    try {
        const CString path = gwu::os::JoinPath(CGatewayFileUtils::GetDefaultSoftwareLocation(),
                                               m_fileUtils.GetHexFilename(MAC_CODE));
        int length = static_cast<int>(path.size()) + 1;
        std::vector<char> buffer(path.c_str(), path.c_str() + length);  // with its terminator
        MonPrintf("Update Torvi firmware: %s", path.c_str());
        int error = gwu::kRequestNotCarried;
        CSubStream command;
        VSI_GetSerialNumber(command, VSI_UPDATE_CABLE_FIRMWARE, &length, buffer.data(), 0, &error);
        m_pComms->ExecuteSubCommand(command, kCableUpdateTimeoutMs, 0);
        MonPrintf("Firmware update result: %d", error);
    } catch (const CBaseCommsException&) {
        // The monitor line of the request is the only record; a comms failure ends it quietly.
    }
}

const std::array<const char*, 11>& CHLXUtils::PublishedValueNames() {
    return gwu::kHLXPublishedValues;
}

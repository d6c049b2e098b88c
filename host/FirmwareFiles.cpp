// The firmware release files and the host's folders (CGatewayFileUtils, CSystemInfo,
// CIOUtilities) on real folders.
#include "platform/FirmwareFiles.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "host/Folders.h"
#include "host/ReleaseFileNames.h"
#include "os/Os.h"
#include "platform/Diagnostics.h"

namespace gwu::host {

namespace {

RuntimePathService& InstalledRuntimePathService() {
    static RuntimePathService service;
    return service;
}

ReadFileService& InstalledReadFileService() {
    static ReadFileService service;
    return service;
}

std::optional<std::string> VersionIn(const std::string& fileName) {
    if (fileName.empty()) {
        return std::nullopt;
    }
    return ReadReleaseId(os::JoinPath(FirmwareFolder(), fileName));
}

}  // namespace

RuntimePathService SetRuntimePathServiceForTesting(RuntimePathService service) {
    return std::exchange(InstalledRuntimePathService(), std::move(service));
}

ReadFileService SetReadFileServiceForTesting(ReadFileService service) {
    return std::exchange(InstalledReadFileService(), std::move(service));
}

}  // namespace gwu::host

using gwu::host::Family;

CString CGatewayFileUtils::GetDefaultSoftwareLocation() {
    return gwu::host::FirmwareFolder();
}

CString CGatewayFileUtils::GetHLXFileName(CODETYPE codeType, const bool& flag) const {
    return gwu::host::ReleaseFileName(Family::Communication, codeType, flag);
}

CString CGatewayFileUtils::GetQPTFileName(CODETYPE codeType, const bool& flag) const {
    return gwu::host::ReleaseFileName(Family::Measurement, codeType, flag);
}

CString CGatewayFileUtils::GetHexFilename(CODETYPE codeType) const {
    return gwu::host::HexImageName(codeType);
}

bool CGatewayFileUtils::GetHLXVersionFromFile(CString fileName, CString& version) const {
    const auto id = gwu::host::VersionIn(fileName);
    if (id) {
        version = *id;
    }
    return id.has_value();
}

bool CGatewayFileUtils::GetQPTVersionFromFile(CString fileName, CString& version) const {
    return GetHLXVersionFromFile(fileName, version);
}

bool CGatewayFileUtils::RenameGatewayFile(CString nameForTrue, CString nameForFalse, bool flag) {
    if (nameForTrue.empty() || nameForFalse.empty()) {
        return false;
    }
    const std::string folder = GetDefaultSoftwareLocation();
    const gwu::host::Placement placement =
        gwu::host::PlaceDeviceLoadFile(folder, nameForTrue, nameForFalse);
    const std::string why = !placement.problem.empty()
                                ? placement.problem
                                : std::generic_category().message(placement.cause);
    const char* flagText = flag ? " (flag true)" : "";
    if (placement.cause == 0) {
        MonPrintf("RenameGatewayFile: %s placed as %s%s: done", nameForTrue.c_str(),
                  nameForFalse.c_str(), flagText);
    } else if (placement.placed) {
        MonPrintf("RenameGatewayFile: %s placed as %s%s, but not yet safe on the disk: %s",
                  nameForTrue.c_str(), nameForFalse.c_str(), flagText, why.c_str());
    } else {
        // The device keeps what it loads from now: it is never given a file that is refused.
        MonPrintf("RenameGatewayFile: %s not placed as %s%s: %s", nameForTrue.c_str(),
                  nameForFalse.c_str(), flagText, why.c_str());
    }
    return placement.cause == 0;
}

CString CGatewayFileUtils::GetCustomHLXCPLDFileName() const {
    return m_strCustomHLXCPLDFileName;
}

void CGatewayFileUtils::SetCustomHLXCPLDFileName(CString fileName) {
    m_strCustomHLXCPLDFileName = fileName;
}

int CSystemInfo::GetRuntimePath(CString& path) {
    if (const auto& service = gwu::host::InstalledRuntimePathService()) {
        return service(path);
    }
    path = gwu::host::RuntimeFolder();
    return 0;
}

int CSystemInfo::GetLogFilesPath(CString& path) {
    path = gwu::host::LogFolder();
    return 0;
}

long CIOUtilities::ReadFileContents(const char* path, unsigned char** buffer) {
    if (const auto& service = gwu::host::InstalledReadFileService()) {
        return service(path, buffer);
    }
    if (buffer == nullptr) {
        return 0;
    }
    *buffer = nullptr;
    if (path == nullptr) {
        return 0;
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return 0;
    }
    const std::streamoff size = in.tellg();
    if (size <= 0 || size >= static_cast<std::streamoff>(LONG_MAX)) {
        return 0;
    }
    in.seekg(0);
    auto* data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size) + 1));
    if (data == nullptr) {
        return 0;
    }
    if (!in.read(reinterpret_cast<char*>(data), size)) {
        std::free(data);
        return 0;
    }
    data[size] = '\0';
    *buffer = data;
    return static_cast<long>(size);
}

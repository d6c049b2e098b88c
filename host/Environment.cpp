// The environment, I/O utilities and folder services on real folders.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>
#include <utility>

#include "Diagnostics.h"
#include "FirmwareFiles.h"
#include "Folders.h"
#include "os/Os.h"
#include "platform/Environment.h"

namespace gwu::host {

namespace {

constexpr int kSharingRetries = 200;  // of 10 ms each

std::string FolderFrom(const char* variable, const char* sampleSubfolder) {
    const char* value = std::getenv(variable);
    std::string folder = value != nullptr && *value != '\0'
                             ? std::string(value)
                             : std::string(GWU_SAMPLE_DIR) + "/" + sampleSubfolder;
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == os::PathSeparator())) {
        folder.pop_back();
    }
    return folder;
}

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

std::string FirmwareFolder() {
    return FolderFrom(kFirmwareDirVariable, "firmware");
}
std::string RuntimeFolder() {
    return FolderFrom(kRuntimeDirVariable, "runtime");
}
std::string LogFolder() {
    return FolderFrom(kLogDirVariable, "logs");
}

RuntimePathService SetRuntimePathServiceForTesting(RuntimePathService service) {
    return std::exchange(InstalledRuntimePathService(), std::move(service));
}

ReadFileService SetReadFileServiceForTesting(ReadFileService service) {
    return std::exchange(InstalledReadFileService(), std::move(service));
}

int PlaceDeviceLoadFile(const std::string& folder, const std::string& releaseName,
                        const std::string& deviceLoadName) {
    std::string content;
    {
        std::ifstream in(os::JoinPath(folder, releaseName), std::ios::binary);
        if (!in) {
            return ENOENT;
        }
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            return EIO;
        }
    }
    const std::string target = os::JoinPath(folder, deviceLoadName);
    const std::string temp = target + kPlacingSuffix;
    // A temporary file left by a copy that was cut short is ours and of no use to anyone.
    os::RemoveFile(temp);
    if (const int cause = os::WriteNewFileDurably(temp, content)) {
        return cause;
    }
    // Windows refuses to replace a file that a reader (a device loading it) holds open:
    // that passes within moments, so the rename is tried again for a while.
    int cause = os::RenameReplace(temp, target);
    for (int retry = 0; cause == EWOULDBLOCK && retry < kSharingRetries; ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        cause = os::RenameReplace(temp, target);
    }
    if (cause != 0) {
        os::RemoveFile(temp);
        return cause;
    }
    return os::SyncFolder(folder);
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
    const int cause = gwu::host::PlaceDeviceLoadFile(folder, nameForTrue, nameForFalse);
    MonPrintf("RenameGatewayFile: %s placed as %s%s: %s", nameForTrue.c_str(), nameForFalse.c_str(),
              flag ? " (flag true)" : "",
              cause != 0 ? std::generic_category().message(cause).c_str() : "done");
    return cause == 0;
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

// The stand-in host's folders on real folders, and the placing of a device-load file.
#include "host/Folders.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "os/Os.h"

namespace gwu::host {

namespace {

constexpr int kSharingRetries = 200;  // of 10 ms each

std::string FolderFrom(const char* variable, const char* sampleSubfolder) {
    const char* value = std::getenv(variable);
    std::string folder = value != nullptr && *value != '\0'
                             ? std::string(value)
                             : os::JoinPath(os::SampleFolder(), sampleSubfolder);
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == os::PathSeparator())) {
        folder.pop_back();
    }
    return folder;
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

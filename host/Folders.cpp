// The stand-in host's folders on real folders, and the placing of a device-load file.
#include "host/Folders.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "firmware/ReleaseFile.h"
#include "os/Os.h"

namespace gwu::host {

namespace {

namespace fs = std::filesystem;

constexpr int kSharingRetries = 200;  // of 10 ms each
// The most a device-load file may allow, whatever its release file allows: rw-r--r--.
constexpr fs::perms kMostDeviceLoadMode =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

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

#ifdef _WIN32
// Windows keeps no permission bits: a new file takes the folder's inherited access rules.
int WriteNewFileDurably(const std::string& path, const std::string& content, fs::perms) {
    return os::WriteNewFileDurably(path, content);
}
#else
// os::WriteNewFileDurably, but created with no permission bits beyond the mode (the umask may
// take more away), so that no one the mode leaves out can open it even for a moment. The same
// file-operation checks (os::CheckFileOp) come before the same steps.
int WriteNewFileDurably(const std::string& path, const std::string& content, fs::perms mode) {
    if (const int injected = os::CheckFileOp(os::FileOp::Open, path)) {
        return injected;
    }
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) {
        return errno;
    }
    // Closes the file on every way out, a stop in the check included.
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } closer{fd};
    int result = os::CheckFileOp(os::FileOp::Write, path);
    for (size_t done = 0; result == 0 && done < content.size();) {
        const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno != EINTR) {
            result = errno;
        } else if (written == 0) {
            result = EIO;
        } else if (written > 0) {
            done += static_cast<size_t>(written);
        }
    }
    if (result == 0) {
        result = os::CheckFileOp(os::FileOp::Flush, path);
    }
    if (result == 0 && ::fsync(fd) != 0) {
        result = errno;
    }
    closer.fd = -1;
    if (::close(fd) != 0 && result == 0) {
        result = errno;
    }
    if (result != 0) {
        ::unlink(path.c_str());
    }
    return result;
}
#endif

PlacementCheck& InstalledPlacementCheck() {
    static PlacementCheck check;
    return check;
}

}  // namespace

PlacementCheck SetPlacementCheck(PlacementCheck check) {
    return std::exchange(InstalledPlacementCheck(), std::move(check));
}

std::string FirmwareFolder() {
    return FolderFrom(kFirmwareDirVariable, "firmware");
}
std::string RuntimeFolder() {
    return FolderFrom(kRuntimeDirVariable, "runtime");
}
std::string LogFolder() {
    // An installed program writes nothing into its installation (which a user may not even be
    // allowed to write): without a folder named, its logs go to the user's own data folder.
    const char* value = std::getenv(kLogDirVariable);
    if ((value == nullptr || *value == '\0') && !os::RunsFromBuildTree()) {
        if (const std::string user = os::UserDataFolder(); !user.empty()) {
            return os::JoinPath(user, "logs");
        }
    }
    return FolderFrom(kLogDirVariable, "logs");
}

Placement PlaceDeviceLoadFile(const std::string& folder, const std::string& releaseName,
                              const std::string& deviceLoadName) {
    const std::string source = os::JoinPath(folder, releaseName);
    // The file's own reading says in words why it is refused: missing, a folder, unreadable,
    // or no release identifier the device could report.
    if (auto reading = firmware::ReadReleaseIdOrProblem(source); !reading.id) {
        return {EINVAL, false, std::move(reading.problem)};
    }
    std::string content;
    if (const int injected = os::CheckFileOp(os::FileOp::Read, source)) {
        return {injected, false, {}};
    }
    {
        std::ifstream in(source, std::ios::binary);
        if (!in) {
            return {ENOENT, false, {}};
        }
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            return {EIO, false, {}};
        }
    }
    // The content read is checked again, so that the bytes checked are the bytes the device
    // gets, whatever became of the file in between.
    if (auto reading = firmware::ReleaseIdOrProblemIn(content); !reading.id) {
        return {EINVAL, false, std::move(reading.problem)};
    }
    if (const PlacementCheck& check = InstalledPlacementCheck()) {
        if (std::string refusal = check(folder, releaseName, content); !refusal.empty()) {
            return {EACCES, false, std::move(refusal)};
        }
    }
    std::error_code error;
    const fs::perms sourceMode = fs::status(source, error).permissions();
    const fs::perms mode =
        error ? fs::perms::owner_read | fs::perms::owner_write : sourceMode & kMostDeviceLoadMode;
    const std::string target = os::JoinPath(folder, deviceLoadName);
    const std::string temp = target + kPlacingSuffix;
    // A temporary file left by a copy that was cut short is ours and of no use to anyone.
    os::RemoveFile(temp);
    if (const int cause = WriteNewFileDurably(temp, content, mode)) {
        return {cause, false, {}};
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
        return {cause, false, {}};
    }
    // The rename is durable only once the folder is.
    return {os::SyncFolder(folder), true, {}};
}

}  // namespace gwu::host

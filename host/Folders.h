// The stand-in host's folders. Each comes from an environment variable, else from the sample
// folders (os::SampleFolder: the repository's samples/ from the build tree, share/gatewayutils
// when installed):
//   GWU_FIRMWARE_DIR  firmware release folder   (default samples/firmware)
//   GWU_RUNTIME_DIR   runtime folder            (default samples/runtime)
//   GWU_LOG_DIR       log-files folder          (default samples/logs from the build tree; an
//                                                installed program's is "logs" in the user's
//                                                data folder, os::UserDataFolder)
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace gwu::host {

constexpr const char* kFirmwareDirVariable = "GWU_FIRMWARE_DIR";
constexpr const char* kRuntimeDirVariable = "GWU_RUNTIME_DIR";
constexpr const char* kLogDirVariable = "GWU_LOG_DIR";

// Each without a trailing separator.
std::string FirmwareFolder();
std::string RuntimeFolder();
std::string LogFolder();

// Places a copy of the release file where the device loads its firmware from, both in the
// folder: the content goes to "<deviceLoadName>.placing", is flushed to the disk and renamed
// over the device-load file, and the folder is synced, so that the device-load file holds its
// old or its new content whatever happens meanwhile (a crash, a full disk). The release file is
// left as it is. A temporary file left by an earlier attempt is removed first.
//
// The content is checked before anything is written: a file that holds no release identifier
// the device could report (firmware::ReleaseIdOrProblemIn) is refused, and the device keeps
// what it has. On POSIX systems the copy gets no permission bit that the release file lacks
// (nor any beyond rw-r--r--, the umask taking away more); on Windows it takes the folder's
// inherited access rules, as any new file there, and never the read-only attribute, which would
// stop the next placement from replacing it.
//
// With a placement check installed (SetPlacementCheck), the exact bytes read for the copy are
// given to it before anything is written, and a refusal places nothing (EACCES, its reason as
// the problem): a release swapped after an earlier check is caught where it is copied.
constexpr const char* kPlacingSuffix = ".placing";
struct Placement {
    int cause = 0;        // 0 or the error number (EINVAL for a refused release file)
    bool placed = false;  // the device-load file holds the new content (not yet durable if cause)
    std::string problem;  // why the release file was refused or unreadable, in words; or empty
};
Placement PlaceDeviceLoadFile(const std::string& folder, const std::string& releaseName,
                              const std::string& deviceLoadName);

// The check of the bytes about to be placed (the folder, the release's name, its bytes): empty
// when they may go to the device, else why not. None is installed by default; the tools install
// the signed folders' check. Returns the one installed before. Install while no other thread
// places files.
using PlacementCheck = std::function<std::string(
    const std::string& folder, const std::string& releaseName, std::string_view bytes)>;
PlacementCheck SetPlacementCheck(PlacementCheck check);

// Test-only: a host whose services fail where the stand-in's own never do. While a function is
// installed, the runtime-folder lookup (CSystemInfo::GetRuntimePath) or the whole-file read
// (CIOUtilities::ReadFileContents) is that function; an empty one restores the stand-in's own.
// Each returns the function installed before. Install while no other thread uses the service.
using RuntimePathService = std::function<int(std::string& path)>;
using ReadFileService = std::function<long(const char* path, unsigned char** buffer)>;
RuntimePathService SetRuntimePathServiceForTesting(RuntimePathService service);
ReadFileService SetReadFileServiceForTesting(ReadFileService service);

}  // namespace gwu::host

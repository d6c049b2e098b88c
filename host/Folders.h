// The stand-in host's folders. Each comes from an environment variable, else from the sample
// data shipped in the repository:
//   GWU_FIRMWARE_DIR  firmware release folder   (default samples/firmware)
//   GWU_RUNTIME_DIR   runtime folder            (default samples/runtime)
//   GWU_LOG_DIR       log-files folder          (default samples/logs)
#pragma once

#include <string>

namespace gwu::host {

constexpr const char* kFirmwareDirVariable = "GWU_FIRMWARE_DIR";
constexpr const char* kRuntimeDirVariable = "GWU_RUNTIME_DIR";
constexpr const char* kLogDirVariable = "GWU_LOG_DIR";

// Each without a trailing separator.
std::string FirmwareFolder();
std::string RuntimeFolder();
std::string LogFolder();

}  // namespace gwu::host

// The firmware release folder's naming scheme and the way a release identifier is stored.
//
// Every code type of a family has two files: its release as installed on the tester
// ("<FAMILY>_<CODE>.rel", the name for flag true) and the file the device loads its firmware
// from ("<FAMILY>_<CODE>.bin", the name for flag false). An update places a copy of the first
// as the second (PlaceDeviceLoadFile) and leaves the first where it is. The communication module's
// cable firmware also has a hex image, "HLX_MAC.hex".
//
// A firmware file starts with the line "Release-Id: <identifier>" (LF or CR LF); whatever
// follows is the image itself and is not looked at here.
#pragma once

#include <optional>
#include <string>

#include "platform/CodeTypes.h"

namespace gwu::host {

enum class Family { Communication, Measurement };

constexpr const char* kReleaseIdPrefix = "Release-Id: ";
// Longest identifier a file may carry: what fits a device's 128-byte text reply.
constexpr size_t kMaxReleaseIdLength = 127;

// Empty for a code type the family does not have.
std::string ReleaseFileName(Family family, CODETYPE codeType, bool installedRelease);
std::string HexImageName(CODETYPE codeType);

// The identifier stored at the start of a file; nothing for a missing or malformed file.
std::optional<std::string> ReadReleaseId(const std::string& path);
// Writes a firmware file holding the identifier and a small image body.
bool WriteReleaseFile(const std::string& path, const std::string& releaseId);

}  // namespace gwu::host

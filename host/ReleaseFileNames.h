// The firmware release folder's naming scheme, and the release identifier's file format under the
// stand-in host's names.
//
// Every code type of a family has two files: its release as installed on the tester
// ("<FAMILY>_<CODE>.rel", the name for flag true) and the file the device loads its firmware
// from ("<FAMILY>_<CODE>.bin", the name for flag false). An update places a copy of the first
// as the second (PlaceDeviceLoadFile) and leaves the first where it is. The communication module's
// cable firmware also has a hex image, "HLX_MAC.hex".
//
// How a firmware file stores its release identifier is firmware/ReleaseFile.h's, shared with the
// emulated gateway; the host's users reach it by the names below as well.
#pragma once

#include <string>

#include "gatewayutils/firmware/ReleaseFile.h"
#include "gatewayutils/platform/CodeTypes.h"

namespace gwu::host {

enum class Family { Communication, Measurement };

using firmware::kMaxReleaseIdLength;
using firmware::kReleaseIdPrefix;
using firmware::ReadReleaseId;
using firmware::WriteReleaseFile;

// Empty for a code type the family does not have.
std::string ReleaseFileName(Family family, CODETYPE codeType, bool installedRelease);
std::string HexImageName(CODETYPE codeType);

}  // namespace gwu::host

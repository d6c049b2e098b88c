// Comparison of two release identifiers, component by component.
#pragma once

#include <string_view>

#include "gatewayutils/platform/CodeTypes.h"

namespace gwu {

// The verdict for a device release against a disk release. Leading E letters, then leading R
// letters are ignored; the rest are components separated by one or more dots, each read as a
// decimal number the way atoi reads it (saturating at the int range). Missing components count
// as 0: 12.3 equals 12.3.0 and is older than 12.3.1.
DIFFTYPE CompareReleaseIds(std::string_view deviceId, std::string_view diskId);

}  // namespace gwu

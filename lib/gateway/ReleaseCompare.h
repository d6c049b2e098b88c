// Comparison of two release identifiers, component by component.
#pragma once

#include <string>
#include <string_view>

#include "gatewayutils/platform/CodeTypes.h"

class CGatewayUtils;

namespace gwu {

// The verdict for a device release against a disk release. Leading E letters, then leading R
// letters are ignored; the rest are components separated by one or more dots, each read as a
// decimal number the way atoi reads it (saturating at the int range). Missing components count
// as 0: 12.3 equals 12.3.0 and is older than 12.3.1.
DIFFTYPE CompareReleaseIds(std::string_view deviceId, std::string_view diskId);

// Whether a device's release text is a manufacturing release, always to be replaced.
bool IsManufacturingRelease(std::string_view deviceText);

// The verdict a check gives a code type compared with its release file (loaded code, PROM,
// bootstrap; the cable firmware where a family names a file for it): the device's release text
// against the text of the file's Release-Id, each trimmed by the family's rule. A manufacturing
// release is Forced. When both trim, the identifiers compare (CompareReleaseIds), or, when the
// disk's has no number, must be equal but for case. A device text that does not trim is Older
// when it carries the legacy-software mark (legacy is then set), Same when it is a placeholder
// (the device was not read) or the cable's, else Same only when it equals the disk's text.
DIFFTYPE CompareWithReleaseFile(CGatewayUtils& family, CODETYPE codeType,
                                const std::string& deviceText, const std::string& diskText,
                                bool& legacy);

}  // namespace gwu

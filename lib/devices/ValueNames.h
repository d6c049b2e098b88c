// The names the devices publish their readings under in the host's value store: the one place
// they are written down. Host screens and log readers look values up by these exact names.
#pragma once

#include <array>

#include "gatewayutils/platform/CodeTypes.h"

namespace gwu {

// A code type's release as published: trimmed ("R1.2.3") and as the device sent it.
struct ReleaseValueNames {
    const char* trimmed;
    const char* untrimmed;
};

// The communication module, in code-type order.
constexpr std::array<ReleaseValueNames, 5> kHLXReleaseValues = {{
    {"HLX_Release", "HLX_Release_Untrimmed"},
    {"HLX_PROM_Release", "HLX_PROM_Release_Untrimmed"},
    {"HLX_Bootstrap_Release", "HLX_Bootstrap_Release_Untrimmed"},
    {"HLX_CPLD_Release", "HLX_CPLD_Release_Untrimmed"},
    {"HLX_MAC_Firmware_Release", "HLX_MAC_Firmware_Release_Untrimmed"},
}};
constexpr const char* kHLXSerialNumValue = "HLX_SerialNum";

// The measurement module: loaded code and PROM.
constexpr std::array<ReleaseValueNames, 2> kQPTReleaseValues = {{
    {"QPT_Release", "QPT_Release_Untrimmed"},
    {"QPT_PROM_Release", "QPT_PROM_Release_Untrimmed"},
}};
constexpr const char* kQPTSerialNumValue = "QPT_SerialNum";

// Every name each device publishes under, in the order its placeholders ("Unknown",
// "NotConnected") go out.
constexpr std::array<const char*, 11> kHLXPublishedValues = {
    kHLXSerialNumValue,
    kHLXReleaseValues[LC_CODE].trimmed,
    kHLXReleaseValues[PROM_CODE].trimmed,
    kHLXReleaseValues[LC_CODE].untrimmed,
    kHLXReleaseValues[PROM_CODE].untrimmed,
    kHLXReleaseValues[BS_CODE].trimmed,
    kHLXReleaseValues[BS_CODE].untrimmed,
    kHLXReleaseValues[CPLD_CODE].trimmed,
    kHLXReleaseValues[CPLD_CODE].untrimmed,
    kHLXReleaseValues[MAC_CODE].trimmed,
    kHLXReleaseValues[MAC_CODE].untrimmed,
};
constexpr std::array<const char*, 5> kQPTPublishedValues = {
    kQPTSerialNumValue,
    kQPTReleaseValues[LC_CODE].trimmed,
    kQPTReleaseValues[PROM_CODE].trimmed,
    kQPTReleaseValues[LC_CODE].untrimmed,
    kQPTReleaseValues[PROM_CODE].untrimmed,
};

}  // namespace gwu

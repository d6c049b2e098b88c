#include "host/ReleaseFileNames.h"

#include <array>

namespace gwu::host {

namespace {

constexpr std::array<const char*, 5> kCodeNames = {"LC", "PROM", "BOOT", "CPLD", "MAC"};

}  // namespace

std::string ReleaseFileName(Family family, CODETYPE codeType, bool installedRelease) {
    const bool communication = family == Family::Communication;
    const int last = communication ? MAC_CODE : PROM_CODE;
    if (codeType < LC_CODE || codeType > last) {
        return {};
    }
    std::string name = communication ? "HLX_" : "QPT_";
    name += kCodeNames[static_cast<size_t>(codeType)];
    name += installedRelease ? ".rel" : ".bin";
    return name;
}

std::string HexImageName(CODETYPE codeType) {
    return codeType == MAC_CODE ? "HLX_MAC.hex" : std::string{};
}

}  // namespace gwu::host

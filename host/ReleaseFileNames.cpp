#include "host/ReleaseFileNames.h"

#include <array>
#include <fstream>

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

std::optional<std::string> ReadReleaseId(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    // Only the first line matters; never read more than it can hold.
    std::string line;
    char c = 0;
    const size_t limit = std::char_traits<char>::length(kReleaseIdPrefix) + kMaxReleaseIdLength;
    while (line.size() <= limit && in.get(c) && c != '\n') {
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const std::string prefix = kReleaseIdPrefix;
    if (line.size() > limit || line.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    return line.substr(prefix.size());
}

bool WriteReleaseFile(const std::string& path, const std::string& releaseId) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << kReleaseIdPrefix << releaseId << "\r\n"
        << "image: " << releaseId << "\r\n";
    return static_cast<bool>(out);
}

}  // namespace gwu::host

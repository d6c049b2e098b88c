#include "firmware/ReleaseFile.h"

#include <fstream>

namespace gwu::firmware {

std::optional<std::string> ReadReleaseId(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string prefix = kReleaseIdPrefix;
    const size_t longest = prefix.size() + kMaxReleaseIdLength;
    // Only the first line matters; never read more than the longest line, its CR and the one
    // byte that shows a line to be longer still.
    std::string line;
    char c = 0;
    while (line.size() <= longest + 1 && in.get(c) && c != '\n') {
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.size() > longest || line.compare(0, prefix.size(), prefix) != 0) {
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

}  // namespace gwu::firmware

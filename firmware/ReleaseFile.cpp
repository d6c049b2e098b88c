#include "firmware/ReleaseFile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace gwu::firmware {

ReleaseIdReading ReadReleaseIdOrProblem(const std::string& path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        return {std::nullopt, "no such file"};
    }
    if (std::filesystem::is_directory(status)) {
        return {std::nullopt, "it is a folder, not a file"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {std::nullopt, "it cannot be opened for reading"};
    }
    // Only the first line matters; never read more than the longest line, its CR and the one
    // byte that shows a line to be longer still.
    const size_t enough = std::string_view(kReleaseIdPrefix).size() + kMaxReleaseIdLength + 2;
    std::string line;
    char c = 0;
    while (line.size() < enough && in.get(c) && c != '\n') {
        line += c;
    }
    return ReleaseIdOrProblemIn(line);
}

ReleaseIdReading ReleaseIdOrProblemIn(std::string_view content) {
    const std::string_view prefix = kReleaseIdPrefix;
    const size_t longest = prefix.size() + kMaxReleaseIdLength;
    std::string_view line = content.substr(0, std::min(content.find('\n'), longest + 2));
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.substr(0, prefix.size()) != prefix) {
        return {std::nullopt, "no \"Release-Id: \" line at its start: not a release file"};
    }
    if (line.size() > longest) {
        return {std::nullopt, "its Release-Id is longer than " +
                                  std::to_string(kMaxReleaseIdLength) + " characters"};
    }
    return {std::string(line.substr(prefix.size())), ""};
}

std::optional<std::string> ReadReleaseId(const std::string& path) {
    return ReadReleaseIdOrProblem(path).id;
}

bool WriteReleaseFile(const std::string& path, const std::string& releaseId) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << kReleaseIdPrefix << releaseId << "\r\n"
        << "image: " << releaseId << "\r\n";
    return static_cast<bool>(out);
}

}  // namespace gwu::firmware

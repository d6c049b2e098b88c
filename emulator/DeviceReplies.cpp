#include "emulator/DeviceReplies.h"

#include <algorithm>
#include <fstream>
#include <utility>

namespace gwu::emu {

// The first line of a firmware file is "Release-Id: <identifier>" (LF or CR LF).
constexpr const char* kReleaseIdPrefix = "Release-Id: ";
constexpr size_t kMaxReleaseIdBytes = 127;

std::optional<std::string> ReadReleaseId(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string prefix = kReleaseIdPrefix;
    const size_t limit = prefix.size() + kMaxReleaseIdBytes + 1;  // room for a CR
    std::string line;
    char c = 0;
    while (line.size() <= limit && in.get(c) && c != '\n') {
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.size() > prefix.size() + kMaxReleaseIdBytes ||
        line.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    return line.substr(prefix.size());
}

std::string JoinPath(const std::string& folder, const char* name) {
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string PathFromData(const std::string& data) {
    return data.substr(0, data.find('\0'));
}

Response TakeRelease(const Request& request, std::optional<std::string>& item) {
    auto release = ReadReleaseId(PathFromData(request.data));
    if (!release) {
        return Reply(kErrorFile);
    }
    item = std::move(release);
    return Reply(0);
}

void LoadRelease(const std::string& folder, const char* fileName,
                 std::optional<std::string>& release) {
    if (auto loaded = ReadReleaseId(JoinPath(folder, fileName))) {
        release = std::move(loaded);
    }
}

Response Reply(std::int32_t error, std::string bytes) {
    Response response;
    response.error = error;
    response.bytes = std::move(bytes);
    return response;
}

size_t Room(const Request& request) {
    return static_cast<size_t>(std::clamp(request.capacity, 0, kMaxReplyBytes));
}

Response ItemReply(const std::optional<std::string>& item, const Request& request) {
    if (!item) {
        return Reply(kErrorNotAvailable);
    }
    return Reply(0, item->substr(0, Room(request)));
}

}  // namespace gwu::emu

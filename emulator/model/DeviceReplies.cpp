#include "emulator/model/DeviceReplies.h"

#include <algorithm>
#include <utility>

#include "firmware/ReleaseFile.h"

namespace gwu::emu {

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
    auto release = firmware::ReadReleaseId(PathFromData(request.data));
    if (!release) {
        return Reply(kErrorFile);
    }
    item = std::move(release);
    return Reply(0);
}

void LoadRelease(const std::string& folder, const char* fileName,
                 std::optional<std::string>& release) {
    if (auto loaded = firmware::ReadReleaseId(JoinPath(folder, fileName))) {
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

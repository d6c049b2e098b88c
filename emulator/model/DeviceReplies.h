// What both emulated devices share: the shape of their answers and how they take the release
// stored at the start of a firmware file (read as firmware/ReleaseFile.h reads it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "emulator/model/Gateway.h"

namespace gwu::emu {

// An answer with an error code and reply bytes.
Response Reply(std::int32_t error, std::string bytes = {});
// The room a request offers for its reply, within what a device ever sends.
size_t Room(const Request& request);
// An item as the device sends it: its bytes up to the room, error 5 when there is none.
Response ItemReply(const std::optional<std::string>& item, const Request& request);
// The text of a request's data up to its first zero byte.
std::string PathFromData(const std::string& data);

std::string JoinPath(const std::string& folder, const char* name);
// An update from the firmware file a request names: the item takes the file's release, or the
// answer is error 2 when the file holds none.
Response TakeRelease(const Request& request, std::optional<std::string>& item);
// Takes the release of a device-load file in the folder, when the file holds one.
void LoadRelease(const std::string& folder, const char* fileName,
                 std::optional<std::string>& release);

}  // namespace gwu::emu

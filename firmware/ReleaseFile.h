// The release identifier stored at the start of a firmware file, as the stand-in host and the
// emulated devices both read it.
//
// A firmware file starts with the line "Release-Id: <identifier>" (LF or CR LF); whatever
// follows is the image itself and is not looked at here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace gwu::firmware {

constexpr const char* kReleaseIdPrefix = "Release-Id: ";
// Longest identifier a file may carry: what fits a device's 128-byte text reply.
constexpr std::size_t kMaxReleaseIdLength = 127;

// The identifier on a file's first line, without the line end; nothing for a missing file or a
// malformed one (no prefix, or an identifier longer than kMaxReleaseIdLength).
std::optional<std::string> ReadReleaseId(const std::string& path);
// Writes a firmware file holding the identifier and a small image body.
bool WriteReleaseFile(const std::string& path, const std::string& releaseId);

}  // namespace gwu::firmware

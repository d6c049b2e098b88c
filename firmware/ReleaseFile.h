// The release identifier stored at the start of a firmware file, as the stand-in host and the
// emulated devices both read it.
//
// A firmware file starts with the line "Release-Id: <identifier>" (LF or CR LF); whatever
// follows is the image itself and is not looked at here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace gwu::firmware {

constexpr const char* kReleaseIdPrefix = "Release-Id: ";
// Longest identifier a file may carry: what fits a device's 128-byte text reply.
constexpr std::size_t kMaxReleaseIdLength = 127;

// What a file's first line holds: the identifier, or in words why the file is no release file.
struct ReleaseIdReading {
    std::optional<std::string> id;
    std::string problem;  // empty when there is an identifier
};

// The identifier on a file's first line, without the line end; the problem for a missing or
// unreadable file, or a malformed one (no prefix, or an identifier longer than
// kMaxReleaseIdLength), e.g. "no \"Release-Id: \" line at its start".
ReleaseIdReading ReadReleaseIdOrProblem(const std::string& path);
// The same reading of a file's content already in memory, so that the bytes a caller checks
// are the bytes it goes on to use.
ReleaseIdReading ReleaseIdOrProblemIn(std::string_view content);
// The same, without the problem: nothing for a missing, unreadable or malformed file.
std::optional<std::string> ReadReleaseId(const std::string& path);
// Writes a firmware file holding the identifier and a small image body.
bool WriteReleaseFile(const std::string& path, const std::string& releaseId);

}  // namespace gwu::firmware

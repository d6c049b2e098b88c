// The platform's file primitives under the OS helper, one implementation per platform
// (OsPosix.cpp, OsWindows.cpp, chosen by CMake). Each returns 0 or an errno value; everything
// above them (the file-operation seam, cleaning up after a failure, reading a whole file) is
// shared in Os.cpp. Only the helper's own files include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gwu::os::native {

using Native = std::intptr_t;  // a descriptor, or a HANDLE
constexpr Native kNoNative = -1;
// Up to this many bytes go to one read or write call.
constexpr size_t kChunk = size_t{1} << 30;

// Creates a new file for writing; fails when one exists.
int CreateNew(const std::string& path, Native& file);
// Opens (creating when missing) for reading and writing with other writers locked out.
int OpenExclusiveWriter(const std::string& path, Native& file);
int Seek(Native file, bool toEnd);
// The file's size; 0 when unknown.
std::uint64_t SizeOf(Native file);
int ReadSome(Native file, char* data, size_t size, size_t& got);
int WriteSome(Native file, const char* data, size_t size, size_t& written);
int SyncFile(Native file);
int CloseNative(Native file);
int RemoveNative(const std::string& path);
// Renames, replacing an existing target.
int RenameNative(const std::string& from, const std::string& to);
// Makes a completed rename in the folder durable.
int SyncFolderNative(const std::string& folder);
// Whether a file may be renamed over while it is open (a locked list file, say).
bool RenamesOverOpenFiles();

}  // namespace gwu::os::native

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
// One try at opening (creating when missing) for reading and writing with other writers locked
// out: 0 when done, EWOULDBLOCK while another writer holds the file (try again later, `file`
// may stay open for that), another error to give up (`file` then closed). `writersLock`
// receives the lock that must be held with the file (kNoNative where the file carries it), and
// `target` the file's own path, a link followed, as found while locked. A `target` that an
// earlier try left is where the lock is looked for first (Windows), so that a writer waiting
// for its turn does not open the file again and again.
int LockExclusiveWriter(const std::string& path, Native& file, Native& writersLock,
                        std::string& target);
// The path of the file that the path names, links followed; an error when it names none.
int FinalPathNative(const std::string& path, std::string& target);
int Seek(Native file, bool toEnd);
// Moves to the end and tells where that is.
int SeekToEnd(Native file, std::uint64_t& offset);
// Cuts the file to the size.
int Truncate(Native file, std::uint64_t size);
// The file's size; 0 when unknown.
std::uint64_t SizeOf(Native file);
int ReadSome(Native file, char* data, size_t size, size_t& got);
// Opens an existing file for reading, granting other openers everything (write, rename, remove).
int OpenForReading(const std::string& path, Native& file);
// Reads at the offset; the position of ReadSome does not move (POSIX) or does not matter.
int ReadAt(Native file, std::uint64_t offset, char* data, size_t size, size_t& got);
int WriteSome(Native file, const char* data, size_t size, size_t& written);
int SyncFile(Native file);
int CloseNative(Native file);
int RemoveNative(const std::string& path);
// Renames, replacing an existing target.
int RenameNative(const std::string& from, const std::string& to);
// Renames; fails with EEXIST when the target exists.
int RenameNoReplaceNative(const std::string& from, const std::string& to);
// Makes a completed rename in the folder durable.
int SyncFolderNative(const std::string& folder);
// Whether a file may be renamed over while it is open (a locked list file, say).
bool RenamesOverOpenFiles();
// The local time as "YYYYMMDD-HHMMSS".
std::string LocalTimeStampNative();

}  // namespace gwu::os::native

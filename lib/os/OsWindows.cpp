// The OS helper on Windows: the native file primitives and the platform's own answers (path
// separator, file lookup, the executable's folder).
#include "os/Os.h"
#include "os/OsNative.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace gwu::os {

namespace native {

namespace {

// The errno value nearest to a Windows error, so callers and monitor lines see one set of
// numbers on every platform.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_NETWORK_ACCESS_DENIED:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        default:
            return EIO;
    }
}

int Failed() {
    return ErrnoOf(::GetLastError());
}

HANDLE AsHandle(Native file) {
    return reinterpret_cast<HANDLE>(file);
}

int OpenNative(const std::string& path, DWORD access, DWORD share, DWORD disposition,
               Native& file) {
    const HANDLE handle = ::CreateFileA(path.c_str(), access, share, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Failed();
    }
    file = reinterpret_cast<Native>(handle);
    return 0;
}

}  // namespace

int CreateNew(const std::string& path, Native& file) {
    return OpenNative(path, GENERIC_WRITE, 0, CREATE_NEW, file);
}

namespace {

// The path of an open file as the system resolves it (links followed), without the "\\?\"
// prefix of that form.
int FinalPathOf(HANDLE handle, std::string& target) {
    std::vector<char> buffer(MAX_PATH);
    for (int tries = 0; tries < 3; ++tries) {
        const DWORD length =
            ::GetFinalPathNameByHandleA(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return Failed();
        }
        if (length < buffer.size()) {
            const std::string_view found(buffer.data(), length);
            if (found.rfind("\\\\?\\UNC\\", 0) == 0) {
                target = "\\\\" + std::string(found.substr(8));
            } else if (found.rfind("\\\\?\\", 0) == 0) {
                target = std::string(found.substr(4));
            } else {
                target = std::string(found);
            }
            return 0;
        }
        buffer.resize(length + 1);  // the length needed, with its terminating zero
    }
    return EIO;
}

}  // namespace

int FinalPathNative(const std::string& path, std::string& target) {
    // No access asked, every sharing granted: the look disturbs no writer or reader.
    const HANDLE file =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Failed();
    }
    const int result = FinalPathOf(file, target);
    ::CloseHandle(file);
    return result;
}

// The lock file beside the file, opened without sharing, is what writers wait for: it stays
// held from the read to the rewrite's rename, while the file itself must be closed for the
// rename. The file is then opened with deny-write sharing: readers are welcome, a writer
// that knows nothing of the lock file gets a sharing violation. Nothing stays open between
// tries. The lock goes beside the file the name leads to (a link's target); a name found to
// lead elsewhere once the lock is held is looked up again.
int LockExclusiveWriter(const std::string& path, Native& file, Native& writersLock,
                        std::string& target) {
    for (int tries = 0; tries < 8; ++tries) {
        if (target.empty() && FinalPathNative(path, target) != 0) {
            target = path;  // no file yet: it is made under the name
        }
        const std::string expected = target;
        Native lock = kNoNative;
        if (const int result = OpenNative(expected + ".lock", GENERIC_READ | GENERIC_WRITE, 0,
                                          OPEN_ALWAYS, lock)) {
            return result;
        }
        if (const int result = OpenNative(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                          OPEN_ALWAYS, file)) {
            CloseNative(lock);
            return result;
        }
        std::string found;
        if (FinalPathOf(AsHandle(file), found) != 0) {
            found = path;
        }
        if (found == expected) {
            writersLock = lock;
            return 0;
        }
        CloseNative(file);
        file = kNoNative;
        CloseNative(lock);
        target = found;
    }
    return EWOULDBLOCK;  // the name keeps leading elsewhere: another try later
}

int Seek(Native file, bool toEnd) {
    return ::SetFilePointerEx(AsHandle(file), LARGE_INTEGER{}, nullptr,
                              toEnd ? FILE_END : FILE_BEGIN)
               ? 0
               : Failed();
}

int SeekToEnd(Native file, std::uint64_t& offset) {
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(AsHandle(file), LARGE_INTEGER{}, &end, FILE_END)) {
        return Failed();
    }
    offset = static_cast<std::uint64_t>(end.QuadPart);
    return 0;
}

int Truncate(Native file, std::uint64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(AsHandle(file), at, nullptr, FILE_BEGIN) &&
                   ::SetEndOfFile(AsHandle(file))
               ? 0
               : Failed();
}

std::uint64_t SizeOf(Native file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(AsHandle(file), &size) && size.QuadPart > 0
               ? static_cast<std::uint64_t>(size.QuadPart)
               : 0;
}

int ReadSome(Native file, char* data, size_t size, size_t& got) {
    DWORD count = 0;
    if (!::ReadFile(AsHandle(file), data, static_cast<DWORD>(std::min(size, kChunk)), &count,
                    nullptr)) {
        return Failed();
    }
    got = count;
    return 0;
}

// Every sharing granted: a writer may append to the file, rename it (a rotation) or remove it
// while it is open here.
int OpenForReading(const std::string& path, Native& file) {
    return OpenNative(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      OPEN_EXISTING, file);
}

int ReadAt(Native file, std::uint64_t offset, char* data, size_t size, size_t& got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    if (!::ReadFile(AsHandle(file), data, static_cast<DWORD>(std::min(size, kChunk)), &count,
                    &at)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) {
            got = 0;
            return 0;
        }
        return ErrnoOf(error);
    }
    got = count;
    return 0;
}

int WriteSome(Native file, const char* data, size_t size, size_t& written) {
    DWORD count = 0;
    if (!::WriteFile(AsHandle(file), data, static_cast<DWORD>(std::min(size, kChunk)), &count,
                     nullptr)) {
        return Failed();
    }
    written = count;
    return 0;
}

int SyncFile(Native file) {
    return ::FlushFileBuffers(AsHandle(file)) ? 0 : Failed();
}

int CloseNative(Native file) {
    return ::CloseHandle(AsHandle(file)) ? 0 : Failed();
}

int RemoveNative(const std::string& path) {
    return ::DeleteFileA(path.c_str()) ? 0 : Failed();
}

// Replace and write-through: the rename is on the disk when the call returns.
int RenameNative(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : Failed();
}

int RenameNoReplaceNative(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : Failed();
}

// The write-through rename needs no flush of its folder (nor can a folder be flushed here).
int SyncFolderNative(const std::string& /*folder*/) {
    return 0;
}

// Windows does not rename over a file that is open.
bool RenamesOverOpenFiles() {
    return false;
}

std::string LocalTimeStampNative() {
    SYSTEMTIME local{};
    ::GetLocalTime(&local);
    char text[32] = "";
    const auto field = [](WORD value) { return static_cast<unsigned>(value); };
    std::snprintf(text, sizeof text, "%04u%02u%02u-%02u%02u%02u", field(local.wYear),
                  field(local.wMonth), field(local.wDay), field(local.wHour), field(local.wMinute),
                  field(local.wSecond));
    return text;
}

}  // namespace native

char PathSeparator() {
    return '\\';
}

bool FindFirstFileMatch(const std::string& path) {
    const size_t cut = path.find_last_of("\\/");
    if (path.empty() || cut == path.size() - 1) {
        return false;  // no name to look for
    }
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::FindClose(search);
    return true;
}

std::string ExecutableFolder() {
    // Long paths need a bigger buffer than MAX_PATH; a full buffer means it was too small.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            const std::string exe(buffer.data(), length);
            const size_t cut = exe.find_last_of("\\/");
            return cut == std::string::npos ? std::string() : exe.substr(0, cut);
        }
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string UserDataFolder() {
    // The user's local application data, which no roaming profile copies to other computers.
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && local[0] != '\0') {
        return JoinPath(local, "gatewayutils");
    }
    if (const char* profile = std::getenv("USERPROFILE");
        profile != nullptr && profile[0] != '\0') {
        return JoinPath(JoinPath(JoinPath(profile, "AppData"), "Local"), "gatewayutils");
    }
    return {};
}

bool PathExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace gwu::os

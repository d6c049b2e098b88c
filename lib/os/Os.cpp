#include "os/Os.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <vector>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace gwu::os {

namespace {

// The platform's primitives, each returning 0 or an errno value; everything above them (the
// file-operation seam, cleaning up after a failure, reading a whole file) is shared.
using Native = std::intptr_t;  // a descriptor, or a HANDLE
constexpr Native kNoNative = -1;
// Up to this many bytes go to one read or write call.
constexpr size_t kChunk = size_t{1} << 30;

#ifdef _WIN32

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

int CreateNew(const std::string& path, Native& file) {
    return OpenNative(path, GENERIC_WRITE, 0, CREATE_NEW, file);
}

// Deny-write sharing: readers are welcome, a second writer gets a sharing violation.
int OpenExclusiveWriter(const std::string& path, Native& file) {
    return OpenNative(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, file);
}

int Seek(Native file, bool toEnd) {
    return ::SetFilePointerEx(AsHandle(file), LARGE_INTEGER{}, nullptr,
                              toEnd ? FILE_END : FILE_BEGIN)
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

// The write-through rename needs no flush of its folder (nor can a folder be flushed here).
int SyncFolderNative(const std::string& /*folder*/) {
    return 0;
}

// Windows does not rename over a file that is open.
constexpr bool kRenamesOverOpenFiles = false;

#else  // POSIX

int Failed() {
    return errno;
}

int OpenNative(const std::string& path, int flags, Native& file) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Failed();
    }
    file = fd;
    return 0;
}

int CreateNew(const std::string& path, Native& file) {
    return OpenNative(path, O_WRONLY | O_CREAT | O_EXCL, file);
}

// The advisory lock every writer of the file takes.
int OpenExclusiveWriter(const std::string& path, Native& file) {
    Native opened = kNoNative;
    if (const int result = OpenNative(path, O_RDWR | O_CREAT, opened)) {
        return result;
    }
    if (::flock(static_cast<int>(opened), LOCK_EX | LOCK_NB) != 0) {
        const int result = Failed();
        ::close(static_cast<int>(opened));
        return result;
    }
    file = opened;
    return 0;
}

int Seek(Native file, bool toEnd) {
    return ::lseek(static_cast<int>(file), 0, toEnd ? SEEK_END : SEEK_SET) < 0 ? Failed() : 0;
}

std::uint64_t SizeOf(Native file) {
    struct stat info {};
    return ::fstat(static_cast<int>(file), &info) == 0 && info.st_size > 0
               ? static_cast<std::uint64_t>(info.st_size)
               : 0;
}

int ReadSome(Native file, char* data, size_t size, size_t& got) {
    for (;;) {
        const ssize_t count = ::read(static_cast<int>(file), data, std::min(size, kChunk));
        if (count >= 0) {
            got = static_cast<size_t>(count);
            return 0;
        }
        if (errno != EINTR) {
            return Failed();
        }
    }
}

int WriteSome(Native file, const char* data, size_t size, size_t& written) {
    for (;;) {
        const ssize_t count = ::write(static_cast<int>(file), data, std::min(size, kChunk));
        if (count >= 0) {
            written = static_cast<size_t>(count);
            return 0;
        }
        if (errno != EINTR) {
            return Failed();
        }
    }
}

int SyncFile(Native file) {
    return ::fsync(static_cast<int>(file)) == 0 ? 0 : Failed();
}

int CloseNative(Native file) {
    return ::close(static_cast<int>(file)) == 0 ? 0 : Failed();  // also releases a lock
}

int RemoveNative(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : Failed();
}

int RenameNative(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : Failed();
}

int SyncFolderNative(const std::string& folder) {
    Native dir = kNoNative;
    if (const int result = OpenNative(folder, O_RDONLY | O_DIRECTORY, dir)) {
        return result;
    }
    const int result = SyncFile(dir);
    CloseNative(dir);
    return result;
}

// A rename replaces the name; the open file stays locked until closed, so no other writer
// slips in between.
constexpr bool kRenamesOverOpenFiles = true;

// Matches a name against a pattern of '*' and '?' wildcards, iteratively with one
// backtracking point, so the cost stays linear-ish for any pattern.
bool WildcardMatch(std::string_view name, std::string_view pattern) {
    size_t n = 0;
    size_t p = 0;
    size_t starP = std::string_view::npos;
    size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

#endif

int WriteFully(Native file, std::string_view data) {
    while (!data.empty()) {
        size_t written = 0;
        if (const int result = WriteSome(file, data.data(), data.size(), written)) {
            return result;
        }
        if (written == 0) {
            return EIO;
        }
        data.remove_prefix(written);
    }
    return 0;
}

std::mutex g_hookMutex;
FileOpHook g_hook;

}  // namespace

FileOpHook SetFileOpHook(FileOpHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    std::swap(g_hook, hook);
    return hook;
}

int CheckFileOp(FileOp op, const std::string& path) {
    FileOpHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    return hook ? hook(op, path) : 0;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    std::string path = folder;
    path += PathSeparator();
    path += name;
    return path;
}

#ifdef _WIN32

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

bool PathExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

#else  // POSIX

namespace fs = std::filesystem;

char PathSeparator() {
    return '/';
}

bool FindFirstFileMatch(const std::string& path) {
    const size_t cut = path.find_last_of(PathSeparator());
    const std::string folder = cut == std::string::npos ? "." : path.substr(0, cut);
    const std::string pattern = cut == std::string::npos ? path : path.substr(cut + 1);
    if (pattern.empty()) {
        return false;
    }
    std::error_code ec;
    if (pattern.find_first_of("*?") == std::string::npos) {
        return fs::exists(fs::symlink_status(path, ec));
    }
    for (fs::directory_iterator it(folder.empty() ? "/" : folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (WildcardMatch(it->path().filename().string(), pattern)) {
            return true;
        }
    }
    return false;
}

std::string ExecutableFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return {};
    }
    return exe.parent_path().string();
}

bool PathExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

#endif

int RenameReplace(const std::string& from, const std::string& to) {
    if (const int injected = CheckFileOp(FileOp::Rename, to)) {
        return injected;
    }
    return RenameNative(from, to);
}

int RemoveFile(const std::string& path) {
    if (const int injected = CheckFileOp(FileOp::Remove, path)) {
        return injected;
    }
    return RemoveNative(path);
}

int SyncFolder(const std::string& folder) {
    if (const int injected = CheckFileOp(FileOp::Flush, folder)) {
        return injected;
    }
    return SyncFolderNative(folder);
}

int WriteNewFileDurably(const std::string& path, std::string_view content) {
    if (const int injected = CheckFileOp(FileOp::Open, path)) {
        return injected;
    }
    Native file = kNoNative;
    if (const int result = CreateNew(path, file)) {
        return result;
    }
    // Closes the file on every way out, a stop in the hook included.
    struct Closer {
        Native file;
        ~Closer() {
            if (file != kNoNative) {
                CloseNative(file);
            }
        }
    } closer{file};
    int result = CheckFileOp(FileOp::Write, path);
    if (result == 0) {
        result = WriteFully(file, content);
    }
    if (result == 0) {
        result = CheckFileOp(FileOp::Flush, path);
    }
    if (result == 0) {
        result = SyncFile(file);
    }
    closer.file = kNoNative;
    if (const int closed = CloseNative(file); result == 0) {
        result = closed;
    }
    if (result != 0) {
        RemoveNative(path);
    }
    return result;
}

LockedFile::~LockedFile() {
    Close();
}

int LockedFile::Open(const std::string& path) {
    Close();
    m_path = path;
    if (const int injected = CheckFileOp(FileOp::Open, path)) {
        return injected;
    }
    return OpenExclusiveWriter(path, m_file);
}

int LockedFile::ReadAll(std::string& content) {
    content.clear();
    if (const int injected = CheckFileOp(FileOp::Read, m_path)) {
        return injected;
    }
    if (const int result = Seek(m_file, false)) {
        return result;
    }
    // One byte more than the file's size, so the end shows without growing; then doubling.
    const std::uint64_t size = SizeOf(m_file);
    content.resize(size > 0 && size < SIZE_MAX ? static_cast<size_t>(size) + 1 : size_t{1} << 16);
    size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            content.resize(content.size() * 2);
        }
        size_t got = 0;
        const int result = ReadSome(m_file, content.data() + used, content.size() - used, got);
        used += got;
        if (result != 0 || got == 0) {
            content.resize(used);
            return result;
        }
    }
}

int LockedFile::Append(std::string_view data) {
    if (const int injected = CheckFileOp(FileOp::Write, m_path)) {
        return injected;
    }
    if (const int result = Seek(m_file, true)) {
        return result;
    }
    return WriteFully(m_file, data);
}

int LockedFile::ReplaceWith(const std::string& from) {
    if (const int injected = CheckFileOp(FileOp::Rename, m_path)) {
        return injected;
    }
    if (!kRenamesOverOpenFiles) {
        Close();
    }
    const int result = RenameNative(from, m_path);
    Close();
    return result;
}

void LockedFile::Close() {
    if (m_file != kNoNative) {
        CloseNative(m_file);
        m_file = kNoNative;
    }
}

}  // namespace gwu::os

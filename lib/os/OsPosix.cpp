// The OS helper on POSIX systems: the native file primitives and the platform's own answers
// (path separator, file lookup, the executable's folder).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "os/Os.h"
#include "os/OsNative.h"

namespace gwu::os {

namespace native {

namespace {

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

}  // namespace

int CreateNew(const std::string& path, Native& file) {
    return OpenNative(path, O_WRONLY | O_CREAT | O_EXCL, file);
}

int FinalPathNative(const std::string& path, std::string& target) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return Failed();
    }
    target = resolved;
    std::free(resolved);
    return 0;
}

// The advisory lock every writer of the file takes. The file stays open between tries, so a
// writer that waits may hold the file that a rewrite renames a new one over: once locked, the
// file is kept only when it is still the one under the name, else the name is opened again.
// A link is followed by the open; the target's path is resolved once the lock is held, and it
// is the target that must still be the file held.
int LockExclusiveWriter(const std::string& path, Native& file, Native& writersLock,
                        std::string& target) {
    writersLock = kNoNative;
    for (;;) {
        if (file == kNoNative) {
            if (const int result = OpenNative(path, O_RDWR | O_CREAT, file)) {
                return result;
            }
        }
        const int fd = static_cast<int>(file);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int result = Failed();
            if (result != EWOULDBLOCK) {
                CloseNative(file);
                file = kNoNative;
            }
            return result;
        }
        struct stat held {};
        struct stat named {};
        int result = ::fstat(fd, &held) == 0 ? FinalPathNative(path, target) : Failed();
        if (result != 0 && result != ENOENT) {
            CloseNative(file);
            file = kNoNative;
            return result;
        }
        if (result == 0 && ::stat(target.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            return 0;
        }
        CloseNative(file);  // replaced (or gone): the lock goes with it
        file = kNoNative;
    }
}

int Seek(Native file, bool toEnd) {
    return ::lseek(static_cast<int>(file), 0, toEnd ? SEEK_END : SEEK_SET) < 0 ? Failed() : 0;
}

int SeekToEnd(Native file, std::uint64_t& offset) {
    const off_t end = ::lseek(static_cast<int>(file), 0, SEEK_END);
    if (end < 0) {
        return Failed();
    }
    offset = static_cast<std::uint64_t>(end);
    return 0;
}

int Truncate(Native file, std::uint64_t size) {
    return ::ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0 ? 0 : Failed();
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

int OpenForReading(const std::string& path, Native& file) {
    return OpenNative(path, O_RDONLY, file);
}

int ReadAt(Native file, std::uint64_t offset, char* data, size_t size, size_t& got) {
    for (;;) {
        const ssize_t count = ::pread(static_cast<int>(file), data, std::min(size, kChunk),
                                      static_cast<off_t>(offset));
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

int RenameNoReplaceNative(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return Failed();
    }
#endif
    // Without a rename that refuses to replace (or a file system that has none): a second
    // name, which fails when the target exists, and then the old name goes.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return Failed();
    }
    return RemoveNative(from);
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
bool RenamesOverOpenFiles() {
    return true;
}

std::string LocalTimeStampNative() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[32] = "";
    if (::localtime_r(&now, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local) == 0) {
        return "00000000-000000";
    }
    return text;
}

}  // namespace native

namespace {

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

}  // namespace

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

std::string UserDataFolder() {
    // The XDG base directories: a program's state (logs, history) belongs in the state home.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {  // a relative value is to be ignored
        return JoinPath(state, "gatewayutils");
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return {};
    }
    return (fs::path(home) / ".local" / "state" / "gatewayutils").lexically_normal().string();
}

bool PathExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

}  // namespace gwu::os

#include "platform/Os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace gwu::os {

namespace fs = std::filesystem;

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

int WriteFully(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

}  // namespace

namespace {

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

char PathSeparator() {
    return '/';
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    std::string path = folder;
    path += PathSeparator();
    path += name;
    return path;
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

int RenameReplace(const std::string& from, const std::string& to) {
    if (const int injected = CheckFileOp(FileOp::Rename, to)) {
        return injected;
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int RemoveFile(const std::string& path) {
    if (const int injected = CheckFileOp(FileOp::Remove, path)) {
        return injected;
    }
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int SyncFolder(const std::string& folder) {
    if (const int injected = CheckFileOp(FileOp::Flush, folder)) {
        return injected;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

int WriteNewFileDurably(const std::string& path, std::string_view content) {
    if (const int injected = CheckFileOp(FileOp::Open, path)) {
        return injected;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    // Closes the file on every way out, a stop in the hook included.
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } closer{fd};
    int result = CheckFileOp(FileOp::Write, path);
    if (result == 0) {
        result = WriteFully(fd, content);
    }
    if (result == 0) {
        result = CheckFileOp(FileOp::Flush, path);
    }
    if (result == 0 && ::fsync(fd) != 0) {
        result = errno;
    }
    closer.fd = -1;
    if (::close(fd) != 0 && result == 0) {
        result = errno;
    }
    if (result != 0) {
        ::unlink(path.c_str());
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
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int result = errno;
        ::close(fd);
        return result;
    }
    m_fd = fd;
    return 0;
}

int LockedFile::ReadAll(std::string& content) {
    content.clear();
    if (const int injected = CheckFileOp(FileOp::Read, m_path)) {
        return injected;
    }
    if (::lseek(m_fd, 0, SEEK_SET) < 0) {
        return errno;
    }
    struct stat info {};
    const bool sized = ::fstat(m_fd, &info) == 0 && info.st_size > 0;
    // One byte more than the file's size, so the end shows without growing; then doubling.
    content.resize(sized ? static_cast<size_t>(info.st_size) + 1 : size_t{1} << 16);
    size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            content.resize(content.size() * 2);
        }
        const ssize_t got = ::read(m_fd, content.data() + used, content.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            content.resize(used);
            return got == 0 ? 0 : errno;
        }
        used += static_cast<size_t>(got);
    }
}

int LockedFile::Append(std::string_view data) {
    if (const int injected = CheckFileOp(FileOp::Write, m_path)) {
        return injected;
    }
    if (::lseek(m_fd, 0, SEEK_END) < 0) {
        return errno;
    }
    return WriteFully(m_fd, data);
}

void LockedFile::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);  // also releases the lock
        m_fd = -1;
    }
}

}  // namespace gwu::os

// The OS helper's shared part: the file-operation seam and the operations of the library's own
// files, on the native primitives of OsPosix.cpp or OsWindows.cpp.
#include "os/Os.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "os/OsNative.h"

namespace gwu::os {

using namespace native;

namespace {

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

std::atomic<std::chrono::milliseconds::rep> g_writerWaitMs{10000};

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

int RenameReplace(const std::string& from, const std::string& to) {
    if (const int injected = CheckFileOp(FileOp::Rename, to)) {
        return injected;
    }
    return RenameNative(from, to);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (const int injected = CheckFileOp(FileOp::Rename, to)) {
        return injected;
    }
    return RenameNoReplaceNative(from, to);
}

std::string LocalTimeStamp() {
    return LocalTimeStampNative();
}

std::chrono::milliseconds SetWriterWait(std::chrono::milliseconds wait) {
    return std::chrono::milliseconds(g_writerWaitMs.exchange(wait.count()));
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
    // Another writer holds the file for moments only; its turn is awaited with short pauses,
    // so that a waiting writer notices soon when the file is free.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(g_writerWaitMs.load());
    std::chrono::milliseconds pause(1);
    int result = LockExclusiveWriter(path, m_file, m_writersLock);
    while (result == EWOULDBLOCK && Clock::now() < deadline) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(16));
        result = LockExclusiveWriter(path, m_file, m_writersLock);
    }
    if (result != 0) {
        Close();
    }
    return result;
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
    std::uint64_t end = 0;
    if (const int result = SeekToEnd(m_file, end)) {
        return result;
    }
    // A write cut short (a full disk) would leave part of a line: the file goes back to what it
    // held, so that it holds its old or its new content, never a mix.
    const int result = WriteFully(m_file, data);
    if (result != 0) {
        Truncate(m_file, end);
    }
    return result;
}

int LockedFile::ReplaceWith(const std::string& from) {
    if (const int injected = CheckFileOp(FileOp::Rename, m_path)) {
        return injected;
    }
    // Where the open file stands in the way of the rename, only the file is closed: the
    // writers' lock stays held until the new file is under the name.
    if (!RenamesOverOpenFiles() && m_file != kNoNative) {
        CloseNative(m_file);
        m_file = kNoNative;
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
    if (m_writersLock != kNoNative) {
        CloseNative(m_writersLock);
        m_writersLock = kNoNative;
    }
}

std::string SampleFolder() {
    const std::string executable = ExecutableFolder();
    if (executable.empty()) {
        return ".";
    }
    std::ifstream beside(JoinPath(executable, GWU_BUILD_TREE_SAMPLES), std::ios::binary);
    std::string folder;
    if (std::getline(beside, folder)) {
        while (!folder.empty() && (folder.back() == '\r' || folder.back() == ' ')) {
            folder.pop_back();
        }
        if (!folder.empty()) {
            return folder;
        }
    }
    return (std::filesystem::path(executable) / GWU_SAMPLES_FROM_BINDIR)
        .lexically_normal()
        .string();
}

}  // namespace gwu::os

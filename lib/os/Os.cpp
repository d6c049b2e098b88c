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

std::string ParentFolder(const std::string& path) {
    const size_t cut = path.find_last_of(PathSeparator() == '/' ? "/" : "\\/");
    if (cut == std::string::npos) {
        return ".";
    }
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

std::string FinalPath(const std::string& path) {
    std::string target;
    return FinalPathNative(path, target) == 0 ? target : path;
}

NewFile::~NewFile() {
    if (m_file != kNoNative) {
        CloseNative(m_file);
    }
}

int NewFile::Create(const std::string& path) {
    m_path = path;
    if (const int injected = CheckFileOp(FileOp::Open, path)) {
        return injected;
    }
    return CreateNew(path, m_file);
}

int NewFile::Write(std::string_view data) {
    if (const int injected = CheckFileOp(FileOp::Write, m_path)) {
        return injected;
    }
    return WriteFully(m_file, data);
}

int NewFile::Finish() {
    int result = CheckFileOp(FileOp::Flush, m_path);
    if (result == 0) {
        result = SyncFile(m_file);
    }
    const Native file = m_file;
    m_file = kNoNative;
    if (const int closed = CloseNative(file); result == 0) {
        result = closed;
    }
    if (result != 0) {
        RemoveNative(m_path);
    }
    return result;
}

void NewFile::Discard() {
    if (m_file != kNoNative) {
        CloseNative(m_file);
        m_file = kNoNative;
        RemoveNative(m_path);
    }
}

int WriteNewFileDurably(const std::string& path, std::string_view content) {
    NewFile file;
    int result = file.Create(path);
    if (result == 0) {
        result = file.Write(content);
        if (result == 0) {
            return file.Finish();
        }
        file.Discard();
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
    std::string target;  // the file the name led to at the last try
    int result = LockExclusiveWriter(path, m_file, m_writersLock, target);
    while (result == EWOULDBLOCK && Clock::now() < deadline) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(16));
        result = LockExclusiveWriter(path, m_file, m_writersLock, target);
    }
    if (result == 0) {
        m_path = target;
    }
    if (result != 0) {
        Close();
    }
    return result;
}

int LockedFile::StartReading() {
    if (const int injected = CheckFileOp(FileOp::Read, m_path)) {
        return injected;
    }
    return Seek(m_file, false);
}

int LockedFile::ReadSome(char* data, size_t size, size_t& got) {
    got = 0;
    return native::ReadSome(m_file, data, size, got);
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
    int result = RenameNative(from, m_path);
    // Where an open file cannot be renamed over, a writer that is about to wait for the lock
    // may hold the file open for a moment, to see where its name leads: the rename is tried
    // again for a while.
    for (int tries = 0; result == EACCES && !RenamesOverOpenFiles() && tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        result = RenameNative(from, m_path);
    }
    Close();
    return result;
}

int LockedFile::Sync() {
    if (const int injected = CheckFileOp(FileOp::Flush, m_path)) {
        return injected;
    }
    return SyncFile(m_file);
}

int LockedFile::MoveTo(const std::string& to) {
    if (const int injected = CheckFileOp(FileOp::Rename, to)) {
        return injected;
    }
    // As in ReplaceWith: where the open file stands in the rename's way, only the file is
    // closed, and the writers' lock stays held until the file has its new name.
    if (!RenamesOverOpenFiles() && m_file != kNoFile) {
        CloseNative(m_file);
        m_file = kNoFile;
    }
    int result = RenameNoReplaceNative(m_path, to);
    for (int tries = 0; result == EACCES && !RenamesOverOpenFiles() && tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        result = RenameNoReplaceNative(m_path, to);
    }
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

ReadOnlyFile::~ReadOnlyFile() {
    Close();
}

int ReadOnlyFile::Open(const std::string& path) {
    Close();
    if (const int injected = CheckFileOp(FileOp::Open, path)) {
        return injected;
    }
    return OpenForReading(path, m_file);
}

int ReadOnlyFile::ReadSome(char* data, size_t size, size_t& got) {
    got = 0;
    return native::ReadSome(m_file, data, size, got);
}

int ReadOnlyFile::ReadAt(std::uint64_t offset, char* data, size_t size, size_t& got) {
    got = 0;
    return native::ReadAt(m_file, offset, data, size, got);
}

std::uint64_t ReadOnlyFile::Size() const {
    return m_file == kNoNative ? 0 : SizeOf(m_file);
}

void ReadOnlyFile::Close() {
    if (m_file != kNoNative) {
        CloseNative(m_file);
        m_file = kNoNative;
    }
}

namespace {
// The first line of the samples file beside the executable; empty when there is none.
std::string BuildTreeSamples() {
    const std::string executable = ExecutableFolder();
    if (executable.empty()) {
        return {};
    }
    std::ifstream beside(JoinPath(executable, GWU_BUILD_TREE_SAMPLES), std::ios::binary);
    std::string folder;
    if (std::getline(beside, folder)) {
        while (!folder.empty() && (folder.back() == '\r' || folder.back() == ' ')) {
            folder.pop_back();
        }
    }
    return folder;
}
}  // namespace

bool RunsFromBuildTree() {
    return !BuildTreeSamples().empty();
}

std::string SampleFolder() {
    const std::string executable = ExecutableFolder();
    if (executable.empty()) {
        return ".";
    }
    if (std::string folder = BuildTreeSamples(); !folder.empty()) {
        return folder;
    }
    return (std::filesystem::path(executable) / GWU_SAMPLES_FROM_BINDIR)
        .lexically_normal()
        .string();
}

}  // namespace gwu::os

// The library's one OS helper: path joining, the wildcard file lookup, the executable's folder
// and the few file operations the library's own files need. Nothing else in the library is
// platform-specific: Os.cpp holds what both platforms share, OsPosix.cpp and OsWindows.cpp
// (chosen by CMake) the native calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace gwu::os {

// The platform's path separator: '/' on POSIX systems, '\\' on Windows.
char PathSeparator();

// folder + separator + name. The folder is given without a trailing separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// Whether any directory entry matches the path, whose last component may hold the wildcards
// '*' and '?'. A folder counts. Any failure is false. The platform's own lookup decides:
// - POSIX: '*' is any run of characters, '?' exactly one; names match case-sensitively.
// - Windows (FindFirstFileA): names match without regard to case, "*.*" matches every name
//   (one without a dot too), and either '\\' or '/' separates the folders.
bool FindFirstFileMatch(const std::string& path);

// The folder of the running executable, without a trailing separator; empty when unknown.
std::string ExecutableFolder();

// The sample folders' parent (firmware/, runtime/, logs/, scenarios/) for the programs of this
// project, without a trailing separator: the folder named on the first line of the file
// "gatewayutils-samples.txt" beside the executable, which the build writes beside the programs
// it runs from the build tree (and the install leaves out), else share/gatewayutils beside the
// executable's bin/ folder, where the install puts them. The current folder (".") when the
// executable's folder is unknown.
std::string SampleFolder();
// Whether the running executable runs from the build tree (the file above lies beside it).
bool RunsFromBuildTree();

// The folder where the project's installed programs keep a user's own files (logs, reports),
// without a trailing separator: %LOCALAPPDATA%\gatewayutils on Windows, elsewhere
// $XDG_STATE_HOME/gatewayutils, else ~/.local/state/gatewayutils. Empty when the environment
// names no such folder. Nothing is created.
std::string UserDataFolder();

bool PathExists(const std::string& path);

// The folder part of a path (everything before its last separator; on Windows '/' counts too),
// "." for a bare name.
std::string ParentFolder(const std::string& path);

// The path of the file that the path names, with every symbolic link on the way followed (the
// platform's canonical form of it); the path itself when it names no file or cannot be resolved.
std::string FinalPath(const std::string& path);

// Error numbers are errno values on every platform (a Windows error is translated to the
// nearest one, e.g. a sharing violation to EWOULDBLOCK); 0 means none.

// The file operations of the library's own files (the serial-number list and its temporary
// file, the repair report), as the seam below names them.
enum class FileOp { Open, Read, Write, Flush, Rename, Remove };

// Consulted before each of those operations: 0 lets it run, an error number fails it with
// that error. It may also throw, which stops the caller right there, as a crash would (the
// library's files are then as that moment left them). None is installed by default; tests
// install one to fail or stop the N-th operation. Install it while no other thread works.
using FileOpHook = std::function<int(FileOp op, const std::string& path)>;
// Returns the hook installed before.
FileOpHook SetFileOpHook(FileOpHook hook);
// What the installed hook says of an operation (0 without a hook).
int CheckFileOp(FileOp op, const std::string& path);

// Renames, replacing an existing target atomically. Returns 0 or the error number.
int RenameReplace(const std::string& from, const std::string& to);
// Renames only when no file has the target name (EEXIST when one has), so that nothing that
// appeared under that name meanwhile is lost. Returns 0 or the error number.
int RenameNoReplace(const std::string& from, const std::string& to);
// Removes a file. Returns 0 or the error number.
int RemoveFile(const std::string& path);
// Makes a completed rename in the folder durable. Returns 0 or the error number.
int SyncFolder(const std::string& folder);
// Creates a new file (failing when one exists), writes the content, flushes it to the disk
// and closes it. A partly written file is removed again. Returns 0 or the error number.
int WriteNewFileDurably(const std::string& path, std::string_view content);

// A file written from new: created (failing when one exists), written piece by piece, then
// flushed to the disk and closed by Finish. Going without Finish leaves it as it stands, as a
// stop at that moment would; Discard removes it.
class NewFile {
public:
    NewFile() = default;
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Returns 0 or the error number.
    int Create(const std::string& path);
    // Writes the data at the end. Returns 0 or the error number.
    int Write(std::string_view data);
    // Flushes the file to the disk and closes it; a file that cannot be made durable is
    // removed. Returns 0 or the error number.
    int Finish();
    // Closes and removes the file.
    void Discard();

private:
    std::intptr_t m_file = -1;  // the file descriptor, or on Windows the file's HANDLE
    std::string m_path;
};

// The local time as "YYYYMMDD-HHMMSS", for names of files kept for a person to look at.
std::string LocalTimeStamp();

// How long LockedFile::Open waits for other writers to let go of a file before it gives up
// with EWOULDBLOCK. A writer holds the file for one append or one rewrite, so a hold that long
// means a writer that hangs. Returns the wait set before; tests shorten it.
std::chrono::milliseconds SetWriterWait(std::chrono::milliseconds wait);

// A file opened for reading and writing, created when missing, with other writers locked out
// for as long as it is open, and always the file that is under its name, so that everything
// written goes to the file readers find. Readers never need the lock. A name that is a symbolic
// link is resolved while the lock is held: the link's target is the file (Path()), locked,
// written and replaced, so that writers through the link and through the target meet at one
// lock, and the link stays a link.
// - POSIX: an advisory lock on the file, which every writer takes. A file found replaced (by a
//   rewrite, renamed over its name) once it is locked is let go, and the name opened again.
// - Windows: a lock file beside the target (its name + ".lock", opened without sharing, never
//   removed) held for the whole operation, the rewrite's rename included; and the file itself
//   opened with deny-write sharing, against writers that know nothing of the lock file. A
//   name found to lead elsewhere once the lock is held is opened again.
class LockedFile {
public:
    LockedFile() = default;
    ~LockedFile();
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // Waits for other writers (see SetWriterWait). Returns 0 or the error number.
    int Open(const std::string& path);
    // The file's own path: the target of a link, resolved under the lock.
    const std::string& Path() const { return m_path; }
    // Reads from the start: StartReading, then ReadSome until it gets nothing. Each returns 0
    // or the error number.
    int StartReading();
    int ReadSome(char* data, std::size_t size, std::size_t& got);
    // Writes the data at the end of the file in one go; a write that fails part-way is undone
    // (the file is cut back to its old end). Returns 0 or the error number.
    int Append(std::string_view data);
    // Replaces this file by the file at `from`, renamed over its name in one step, so that a
    // reader sees the old or the new file and nothing between. Other writers stay locked out
    // until the new file is under the name. Closes this file. Returns 0 or the error number;
    // on failure both files are as they were.
    int ReplaceWith(const std::string& from);
    // Flushes what was appended to the disk. Returns 0 or the error number.
    int Sync();
    // Renames this file to `to`, which must not exist (EEXIST), while other writers stay
    // locked out, and closes it: the next Open of the name begins a new file. Readers that
    // hold the file (ReadOnlyFile) read on. Returns 0 or the error number; on failure the file
    // stays under its name (closed all the same).
    int MoveTo(const std::string& to);
    void Close();
    bool IsOpen() const { return m_file != kNoFile; }

private:
    // The file descriptor, or on Windows the file's HANDLE; the lock file's HANDLE (Windows).
    static constexpr std::intptr_t kNoFile = -1;
    std::intptr_t m_file = kNoFile;
    std::intptr_t m_writersLock = kNoFile;
    std::string m_path;
};

// A file opened for reading only that never stands in its writers' way: on Windows it is opened
// sharing read, write and delete, so that a writer may append to it, rename it or remove it while
// it is open (POSIX never stops them). Not copyable; one owner.
class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Consults the file-operation hook (FileOp::Open). Returns 0 or the error number.
    int Open(const std::string& path);
    // Reads on from where the last read ended (from the start after Open); got 0 at the end.
    int ReadSome(char* data, std::size_t size, std::size_t& got);
    // Reads at the offset without moving the position of ReadSome. Returns 0 or the error number.
    int ReadAt(std::uint64_t offset, char* data, std::size_t size, std::size_t& got);
    // The file's size now; 0 when unknown.
    std::uint64_t Size() const;
    void Close();
    bool IsOpen() const { return m_file != -1; }

private:
    std::intptr_t m_file = -1;  // the file descriptor, or on Windows the file's HANDLE
};

}  // namespace gwu::os

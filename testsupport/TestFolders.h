// Folders, environment and diagnostics for tests and benchmarks, without any test framework:
// temporary folders, environment overrides, captured monitor and error lines, the stand-in
// host's three folders in a temporary folder, and file-operation hooks.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/Folders.h"
#include "os/Os.h"

namespace gwu::test {

using Lines = std::vector<std::string>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Sets an environment variable for the object's lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// Collects monitor (MonPrintf) and error (LogError) lines while it lives.
class Diagnostics {
public:
    Diagnostics();
    ~Diagnostics();
    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;
    std::vector<std::string> Monitor() const;
    std::vector<std::string> Errors() const;
    // The monitor lines from the index on that hold the text.
    Lines MonitorSince(std::size_t from, const std::string& text = {}) const;
    bool MonitorHas(const std::string& text) const { return !MonitorSince(0, text).empty(); }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_monitor;
    std::vector<std::string> m_errors;
};

// The stand-in host's firmware, runtime and log folders in a temporary folder, named by the
// environment while the object lives. The firmware folder starts empty.
class TestFolders {
public:
    TestFolders();
    const std::filesystem::path& Root() const { return m_root.Path(); }
    std::filesystem::path Firmware() const { return Root() / "firmware"; }
    std::filesystem::path Runtime() const { return Root() / "runtime"; }
    std::filesystem::path Logs() const { return Root() / "logs"; }
    // Writes a firmware file with the identifier into the firmware folder; throws when it
    // cannot.
    void WriteRelease(const std::string& fileName, const std::string& releaseId) const;
    // Copies the sample firmware folder's releases into the firmware folder, without its
    // manifest and signature: a folder the tests may change file by file. With signedSet, the
    // manifest and its signature too (the samples' own key signed them).
    void CopySampleFirmware(bool signedSet = false) const;
    // Empties the firmware folder and copies the sample firmware in again: undoes updates.
    void FreshFirmware(bool signedSet = false) const;
    static std::string ReadFile(const std::filesystem::path& path);
    // Every file of a folder by name, with its bytes; none for a missing folder.
    static std::map<std::string, std::string> ReadFiles(const std::filesystem::path& folder);
    static void WriteFile(const std::filesystem::path& path, const std::string& content);

private:
    TempDir m_root;
    ScopedEnv m_firmwareEnv{host::kFirmwareDirVariable, Firmware().string()};
    ScopedEnv m_runtimeEnv{host::kRuntimeDirVariable, Runtime().string()};
    ScopedEnv m_logEnv{host::kLogDirVariable, Logs().string()};
};

// Installs a file-operation hook of the OS helper for its lifetime.
class ScopedFileOpHook {
public:
    explicit ScopedFileOpHook(os::FileOpHook hook)
        : m_previous(os::SetFileOpHook(std::move(hook))) {}
    ~ScopedFileOpHook() { os::SetFileOpHook(std::move(m_previous)); }
    ScopedFileOpHook(const ScopedFileOpHook&) = delete;
    ScopedFileOpHook& operator=(const ScopedFileOpHook&) = delete;

private:
    os::FileOpHook m_previous;
};

// The repository's sample folders (samples/), and the path of a sample scenario
// (samples/scenarios/NAME.json). Only testsupport's own source names the folder, so that the
// sources that use it carry no path of this checkout (the compiler cache's objects of another
// checkout serve them).
std::filesystem::path SampleDir();
std::string SampleScenarioPath(const std::string& name);

}  // namespace gwu::test

// Shared test helpers: temporary folders, environment overrides and captured diagnostics.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/Folders.h"
#include "host/LineSinks.h"
#include "host/ReleaseFileNames.h"

namespace gwu::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::string Str() const { return m_path.string(); }

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
    bool MonitorHas(const std::string& text) const;  // a line containing the text

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_monitor;
    std::vector<std::string> m_errors;
};

// Firmware, runtime and log folders in a temporary folder, named by the environment for the
// test's duration. The firmware folder starts empty; WriteRelease adds files.
class FolderFixture : public ::testing::Test {
protected:
    FolderFixture();
    std::filesystem::path Firmware() const { return m_root.Path() / "firmware"; }
    std::filesystem::path Runtime() const { return m_root.Path() / "runtime"; }
    std::filesystem::path Logs() const { return m_root.Path() / "logs"; }
    // Writes a firmware file with the identifier into the firmware folder.
    void WriteRelease(const std::string& fileName, const std::string& releaseId) const;
    // Copies the sample firmware folder of the repository into the firmware folder.
    void CopySampleFirmware() const;
    static std::string ReadFile(const std::filesystem::path& path);
    static void WriteFile(const std::filesystem::path& path, const std::string& content);

    TempDir m_root;
    std::optional<ScopedEnv> m_firmwareEnv;
    std::optional<ScopedEnv> m_runtimeEnv;
    std::optional<ScopedEnv> m_logEnv;
    Diagnostics m_diagnostics;
};

}  // namespace gwu::test

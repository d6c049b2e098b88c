// Test fixtures and helpers that need GoogleTest: the test's own folders and diagnostics, the
// serial-number list of its log folder, and scripted popups.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "devices/SerialNumList.h"
#include "host/popup/PopupLibrary.h"
#include "testsupport/TestFolders.h"

namespace gwu::test {

// Firmware, runtime and log folders in a temporary folder, named by the environment for the
// test's duration (see TestFolders), and the monitor and error lines of the test.
class FolderFixture : public ::testing::Test, public TestFolders {
protected:
    Diagnostics m_diagnostics;
};

// The serial-number list of the log folder, the temporary file of its rewrite and the files
// set aside from stale temporary files.
class SerialListFixture : public FolderFixture {
protected:
    std::filesystem::path List() const { return Logs() / kSerialNumListName; }
    std::filesystem::path Temp() const { return Logs() / kSerialNumTempName; }
    std::vector<std::filesystem::path> AsideFiles() const;
    void Store(const SerialNumRecord& record) const {
        StoreSerialNumRecord(Logs().string(), record);
    }
};

// A fresh popup library while it lives, and key scripts played on it. When it goes, no driver
// is left installed and no popup may still be running.
class ScriptedPopups {
public:
    ScriptedPopups() { EXPECT_TRUE(host::ResetPopupLibrary()); }
    ~ScriptedPopups();
    ScriptedPopups(const ScriptedPopups&) = delete;
    ScriptedPopups& operator=(const ScriptedPopups&) = delete;
    // Starts afresh (no popups, widgets or trace) and plays the key script from now on; the
    // observer sees the popup each time the driver is asked for an event.
    void Play(const std::string& keys, std::function<void(const host::PopupView&)> observe = {});
};

// Runs the body in a child process of this test program that runs only the current test, so
// that a crash, an abort or a hang (killed after the timeout) fails the test instead of ending or
// stalling the whole run. In that child the body runs here, and its failures are the child's.
void RunIsolated(const std::function<void()>& body, int timeoutMs = 60000);

}  // namespace gwu::test

// Folders the system refuses and a disk that fills: each gives its documented result, never a
// crash, and the serial-number list holds its old or its new content. Permissions do not stop
// root, so a suite run as root runs gwctl as the user nobody; the full disk is a small memory
// file system, used only where the test may mount one. POSIX only: Windows has neither.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "devices/SerialNumList.h"
#include "tests/endtoend/CliFixture.h"
#include "tests/endtoend/Programs.h"

namespace {

using namespace gwu::test::cli;  // NOLINT(google-build-using-namespace): the end-to-end helpers

constexpr const char* kSetpriv = "/usr/bin/setpriv";
// The matching scenario's device, met before with older releases: a check rewrites its line.
const std::string kKnownLine = "HX100307,R1,R1,R1\r\n";
const std::string kProblem13 = "CHLXUtils::StoreHLXSerialNumToFile encountered problems: 13";

// Takes a permission away for its lifetime.
class ScopedMode {
public:
    ScopedMode(fs::path path, fs::perms mode) : m_path(std::move(path)) {
        m_old = fs::status(m_path).permissions();
        fs::permissions(m_path, mode);
    }
    ~ScopedMode() { fs::permissions(m_path, m_old); }
    ScopedMode(const ScopedMode&) = delete;
    ScopedMode& operator=(const ScopedMode&) = delete;

private:
    fs::path m_path;
    fs::perms m_old;
};

}  // namespace

// gwctl, copied into a folder of its own (where its repair report must not go: a tool writes
// it to the log folder), checks on copies of the sample folders, whose list already holds the
// known device.
class PermissionTest : public CliTest {
protected:
    void SetUp() override {
        if (::geteuid() == 0 && !fs::exists(kSetpriv)) {
            GTEST_SKIP() << "running as root without " << kSetpriv << ": permissions stop nothing";
        }
        fs::create_directories(Bin());
        fs::copy_file(gwu::test::kGwctlProgram, Bin() / "gwctl");
        WriteFile(List(), kKnownLine);
        // The unprivileged user reaches everything until a case takes a permission away.
        for (const auto& entry : fs::recursive_directory_iterator(Root())) {
            fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);
        }
        fs::permissions(Root(), fs::perms::all, fs::perm_options::add);
        m_gwctl = {(Bin() / "gwctl").string()};
        if (::geteuid() == 0) {
            m_gwctl.insert(m_gwctl.begin(),
                           {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
        }
    }
    fs::path Bin() const { return Root() / "bin"; }
    fs::path List() const { return Logs() / gwu::kSerialNumListName; }

    Result Check(const std::string& scenario, std::vector<std::string> options = {}) const {
        options.insert(options.begin(),
                       {"check", "--json", "--verbose", "--device", "emu:" + Scenario(scenario)});
        return Run(options);
    }
};

// Each refusal: the check still ends with its verdicts (exit 0: the sample device matches the
// sample release), the monitor says what failed, and the list is as it was or as it should be.
TEST_F(PermissionTest, RefusedFoldersAndFilesGiveTheirResultAndKeepTheList) {
    // A read-only log folder (the rewrite's temporary file cannot be made), a read-only list.
    const fs::perms readOnly = fs::perms::owner_read | fs::perms::others_read;
    for (const fs::path& path : {Logs(), List()}) {
        SCOPED_TRACE(path);
        const ScopedMode mode(path, path == Logs()
                                        ? readOnly | fs::perms::owner_exec | fs::perms::others_exec
                                        : readOnly);
        const Result result = Check("matching");
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_NE(result.err.find(kProblem13), std::string::npos) << result.err;
        EXPECT_EQ(ReadFile(List()), kKnownLine);
        // The list refused the write: the document and a warning say so in words.
        EXPECT_EQ(result.document.value("list", json()),
                  json({{"recorded", false}, {"problem", "Permission denied"}}));
        EXPECT_NE(result.err.find("gwctl: warning: the serial-number list " + List().string() +
                                  " was not updated: Permission denied"),
                  std::string::npos)
            << result.err;
    }
    {
        // An unreadable runtime folder: no deployed-unit list, so no repair.
        const ScopedMode mode(Runtime(), fs::perms::none);
        const Result result = Check("lost-serial-silent");
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_NE(result.err.find("DeployedHLXs.ini: no list could be read at"), std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("no serial number, device not recorded"), std::string::npos);
        EXPECT_EQ(result.document.value("/values/HLX_SerialNum"_json_pointer, "?"), "");
        EXPECT_EQ(ReadFile(List()), kKnownLine);
        // The repair's report is in the log folder, none beside the tool.
        EXPECT_NE(ReadFile(Logs() / "ReportHLXRepair.txt").find("CHLXSerialNumRepair"),
                  std::string::npos);
        EXPECT_FALSE(fs::exists(Bin() / "ReportHLXRepair.txt"));
    }
    {
        // An unwritable report folder: the repair goes on without its report.
        const fs::path reports = Root() / "reports";
        fs::create_directories(reports);
        const ScopedMode mode(reports, fs::perms::owner_read | fs::perms::owner_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
        const Result result = Check("lost-serial-silent", {"--report-dir", reports.string()});
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_NE(result.err.find("Repair report ReportHLXRepair.txt create failed: 13"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(result.document.value("/values/HLX_SerialNum"_json_pointer, "?"), "HX100234");
        EXPECT_EQ(ReadFile(List()), kKnownLine + "HX100234,R4.2.1,R2.0.3,R1.4.0\r\n");
        EXPECT_FALSE(fs::exists(reports / "ReportHLXRepair.txt"));
    }
}

// A log folder on a 16 KiB file system, filled by new devices with long release texts and by
// rewrites of known ones: after every reading the list holds exactly its old or its new content.
class FullDiskTest : public gwu::test::FolderFixture {};

TEST_F(FullDiskTest, EveryReadingLeavesTheOldOrTheNewList) {
    const fs::path small = Root() / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(errno);
    }
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    const fs::path list = small / gwu::kSerialNumListName;
    const std::string release(150, 'R');
    int refused = 0;
    for (int i = 0; i < 120; ++i) {
        // Two new devices, then a known one with a new release.
        const bool known = i % 3 == 2;
        const std::string serial = "HX" + std::to_string(100000 + (known ? i / 3 % 2 : i));
        const gwu::SerialNumRecord record{serial, release + std::to_string(i), release, release};
        const std::string before = fs::exists(list) ? ReadFile(list) : "";
        const std::string line = gwu::FormatSerialNumLine(record);
        const std::string updated = before.find(serial) == std::string::npos
                                        ? before + line
                                        : gwu::RewriteSerialNumList(before, serial, line);
        gwu::StoreSerialNumRecord(small.string(), record);
        const std::string after = fs::exists(list) ? ReadFile(list) : "";
        ASSERT_TRUE(after == before || after == updated) << "reading " << i;
        refused += after == before ? 1 : 0;
        EXPECT_FALSE(fs::exists(small / gwu::kSerialNumTempName)) << "reading " << i;
    }
    // The disk did fill, and said so.
    EXPECT_GT(refused, 0);
    EXPECT_TRUE(m_diagnostics.MonitorHas("encountered problems: 28"));
}

#endif

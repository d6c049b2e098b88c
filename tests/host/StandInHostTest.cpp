// The stand-in host's own contracts that the library relies on: the value store, the firmware
// folder's files, reply filling, the OS helper's lookup.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <tuple>

#include "devices/CHLXUtils.h"
#include "firmware/signing/Policy.h"
#include "host/Folders.h"
#include "host/MemoryValueStore.h"
#include "host/Replies.h"
#include "host/popup/PopupDrivers.h"
#include "os/Format.h"
#include "os/Os.h"
#include "platform/Comms.h"
#include "platform/FirmwareFiles.h"
#include "testsupport/DeviceBench.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

TEST(ValueStore, KeepsValuesUpToItsLimitAndEmptiesUnknownNames) {
    host::ValueStore store;
    CString out = "stale";
    EXPECT_FALSE(store.GetValue("never", &out, 512));
    EXPECT_EQ(out, "");

    store.SetValue("a", std::string(600, 'x'), 512);
    store.GetValue("a", &out, 512);
    EXPECT_EQ(out.size(), 511u);  // the room of a 512-byte text buffer
    store.GetValue("a", &out, 10);
    EXPECT_EQ(out, std::string(9, 'x'));

    store.SetValue("a", "R1.2", 512);
    EXPECT_TRUE(store.GetValue("a", &out, 512));
    EXPECT_EQ(out, "R1.2");
}

class FirmwareFolderTest : public FolderFixture {};

// The value of a first line "Release-Id: " (CR LF, LF or no line end) of at most 127
// characters; a file without one, a missing one or no name leaves the output alone.
TEST_F(FirmwareFolderTest, ReleaseIdentifierIsTheFirstLinesValue) {
    const std::tuple<const char*, std::string, bool, const char*> cases[] = {
        {"crlf.rel", "Release-Id: KLEM_1_R1.2\r\nbody", true, "KLEM_1_R1.2"},
        {"lf.rel", "Release-Id: KLEM_1_R1.3\nbody", true, "KLEM_1_R1.3"},
        {"bare.rel", "Release-Id: QPT Release 2.1", false, "QPT Release 2.1"},
        {"nohdr.rel", "KLEM_1_R1.4\r\n", true, nullptr},
        {"long.rel", "Release-Id: " + std::string(200, 'R') + "\r\n", true, nullptr},
        {"missing.rel", "", true, nullptr},
        {"", "", true, nullptr}};
    CGatewayFileUtils files;
    for (const auto& [name, content, hlx, expected] : cases) {
        if (!content.empty()) {
            WriteFile(Firmware() / name, content);
        }
        CString version = "untouched";
        EXPECT_EQ(hlx ? files.GetHLXVersionFromFile(name, version)
                      : files.GetQPTVersionFromFile(name, version),
                  expected != nullptr)
            << name;
        EXPECT_EQ(version, expected != nullptr ? expected : "untouched") << name;
    }
}

// Either flag places an exact copy of the release as the device-load file, replacing the old
// one and a stale temporary file, and keeps the release installed.
TEST_F(FirmwareFolderTest, RenamePlacesACopyAndKeepsTheRelease) {
    CGatewayFileUtils files;
    for (const bool flag : {false, true}) {
        WriteRelease("HLX_LC.rel", flag ? "KLEM_1_R3" : "KLEM_1_R2");
        WriteRelease("HLX_LC.bin", "KLEM_1_R1");
        WriteFile(Firmware() / "HLX_LC.bin.placing", "stale");
        const std::string release = ReadFile(Firmware() / "HLX_LC.rel");
        EXPECT_TRUE(files.RenameGatewayFile("HLX_LC.rel", "HLX_LC.bin", flag));
        EXPECT_EQ(ReadFile(Firmware() / "HLX_LC.bin"), release);
        EXPECT_EQ(ReadFile(Firmware() / "HLX_LC.rel"), release);
        EXPECT_FALSE(fs::exists(Firmware() / "HLX_LC.bin.placing"));
    }
    EXPECT_FALSE(files.RenameGatewayFile("", "HLX_LC.bin", false));
    // Nothing but a release reaches the device: neither a missing file nor one without a release
    // identifier it could report.
    WriteRelease("HLX_PROM.bin", "KLEM_PROM_R1");
    const std::string before = ReadFile(Firmware() / "HLX_PROM.bin");
    for (const char* content : {"", "image only\r\n"}) {
        if (*content != '\0') {
            WriteFile(Firmware() / "HLX_PROM.rel", content);
        }
        EXPECT_FALSE(files.RenameGatewayFile("HLX_PROM.rel", "HLX_PROM.bin", false)) << content;
        EXPECT_EQ(ReadFile(Firmware() / "HLX_PROM.bin"), before);
    }
    EXPECT_TRUE(m_diagnostics.MonitorHas("HLX_PROM.rel not placed as HLX_PROM.bin: no such file"));
    EXPECT_TRUE(m_diagnostics.MonitorHas(
        "HLX_PROM.rel not placed as HLX_PROM.bin: no \"Release-Id: \" line at its start"));
}

// An update makes each placement durable: the copy flushed, renamed over the device-load file,
// then the folder synced for the rename, its own release first, then the loaded code's. A
// failing folder sync is reported, although the new content is in place.
TEST_F(FirmwareFolderTest, UpdateSyncsTheFolderAfterEachPlacement) {
    DeviceBench<CHLXUtils> hlx;
    WriteRelease("HLX_PROM.rel", "KLEM_PROM_R2");
    WriteRelease("HLX_LC.rel", "KLEM_1_R2");
    Lines steps;
    {
        const ScopedFileOpHook hook([&steps](os::FileOp op, const std::string& path) {
            const std::string name = fs::path(path).filename().string();
            if (op == os::FileOp::Flush || op == os::FileOp::Rename) {
                steps.push_back((op == os::FileOp::Flush ? "sync " : "rename to ") + name);
            }
            return steps.size() == 6 && name == "firmware" ? EIO : 0;  // the second folder sync
        });
        EXPECT_TRUE(hlx.device.UpdatePROM());
    }
    EXPECT_EQ(steps, (Lines{"sync HLX_PROM.bin.placing", "rename to HLX_PROM.bin", "sync firmware",
                            "sync HLX_LC.bin.placing", "rename to HLX_LC.bin", "sync firmware"}));
    EXPECT_EQ(ReadFile(Firmware() / "HLX_LC.bin"), ReadFile(Firmware() / "HLX_LC.rel"));
    EXPECT_TRUE(
        m_diagnostics.MonitorHas("HLX_LC.rel placed as HLX_LC.bin, but not yet safe on the disk: " +
                                 std::generic_category().message(EIO)));
}

// With the signed folders' placement check installed, the bytes placed are the bytes checked:
// a release swapped for other bytes (a valid release still) at the moment it is read for the
// copy is refused and nothing is written; the release as signed is placed.
TEST_F(FirmwareFolderTest, ReleaseSwappedWhileReadForPlacingIsRefused) {
    CopySampleFirmware(true);
    const auto policy = std::make_shared<const signing::Policy>(
        signing::TesterPolicy((SampleDir() / "sample-trust").string(), ""));
    struct Installed {
        host::PlacementCheck before;
        ~Installed() { host::SetPlacementCheck(std::move(before)); }
    } installed{host::SetPlacementCheck(signing::MakePlacementCheck(policy))};
    const std::string release = ReadFile(Firmware() / "HLX_LC.rel");
    int swaps = 0;
    {
        const ScopedFileOpHook hook([&](os::FileOp op, const std::string& path) {
            if (op == os::FileOp::Read && fs::path(path).filename() == "HLX_LC.rel") {
                ++swaps;
                WriteFile(Firmware() / "HLX_LC.rel", "Release-Id: KLEM_12345_R9.9\r\nswapped\r\n");
            }
            return 0;
        });
        const host::Placement refused =
            host::PlaceDeviceLoadFile(Firmware().string(), "HLX_LC.rel", "HLX_LC.bin");
        EXPECT_FALSE(refused.placed);
        EXPECT_EQ(refused.cause, EACCES);
        EXPECT_NE(refused.problem.find("HLX_LC.rel"), std::string::npos) << refused.problem;
    }
    EXPECT_EQ(swaps, 1);
    EXPECT_FALSE(fs::exists(Firmware() / "HLX_LC.bin"));
    EXPECT_FALSE(fs::exists(Firmware() / ("HLX_LC.bin" + std::string(host::kPlacingSuffix))));
    WriteFile(Firmware() / "HLX_LC.rel", release);
    const host::Placement placed =
        host::PlaceDeviceLoadFile(Firmware().string(), "HLX_LC.rel", "HLX_LC.bin");
    EXPECT_TRUE(placed.placed) << placed.problem;
    EXPECT_EQ(ReadFile(Firmware() / "HLX_LC.bin"), release);
}

TEST_F(FirmwareFolderTest, FoldersComeFromTheEnvironmentWithoutTrailingSeparator) {
    ScopedEnv env(host::kFirmwareDirVariable, Firmware().string() + "//");
    EXPECT_EQ(CGatewayFileUtils::GetDefaultSoftwareLocation(), Firmware().string());
    CString path;
    EXPECT_EQ(CSystemInfo::GetRuntimePath(path), 0);
    EXPECT_EQ(path, Runtime().string());
    CSystemInfo::GetLogFilesPath(path);
    EXPECT_EQ(path, Logs().string());
}

TEST_F(FirmwareFolderTest, ReadFileContentsHandsOverAZeroTerminatedCopy) {
    WriteFile(Runtime() / "data.ini", std::string("ab\0cd", 5));
    unsigned char* buffer = nullptr;
    const long size =
        CIOUtilities::ReadFileContents((Runtime() / "data.ini").string().c_str(), &buffer);
    ASSERT_EQ(size, 5);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), std::string("ab\0cd\0", 6));
    std::free(buffer);

    buffer = reinterpret_cast<unsigned char*>(&buffer);  // must be reset on failure
    EXPECT_EQ(CIOUtilities::ReadFileContents((Runtime() / "none").string().c_str(), &buffer), 0);
    EXPECT_EQ(buffer, nullptr);
}

// The lookup is the platform's own, so some answers differ: each case states both.
TEST_F(FirmwareFolderTest, FileLookupAcceptsFoldersAndWildcardsByThePlatformsRules) {
#ifdef _WIN32
    constexpr bool kWindows = true;
#else
    constexpr bool kWindows = false;
#endif
    WriteRelease("HLX_LC.rel", "KLEM_1_R2");
    fs::create_directory(Firmware() / "sub");
    WriteFile(Firmware() / "sub" / "README", "no dot in this name");
    const std::string folder = Firmware().string();
    const std::string sub = (Firmware() / "sub").string();
    const struct {
        std::string path;
        bool posix;
        bool windows;
    } cases[] = {
        {os::JoinPath(folder, "HLX_LC.rel"), true, true},
        {os::JoinPath(folder, "sub"), true, true},  // a folder counts
        {os::JoinPath(folder, "HLX_*.rel"), true, true},
        {os::JoinPath(folder, "HLX_L?.*"), true, true},
        {os::JoinPath(folder, "HLX_?.rel"), false, false},
        {os::JoinPath(folder, "QPT_*"), false, false},
        {os::JoinPath(folder, ""), false, false},
        {os::JoinPath(folder + "/none", "*"), false, false},
        {folder + "/HLX_LC.rel", true, true},               // '/' separates on both
        {os::JoinPath(folder, "hlx_lc.REL"), false, true},  // case
        {os::JoinPath(sub, "*.*"), false, true},            // "*.*" is every name on Windows
    };
    for (const auto& c : cases) {
        EXPECT_EQ(os::FindFirstFileMatch(c.path), kWindows ? c.windows : c.posix) << c.path;
    }
    EXPECT_EQ(os::JoinPath("a", "b"), kWindows ? "a\\b" : "a/b");

    // The repair report's folder: where this very program lies, without a trailing separator.
    const std::string executable = os::ExecutableFolder();
    ASSERT_FALSE(executable.empty());
    EXPECT_NE(executable.back(), os::PathSeparator());
    EXPECT_TRUE(fs::exists(os::JoinPath(
        executable, kWindows ? "gatewayutils_tests_host.exe" : "gatewayutils_tests_host")));
}

// A reply is never written beyond the caller's buffer, whatever it claims. (Its numbers are read
// least significant byte first: DeviceReadingTest.CpldRevisionOrStandardCpld.)
TEST(Replies, StayInTheCallersBuffer) {
    char buffer[8] = {};
    buffer[4] = 'G';  // guard byte just past the room offered
    int length = 4;
    int error = -1;
    CSubStream command;
    VSI_GetSerialNumber(command, 0x20000000, &length, buffer, 0, &error);
    host::FillReply(command.Requests().front(), "0123456789", 0, 10);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(buffer[4], 'G');
    EXPECT_EQ(length, 10);  // the claim is passed on; the reader must bound it
    EXPECT_EQ(error, 0);
}

TEST(KeyScript, NamesKeysAndButtonsAndRefusesWhatItCannotRead) {
    using Kind = host::PopupEvent::Kind;
    const auto events = host::ParseKeyScript("A<tick><bs><lt><65><back><esc><enter>");
    ASSERT_TRUE(events.has_value());
    const std::vector<std::pair<Kind, int>> expected = {
        {Kind::Key, 'A'}, {Kind::Button, 1},  {Kind::Key, 8},    {Kind::Key, '<'},
        {Kind::Key, 65},  {Kind::Button, 32}, {Kind::Button, 2}, {Kind::Button, 1}};
    ASSERT_EQ(events->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*events)[i].kind, expected[i].first) << i;
        EXPECT_EQ((*events)[i].code, expected[i].second) << i;
    }
    for (const char* bad : {"<nope>", "AB<tick", "<70000>", "<>", "<-1>"}) {
        std::string error;
        EXPECT_FALSE(host::ParseKeyScript(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(TerminalText, EscapesWhatATerminalWouldObeyAndKeepsTheRest) {
    const std::pair<std::string, std::string> cases[] = {
        {"R4.2.1 HX100307", "R4.2.1 HX100307"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
        {std::string("a\0b\r\n\t\x7f", 7), "a\\x00b\\x0d\\x0a\\x09\\x7f"},
        {"\xc2\x9b\x32J", "\\u009b2J"},                           // C1 control sequence introducer
        {"\xc2\xa0", "\xc2\xa0"},                                 // U+00A0 is no control
        {"\x9b\x32J \xff \xc3", "\\x9b2J \\xff \\xc3"},           // bytes that are not UTF-8
        {"\xc0\xaf \xed\xa0\x80", "\\xc0\\xaf \\xed\\xa0\\x80"},  // overlong form, surrogate
        {"\\x1b", "\\\\x1b"},                                     // an escape cannot be faked
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(EscapeForTerminal(text), shown) << shown;
    }
}

}  // namespace
}  // namespace gwu::test

// CQPTUtils: the measurement module.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "devices/CQPTUtils.h"
#include "host/Folders.h"
#include "host/MemoryValueStore.h"
#include "platform/ValueStore.h"
#include "testsupport/Fixtures.h"
#include "testsupport/ScriptedComms.h"

namespace {

namespace fs = std::filesystem;
using gwu::test::Reply;
using gwu::test::ScriptedComms;
using Lines = std::vector<std::string>;

constexpr auto kDetails = SubRequestKind::MsiGetCardDetails;
constexpr auto kReset = SubRequestKind::MsiReset;

// Every published name, in the order a placeholder is published under them.
const Lines kPlaceholderOrder = {"QPT_SerialNum", "QPT_Release", "QPT_PROM_Release",
                                 "QPT_Release_Untrimmed", "QPT_PROM_Release_Untrimmed"};

// The stand-in value store that also keeps the order in which names were published.
struct RecordingFrame : CTabQuillonFrame, gwu::host::ValueStore {
    CTabValueStore& GetValueStore() override { return *this; }
    bool SetValue(const CString& name, const CString& value, int maxLength) override {
        published.push_back(name);
        return ValueStore::SetValue(name, value, maxLength);
    }
    Lines published;
};

// A module on its own connection, which answers the three detail requests, and value store.
struct Bench {
    Bench() {
        comms.Answer(kDetails, 2, Reply::Text("QPT Loaded Code Release 3.2.0"));
        comms.Answer(kDetails, 3, Reply::Text("QPT PROM Release 1.4"));
        comms.Answer(kDetails, 1, Reply::Text("SN-77"));
    }
    // The values under the names, in placeholder order.
    Lines Values() const {
        Lines values;
        for (const std::string& name : kPlaceholderOrder) {
            CString value;
            frame.GetValue(name, &value, CTabValueStore::kMaxLength);
            values.push_back(value);
        }
        return values;
    }
    ScriptedComms comms;
    RecordingFrame frame;
    CQPTUtils qpt{&comms, &frame};
};

class QptUtilsTest : public gwu::test::FolderFixture {
protected:
    bool InFirmware(const std::string& name) const { return fs::exists(Firmware() / name); }

    Bench bench;
    ScriptedComms& comms = bench.comms;
    CQPTUtils& qpt = bench.qpt;
};

TEST_F(QptUtilsTest, ReadsThreeDetailsAndPublishesFiveValues) {
    EXPECT_TRUE(qpt.SetReleaseIds(true));
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 3u);
    const int types[] = {2, 3, 1};
    for (size_t i = 0; i < requests.size(); ++i) {
        const auto& r = requests[i];
        EXPECT_EQ(std::tie(r.kind, r.requestType, r.length, r.timeoutMs, r.flags),
                  std::make_tuple(kDetails, types[i], 128, 10000, 0));
    }
    EXPECT_EQ(comms.Calls(), (Lines{"Connect", "Execute", "Execute", "Execute", "Disconnect"}));
    // The serial number has no "Release ": published as read.
    EXPECT_EQ(bench.Values(), (Lines{"SN-77", "R3.2.0", "R1.4", "QPT Loaded Code Release 3.2.0",
                                     "QPT PROM Release 1.4"}));
    // Only the loaded-code read decides; later failures publish empty texts.
    comms.Answer(kDetails, 3, Reply::Error(5));
    comms.Answer(kDetails, 1, Reply::Error(5));
    EXPECT_TRUE(qpt.SetReleaseIds(true));
    EXPECT_EQ(bench.Values(), (Lines{"", "R3.2.0", "", "QPT Loaded Code Release 3.2.0", ""}));
}

// Nothing read gives NotConnected under every name, a failed reading (also in Connect) Unknown.
TEST_F(QptUtilsTest, PlaceholdersWhenTheReadingGivesNothing) {
    const auto connectFails = [](ScriptedComms& c) { c.SetConnectResult(false); };
    const auto firstFails = [](ScriptedComms& c) { c.Answer(kDetails, 2, Reply::Error(4)); };
    const auto connectThrows = [](ScriptedComms& c) { c.ThrowOnConnect(3); };
    const std::tuple<bool, std::function<void(ScriptedComms&)>, Lines, const char*> cases[] = {
        {false, [](ScriptedComms&) {}, {}, "NotConnected"},
        {true, connectFails, {"Connect"}, "NotConnected"},
        {true, firstFails, {"Connect", "Execute", "Disconnect"}, "Unknown"},
        {true, connectThrows, {"Connect"}, "Unknown"}};
    for (const auto& [readDevice, script, calls, placeholder] : cases) {
        SCOPED_TRACE(::testing::PrintToString(calls));
        Bench local;
        script(local.comms);
        EXPECT_FALSE(local.qpt.SetReleaseIds(readDevice));
        EXPECT_EQ(local.comms.Calls(), calls);
        const Lines& published = local.frame.published;
        EXPECT_EQ(Lines(published.end() - 5, published.end()), kPlaceholderOrder);
        EXPECT_EQ(local.Values(), Lines(5, placeholder));
    }
}

// A reply that fills the buffer keeps all of it; a length claimed outside the buffer stays
// inside it, and one beyond the reply stops at the end of the reply's text.
TEST_F(QptUtilsTest, RepliesNeverLeaveTheBuffer) {
    comms.Answer(kDetails, 2, Reply::Text(std::string(128, 'A')));
    comms.Answer(kDetails, 3, Reply{std::string(128, 'B'), 0, 1000, {}});
    comms.Answer(kDetails, 1, Reply{"SN", 0, -3, {}});
    EXPECT_TRUE(qpt.SetReleaseIds(true));
    EXPECT_EQ(bench.Values(), (Lines{"", std::string(128, 'A'), std::string(128, 'B'),
                                     std::string(128, 'A'), std::string(128, 'B')}));
    comms.Answer(kDetails, 2, Reply{"QPT Release 2.0", 0, 400, {}});
    EXPECT_TRUE(qpt.SetReleaseIds(true));
    EXPECT_EQ(bench.Values()[3], "QPT Release 2.0");
}

// "R" and the text after "Release "; otherwise (null here) false, and nothing changed.
TEST_F(QptUtilsTest, TrimReleaseIdKeepsTheTextAfterRelease) {
    const std::pair<const char*, const char*> cases[] = {
        {"QPT Release 3.2.0", "R3.2.0"}, {"Release 2.10", "R2.10"}, {"QPT 3.2.0", nullptr},
        {"release 1.0", nullptr},        {"Release1.0", nullptr},   {"", nullptr},
    };
    for (const auto& [text, release] : cases) {
        CString trimmed = "keep";
        EXPECT_EQ(qpt.TrimReleaseId(text, trimmed), release != nullptr) << text;
        EXPECT_EQ(trimmed, release != nullptr ? release : "keep");
    }
}

// Loaded code and PROM only: any other code type is logged and answered like the loaded code,
// without a file; the commands the module lacks send nothing, and it has no custom CPLD.
TEST_F(QptUtilsTest, LoadedCodeAndPromOnly) {
    EXPECT_EQ(qpt.GetReleaseValueName(PROM_CODE), "QPT_PROM_Release");
    EXPECT_EQ(qpt.GetUntrimmedReleaseValueName(PROM_CODE), "QPT_PROM_Release_Untrimmed");
    EXPECT_EQ(qpt.GetUntrimmedReleaseValueName(LC_CODE), "QPT_Release_Untrimmed");
    for (const CODETYPE code : {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE}) {
        EXPECT_EQ(qpt.SupportsCodeType(code), code == LC_CODE || code == PROM_CODE) << code;
    }
    EXPECT_TRUE(m_diagnostics.Errors().empty());
    EXPECT_TRUE(qpt.RenameFile(BS_CODE, false));
    EXPECT_EQ(qpt.GetFilename(CPLD_CODE, true), "");
    EXPECT_EQ(qpt.GetReleaseValueName(MAC_CODE), "QPT_Release");
    EXPECT_EQ(qpt.GetUntrimmedReleaseValueName(BS_CODE), "QPT_Release_Untrimmed");
    EXPECT_EQ(m_diagnostics.Errors(), (Lines{".\\QPTUtils(47)", ".\\QPTUtils(166)",
                                             ".\\QPTUtils(253)", ".\\QPTUtils(273)"}));
    qpt.SendUpdateCommand();
    qpt.SendDeviceString("hello");
    qpt.UpdateActiveCableFirmware();
    EXPECT_TRUE(comms.Calls().empty());
    qpt.SetCustomCPLDFileName("custom.jed");
    EXPECT_FALSE(qpt.HasCustomCPLD());
}

TEST_F(QptUtilsTest, RenameFileMovesOnlyTheLoadedCode) {
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.1");
    WriteRelease("QPT_PROM.rel", "QPT PROM Release 1.5");
    EXPECT_TRUE(qpt.RenameFile(PROM_CODE, false));
    EXPECT_FALSE(InFirmware("QPT_PROM.bin"));
    EXPECT_FALSE(qpt.ReleaseFileExists());
    EXPECT_TRUE(qpt.RenameFile(LC_CODE, true));  // copies
    EXPECT_TRUE(InFirmware("QPT_LC.rel"));
    EXPECT_TRUE(qpt.ReleaseFileExists());         // the device-load file
    EXPECT_TRUE(qpt.RenameFile(LC_CODE, false));  // copies too: the release stays installed
    EXPECT_TRUE(InFirmware("QPT_LC.rel"));
    std::filesystem::remove(Firmware() / "QPT_LC.rel");
    EXPECT_FALSE(qpt.RenameFile(LC_CODE, false));  // no release to place
}

// The PROM release file's path goes in a 128-byte buffer, cut to 127 characters; any failure
// gives false.
TEST_F(QptUtilsTest, UpdatePromNamesThePromReleaseFile) {
    comms.Answer(kDetails, 9, Reply::Text(""));
    EXPECT_TRUE(qpt.UpdatePROM());
    const std::string folder = Firmware().string() + "/" + std::string(150, 'd');
    {
        gwu::test::ScopedEnv longFolder(gwu::host::kFirmwareDirVariable, folder);
        EXPECT_TRUE(qpt.UpdatePROM());
    }
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(std::tie(requests[0].kind, requests[0].requestType, requests[0].length,
                       requests[0].timeoutMs),
              std::make_tuple(kDetails, 9, 128, 10000));
    const std::string path = (Firmware() / "QPT_PROM.rel").string();
    EXPECT_EQ(requests[0].data, path + std::string(128 - path.size(), '\0'));
    EXPECT_EQ(requests[1].data, folder.substr(0, 127) + std::string(1, '\0'));
    comms.Answer(kDetails, 9, Reply::Error(2));
    EXPECT_FALSE(qpt.UpdatePROM());
    comms.Answer(kDetails, 9, Reply::Throw(8));
    bool result = true;
    EXPECT_NO_THROW(result = qpt.UpdatePROM());
    EXPECT_FALSE(result);
}

// The loaded code's release is moved into place, then the module reset; a failed reset (which
// passes the comms failure on) fails the update.
TEST_F(QptUtilsTest, UpdateBcfRenamesThenResets) {
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.1");
    comms.Answer(kReset, 0x01000000, Reply::Text(""));
    EXPECT_TRUE(qpt.UpdateBCF());
    EXPECT_TRUE(InFirmware("QPT_LC.bin"));
    ASSERT_EQ(comms.Requests().size(), 1u);
    const auto reset = comms.Requests()[0];
    EXPECT_EQ(std::tie(reset.kind, reset.requestType, reset.timeoutMs),
              std::make_tuple(kReset, 0x01000000, 10000));
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.2");
    comms.Answer(kReset, 0x01000000, Reply::Throw(9));
    EXPECT_FALSE(qpt.UpdateBCF());
    EXPECT_EQ(ReadFile(Firmware() / "QPT_LC.bin"), ReadFile(Firmware() / "QPT_LC.rel"));
    EXPECT_THROW(qpt.ResetDevice(), CBaseCommsException);
}

}  // namespace

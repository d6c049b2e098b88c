// CQPTUtils: the measurement module.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "ScriptedComms.h"
#include "ValueStore.h"
#include "devices/CQPTUtils.h"

namespace {

using gwu::test::Reply;
using gwu::test::ScriptedComms;
using Kind = SubRequestKind;
using Lines = std::vector<std::string>;

constexpr const char* kValueNames[] = {"QPT_SerialNum", "QPT_Release", "QPT_PROM_Release",
                                       "QPT_Release_Untrimmed", "QPT_PROM_Release_Untrimmed"};

void ExpectRequest(const gwu::test::RecordedRequest& request, SubRequestKind kind, int type,
                   int length) {
    EXPECT_EQ(request.kind, kind);
    EXPECT_EQ(request.requestType, type);
    EXPECT_EQ(request.length, length);
    EXPECT_EQ(request.timeoutMs, 10000);
    EXPECT_EQ(request.flags, 0);
}

class QptUtilsTest : public gwu::test::FolderFixture {
protected:
    std::string Value(const std::string& name) const {
        CString value;
        frame.Store().GetValue(name, &value, CTabValueStore::kMaxLength);
        return value;
    }
    void ExpectAllValues(const std::string& expected) const {
        for (const char* name : kValueNames) {
            EXPECT_EQ(Value(name), expected) << name;
        }
    }
    bool InFirmware(const std::string& name) const {
        return std::filesystem::exists(Firmware() / name);
    }
    void AnswerReleases() {
        comms.Answer(Kind::MsiGetCardDetails, 2, Reply::Text("QPT Loaded Code Release 3.2.0"));
        comms.Answer(Kind::MsiGetCardDetails, 3, Reply::Text("QPT PROM Release 1.4"));
        comms.Answer(Kind::MsiGetCardDetails, 1, Reply::Text("SN-77"));
    }

    mutable gwu::host::Frame frame;
    ScriptedComms comms;
    CQPTUtils qpt{&comms, &frame};
};

// ---------------------------------------------------------------------------------------------
// Reading the release identifiers

TEST_F(QptUtilsTest, ReadsThreeDetailsAndPublishesFiveValues) {
    AnswerReleases();
    EXPECT_TRUE(qpt.SetReleaseIds(true));

    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 3u);
    ExpectRequest(requests[0], Kind::MsiGetCardDetails, 2, 128);
    ExpectRequest(requests[1], Kind::MsiGetCardDetails, 3, 128);
    ExpectRequest(requests[2], Kind::MsiGetCardDetails, 1, 128);
    EXPECT_EQ(comms.Calls(), (Lines{"Connect", "Execute", "Execute", "Execute", "Disconnect"}));
    EXPECT_EQ(Value("QPT_Release"), "R3.2.0");
    EXPECT_EQ(Value("QPT_Release_Untrimmed"), "QPT Loaded Code Release 3.2.0");
    EXPECT_EQ(Value("QPT_PROM_Release"), "R1.4");
    EXPECT_EQ(Value("QPT_PROM_Release_Untrimmed"), "QPT PROM Release 1.4");
    EXPECT_EQ(Value("QPT_SerialNum"), "SN-77");  // no "Release ": published as read
}

TEST_F(QptUtilsTest, LaterDetailFailuresAreNotLookedAt) {
    AnswerReleases();
    comms.Answer(Kind::MsiGetCardDetails, 3, Reply::Error(5));
    comms.Answer(Kind::MsiGetCardDetails, 1, Reply::Error(5));
    EXPECT_TRUE(qpt.SetReleaseIds(true));
    EXPECT_EQ(Value("QPT_Release"), "R3.2.0");
    EXPECT_EQ(Value("QPT_PROM_Release"), "");
    EXPECT_EQ(Value("QPT_SerialNum"), "");
}

TEST_F(QptUtilsTest, FirstReadFailureGivesUnknown) {
    AnswerReleases();
    comms.Answer(Kind::MsiGetCardDetails, 2, Reply::Error(4));
    EXPECT_FALSE(qpt.SetReleaseIds(true));
    ExpectAllValues("Unknown");
    EXPECT_EQ(comms.Requests().size(), 1u);
    EXPECT_EQ(comms.Calls(), (Lines{"Connect", "Execute", "Disconnect"}));
}

TEST_F(QptUtilsTest, NotReadingGivesNotConnected) {
    AnswerReleases();
    EXPECT_FALSE(qpt.SetReleaseIds(false));
    ExpectAllValues("NotConnected");
    EXPECT_TRUE(comms.Calls().empty());

    comms.SetConnectResult(false);
    EXPECT_FALSE(qpt.SetReleaseIds(true));
    ExpectAllValues("NotConnected");
    EXPECT_EQ(comms.Calls(), Lines{"Connect"});
}

TEST_F(QptUtilsTest, ConnectThrowingGivesUnknown) {
    AnswerReleases();
    comms.ThrowOnConnect(3);
    EXPECT_FALSE(qpt.SetReleaseIds(true));
    ExpectAllValues("Unknown");
    EXPECT_EQ(comms.Calls(), Lines{"Connect"});
}

TEST_F(QptUtilsTest, ExceptionMidReadingGivesUnknownWithoutDisconnect) {
    AnswerReleases();
    comms.AnswerAt(1, Reply::Throw(6));
    EXPECT_FALSE(qpt.SetReleaseIds(true));
    ExpectAllValues("Unknown");
    EXPECT_EQ(comms.Calls(), (Lines{"Connect", "Execute", "Execute"}));
}

TEST_F(QptUtilsTest, RepliesNeverLeaveTheBuffer) {
    const std::string full(128, 'A');
    comms.Answer(Kind::MsiGetCardDetails, 2, Reply::Text(full));
    comms.Answer(Kind::MsiGetCardDetails, 3, Reply{std::string(128, 'B'), 0, 1000, {}});
    comms.Answer(Kind::MsiGetCardDetails, 1, Reply{"SN", 0, -3, {}});
    EXPECT_TRUE(qpt.SetReleaseIds(true));
    EXPECT_EQ(Value("QPT_Release_Untrimmed"), full);
    EXPECT_EQ(Value("QPT_PROM_Release_Untrimmed"), std::string(128, 'B'));
    EXPECT_EQ(Value("QPT_SerialNum"), "");

    // A claimed length beyond the reply stops at the end of the reply's text.
    comms.Answer(Kind::MsiGetCardDetails, 2, Reply{"QPT Release 2.0", 0, 400, {}});
    EXPECT_TRUE(qpt.SetReleaseIds(true));
    EXPECT_EQ(Value("QPT_Release"), "R2.0");
    EXPECT_EQ(Value("QPT_Release_Untrimmed"), "QPT Release 2.0");
}

TEST_F(QptUtilsTest, TrimReleaseId) {
    CString trimmed = "keep";
    EXPECT_TRUE(qpt.TrimReleaseId("QPT Loaded Code Release 3.2.0", trimmed));
    EXPECT_EQ(trimmed, "R3.2.0");
    EXPECT_TRUE(qpt.TrimReleaseId("Release 2.10", trimmed));
    EXPECT_EQ(trimmed, "R2.10");
    for (const char* text : {"QPT 3.2.0", "release 1.0", "Release1.0", ""}) {
        trimmed = "keep";
        EXPECT_FALSE(qpt.TrimReleaseId(text, trimmed)) << text;
        EXPECT_EQ(trimmed, "keep") << text;
    }
}

// ---------------------------------------------------------------------------------------------
// Names, files and code types

TEST_F(QptUtilsTest, SupportsLoadedCodeAndPromOnly) {
    EXPECT_TRUE(qpt.SupportsCodeType(LC_CODE));
    EXPECT_TRUE(qpt.SupportsCodeType(PROM_CODE));
    EXPECT_FALSE(qpt.SupportsCodeType(BS_CODE));
    EXPECT_FALSE(qpt.SupportsCodeType(CPLD_CODE));
    EXPECT_FALSE(qpt.SupportsCodeType(MAC_CODE));
}

TEST_F(QptUtilsTest, NamesOfSupportedCodeTypes) {
    EXPECT_EQ(qpt.GetFilename(LC_CODE, true), "QPT_LC.rel");
    EXPECT_EQ(qpt.GetFilename(LC_CODE, false), "QPT_LC.bin");
    EXPECT_EQ(qpt.GetFilename(PROM_CODE, true), "QPT_PROM.rel");
    EXPECT_EQ(qpt.GetReleaseValueName(LC_CODE), "QPT_Release");
    EXPECT_EQ(qpt.GetReleaseValueName(PROM_CODE), "QPT_PROM_Release");
    EXPECT_EQ(qpt.GetUntrimmedReleaseValueName(LC_CODE), "QPT_Release_Untrimmed");
    EXPECT_EQ(qpt.GetUntrimmedReleaseValueName(PROM_CODE), "QPT_PROM_Release_Untrimmed");
    EXPECT_EQ(qpt.GetActiveCableFirmwareFilename(MAC_CODE), "");
    EXPECT_TRUE(m_diagnostics.Errors().empty());
}

TEST_F(QptUtilsTest, UnsupportedCodeTypesAreLogged) {
    EXPECT_TRUE(qpt.RenameFile(BS_CODE, false));
    EXPECT_EQ(m_diagnostics.Errors(), Lines{".\\QPTUtils(47)"});
    EXPECT_EQ(qpt.GetFilename(CPLD_CODE, true), "");
    EXPECT_EQ(qpt.GetReleaseValueName(MAC_CODE), "QPT_Release");
    EXPECT_EQ(qpt.GetUntrimmedReleaseValueName(BS_CODE), "QPT_Release_Untrimmed");
    EXPECT_EQ(m_diagnostics.Errors(), (Lines{".\\QPTUtils(47)", ".\\QPTUtils(166)",
                                             ".\\QPTUtils(253)", ".\\QPTUtils(273)"}));
}

TEST_F(QptUtilsTest, VersionAndReleaseFile) {
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.1");
    CString version;
    EXPECT_TRUE(qpt.GetVersionFromFile("QPT_LC.rel", version));
    EXPECT_EQ(version, "QPT Loaded Code Release 3.2.1");
    EXPECT_FALSE(qpt.GetVersionFromFile("QPT_PROM.rel", version));

    EXPECT_FALSE(qpt.ReleaseFileExists());
    WriteRelease("QPT_LC.bin", "QPT Loaded Code Release 3.2.0");
    EXPECT_TRUE(qpt.ReleaseFileExists());
    EXPECT_TRUE(qpt.FileExists("QPT_*.rel"));
}

TEST_F(QptUtilsTest, RenameFileMovesLoadedCodeOnly) {
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.1");
    WriteRelease("QPT_PROM.rel", "QPT PROM Release 1.5");

    EXPECT_TRUE(qpt.RenameFile(PROM_CODE, false));
    EXPECT_TRUE(InFirmware("QPT_PROM.rel"));
    EXPECT_FALSE(InFirmware("QPT_PROM.bin"));

    EXPECT_TRUE(qpt.RenameFile(LC_CODE, true));  // copies
    EXPECT_TRUE(InFirmware("QPT_LC.rel"));
    EXPECT_TRUE(InFirmware("QPT_LC.bin"));

    EXPECT_TRUE(qpt.RenameFile(LC_CODE, false));  // moves
    EXPECT_FALSE(InFirmware("QPT_LC.rel"));
    EXPECT_EQ(ReadFile(Firmware() / "QPT_LC.bin").rfind("Release-Id: QPT Loaded Code", 0), 0u);
    EXPECT_FALSE(qpt.RenameFile(LC_CODE, false));  // nothing left to move
    EXPECT_TRUE(m_diagnostics.Errors().empty());
}

// ---------------------------------------------------------------------------------------------
// Updates and device commands

TEST_F(QptUtilsTest, UpdatePromNamesThePromFile) {
    comms.Answer(Kind::MsiGetCardDetails, 9, Reply::Text(""));
    EXPECT_TRUE(qpt.UpdatePROM());
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 1u);
    ExpectRequest(requests[0], Kind::MsiGetCardDetails, 9, 128);
    const std::string path = (Firmware() / "QPT_PROM.rel").string();
    ASSERT_EQ(requests[0].data.size(), 128u);
    EXPECT_EQ(requests[0].data.substr(0, path.size()), path);
    EXPECT_EQ(requests[0].data.find_first_not_of('\0', path.size()), std::string::npos);

    comms.Answer(Kind::MsiGetCardDetails, 9, Reply::Error(2));
    EXPECT_FALSE(qpt.UpdatePROM());
}

TEST_F(QptUtilsTest, UpdatePromCutsLongPath) {
    const std::string folder = Firmware().string() + "/" + std::string(150, 'd');
    gwu::test::ScopedEnv longFolder(gwu::host::kFirmwareDirVariable, folder);
    comms.Answer(Kind::MsiGetCardDetails, 9, Reply::Text(""));
    EXPECT_TRUE(qpt.UpdatePROM());
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& sent = requests[0].data;
    ASSERT_EQ(sent.size(), 128u);
    EXPECT_EQ(sent.substr(0, 127), folder.substr(0, 127));
    EXPECT_EQ(sent[127], '\0');
}

TEST_F(QptUtilsTest, UpdatePromReportsCommsFailure) {
    comms.Answer(Kind::MsiGetCardDetails, 9, Reply::Throw(8));
    bool result = true;
    EXPECT_NO_THROW(result = qpt.UpdatePROM());
    EXPECT_FALSE(result);
}

TEST_F(QptUtilsTest, UpdateBcfRenamesThenResets) {
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.1");
    comms.Answer(Kind::MsiReset, 0x01000000, Reply::Text(""));
    EXPECT_TRUE(qpt.UpdateBCF());
    EXPECT_FALSE(InFirmware("QPT_LC.rel"));
    EXPECT_TRUE(InFirmware("QPT_LC.bin"));
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 1u);
    ExpectRequest(requests[0], Kind::MsiReset, 0x01000000, 0);

    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.2");
    comms.Answer(Kind::MsiReset, 0x01000000, Reply::Throw(9));
    EXPECT_FALSE(qpt.UpdateBCF());
    EXPECT_FALSE(InFirmware("QPT_LC.rel"));  // the rename happens before the reset
}

TEST_F(QptUtilsTest, ResetPassesCommsFailureOn) {
    comms.Answer(Kind::MsiReset, 0x01000000, Reply::Throw(9));
    EXPECT_THROW(qpt.ResetDevice(), CBaseCommsException);
}

TEST_F(QptUtilsTest, BaseBehaviourForWhatTheModuleLacks) {
    qpt.SendUpdateCommand();
    qpt.SendDeviceString("hello");
    qpt.UpdateActiveCableFirmware();
    EXPECT_TRUE(comms.Calls().empty());
    EXPECT_TRUE(qpt.UpdateBootstrap());
    EXPECT_TRUE(qpt.UpdateCPLD());
    EXPECT_FALSE(qpt.UpdateMACFirmware());
    qpt.SetCustomCPLDFileName("custom.jed");
    EXPECT_EQ(qpt.GetCustomCPLDFileName(), "");
    EXPECT_FALSE(qpt.HasCustomCPLD());
}

}  // namespace

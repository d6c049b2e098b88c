// Unit tests of the communication-module device class CHLXUtils: release reading against the
// scripted connection, release-id trimming, value and file names, the updates, the device
// string and the release-folder lookups.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "ScriptedComms.h"
#include "ValueStore.h"
#include "devices/CHLXUtils.h"

namespace {

namespace fs = std::filesystem;
using gwu::test::RecordedRequest;
using gwu::test::Reply;
using gwu::test::ScriptedComms;

constexpr int kReqLoadedCode = 0x20000000;
constexpr int kReqProm = 0x10000000;
constexpr int kReqBootstrap = 0x01000000;
constexpr int kReqCpld = 0x00000800;
constexpr int kReqCable = 0x00000200;
constexpr int kReqSerial = static_cast<int>(0x80000000u);
constexpr int kReqUpdate = 0x00400000;
constexpr int kReqReset = static_cast<int>(0x80000000u);
constexpr int kReqCableUpdate = 0x00000400;
constexpr int kReqDeviceString = 0x00008000;

const std::array<const char*, 11> kAllNames = {"HLX_SerialNum",
                                               "HLX_Release",
                                               "HLX_PROM_Release",
                                               "HLX_Release_Untrimmed",
                                               "HLX_PROM_Release_Untrimmed",
                                               "HLX_Bootstrap_Release",
                                               "HLX_Bootstrap_Release_Untrimmed",
                                               "HLX_CPLD_Release",
                                               "HLX_CPLD_Release_Untrimmed",
                                               "HLX_MAC_Firmware_Release",
                                               "HLX_MAC_Firmware_Release_Untrimmed"};

const std::array<const char*, 5> kReleaseNames = {"HLX_Release", "HLX_PROM_Release",
                                                  "HLX_Bootstrap_Release", "HLX_CPLD_Release",
                                                  "HLX_MAC_Firmware_Release"};
const std::array<const char*, 5> kUntrimmedNames = {
    "HLX_Release_Untrimmed", "HLX_PROM_Release_Untrimmed", "HLX_Bootstrap_Release_Untrimmed",
    "HLX_CPLD_Release_Untrimmed", "HLX_MAC_Firmware_Release_Untrimmed"};
const std::array<const char*, 5> kCodeFiles = {"LC", "PROM", "BOOT", "CPLD", "MAC"};

constexpr CODETYPE kBadCode = static_cast<CODETYPE>(5);

Reply WithLength(std::string bytes, int length, int error = 0) {
    Reply reply = Reply::Text(std::move(bytes));
    reply.length = length;
    reply.error = error;
    return reply;
}

// A device that answers every reading request; the CPLD reports revision 7.
void ScriptDevice(ScriptedComms& comms) {
    const auto kind = SubRequestKind::VsiGetSerialNumber;
    comms.Answer(kind, kReqLoadedCode, Reply::Text("KLEM_12345_R0.6.2"));
    comms.Answer(kind, kReqProm, Reply::Text("KLEM_PROM_R1.4"));
    comms.Answer(kind, kReqBootstrap, Reply::Text("KLEM_BOOT_ER12"));
    comms.Answer(kind, kReqCpld, Reply::Value32(7));
    comms.Answer(kind, kReqCable, Reply::Text("KLEM_MAC_R3.1"));  // published untrimmed
    comms.Answer(kind, kReqSerial, Reply::Text("HLX0042"));
}

std::vector<int> Types(const std::vector<RecordedRequest>& requests) {
    std::vector<int> types;
    for (const RecordedRequest& request : requests) {
        types.push_back(request.requestType);
    }
    return types;
}

std::vector<std::string> RenameLines(const std::vector<std::string>& monitor) {
    std::vector<std::string> lines;
    for (const std::string& line : monitor) {
        if (line.rfind("RenameGatewayFile:", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

class HlxTest : public gwu::test::FolderFixture {
protected:
    std::string Value(const std::string& name) {
        CString value;
        frame.Store().GetValue(name, &value, CTabValueStore::kMaxLength);
        return value;
    }
    void ExpectAll(const std::string& expected) {
        for (const char* name : kAllNames) {
            EXPECT_EQ(Value(name), expected) << name;
        }
    }
    fs::path ListFile() const { return Logs() / "HLX_Serial_Nums.txt"; }

    ScriptedComms comms;
    gwu::host::Frame frame;
    CHLXUtils hlx{&comms, &frame};
};

// ---------------------------------------------------------------------------------------------
// SetReleaseIds: request sequence and published values

TEST_F(HlxTest, ReadingSendsTheRequestsInOrderAndPublishesAllValues) {
    ScriptDevice(comms);
    EXPECT_TRUE(hlx.SetReleaseIds(true));

    const auto requests = comms.Requests();
    EXPECT_EQ(Types(requests), (std::vector<int>{kReqLoadedCode, kReqProm, kReqBootstrap, kReqCpld,
                                                 kReqCable, kReqSerial}));
    for (const RecordedRequest& request : requests) {
        SCOPED_TRACE(request.requestType);
        EXPECT_EQ(request.kind, SubRequestKind::VsiGetSerialNumber);
        EXPECT_EQ(request.flags, 0);
        EXPECT_EQ(request.length, request.requestType == kReqCpld ? 4 : 128);
        EXPECT_EQ(request.timeoutMs, 10000);
    }
    std::vector<std::string> expectedCalls{"Connect"};
    expectedCalls.insert(expectedCalls.end(), 6, "Execute");
    expectedCalls.emplace_back("Disconnect");
    EXPECT_EQ(comms.Calls(), expectedCalls);

    EXPECT_EQ(Value("HLX_Release"), "R0.6.2");
    EXPECT_EQ(Value("HLX_Release_Untrimmed"), "KLEM_12345_R0.6.2");
    EXPECT_EQ(Value("HLX_PROM_Release"), "R1.4");
    EXPECT_EQ(Value("HLX_PROM_Release_Untrimmed"), "KLEM_PROM_R1.4");
    EXPECT_EQ(Value("HLX_Bootstrap_Release"), "ER12");
    EXPECT_EQ(Value("HLX_Bootstrap_Release_Untrimmed"), "KLEM_BOOT_ER12");
    EXPECT_EQ(Value("HLX_CPLD_Release"), "R7");
    EXPECT_EQ(Value("HLX_CPLD_Release_Untrimmed"), "R7");
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release"), "KLEM_MAC_R3.1");
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release_Untrimmed"), "KLEM_MAC_R3.1");
    EXPECT_EQ(Value("HLX_SerialNum"), "HLX0042");

    EXPECT_TRUE(m_diagnostics.MonitorHas("CPLD REV:0x00000007 VSI:0x00000000"));
    EXPECT_TRUE(m_diagnostics.MonitorHas("***** Non-Standard CPLD Detected *****"));
    EXPECT_EQ(ReadFile(ListFile()), "HLX0042,R0.6.2,R1.4,ER12\r\n");
    EXPECT_TRUE(hlx.HasCustomCPLD());
}

TEST_F(HlxTest, NotReadingSendsNothingAndPublishesNotConnected) {
    ScriptDevice(comms);
    EXPECT_FALSE(hlx.SetReleaseIds(false));
    EXPECT_TRUE(comms.Calls().empty());
    ExpectAll("NotConnected");
    EXPECT_FALSE(fs::exists(ListFile()));
    EXPECT_FALSE(hlx.HasCustomCPLD());
}

TEST_F(HlxTest, ConnectFailureGivesNotConnectedAndStillDisconnects) {
    ScriptDevice(comms);
    comms.SetConnectResult(false);
    EXPECT_FALSE(hlx.SetReleaseIds(true));
    EXPECT_EQ(comms.Calls(), (std::vector<std::string>{"Connect", "Disconnect"}));
    ExpectAll("NotConnected");
    EXPECT_FALSE(fs::exists(ListFile()));
}

TEST_F(HlxTest, LoadedCodeFailureGivesUnknownEverywhere) {
    ScriptDevice(comms);
    comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqLoadedCode, Reply::Error(3));
    EXPECT_FALSE(hlx.SetReleaseIds(true));
    EXPECT_EQ(comms.Calls(), (std::vector<std::string>{"Connect", "Execute", "Disconnect"}));
    ExpectAll("Unknown");
    EXPECT_FALSE(fs::exists(ListFile()));
    EXPECT_FALSE(hlx.HasCustomCPLD());
}

TEST_F(HlxTest, ExceptionOnConnectGivesUnknownWithoutDisconnect) {
    comms.ThrowOnConnect(5);
    EXPECT_FALSE(hlx.SetReleaseIds(true));
    EXPECT_EQ(comms.Calls(), (std::vector<std::string>{"Connect"}));
    ExpectAll("Unknown");
}

// An exception at each position of both request sequences (the second with the extra
// bootstrap read of a CPLD error other than 0, 1 and 4).
TEST_F(HlxTest, ExceptionAtEveryRequestGivesUnknownAndResultByReadDone) {
    for (const bool extraRead : {false, true}) {
        const size_t count = extraRead ? 7 : 6;
        for (size_t position = 0; position < count; ++position) {
            SCOPED_TRACE("extraRead " + std::to_string(extraRead) + " position " +
                         std::to_string(position));
            fs::remove(ListFile());
            ScriptedComms local;
            gwu::host::Frame localFrame;
            CHLXUtils device(&local, &localFrame);
            ScriptDevice(local);
            if (extraRead) {
                local.Answer(SubRequestKind::VsiGetSerialNumber, kReqCpld, Reply::Error(2));
            }
            localFrame.Store().SetValue("HLX_SerialNum", "OLD", 512);
            local.AnswerAt(position, Reply::Throw(11));

            const bool readDone = position >= 2;  // the PROM read (position 1) had completed
            EXPECT_EQ(device.SetReleaseIds(true), readDone);
            EXPECT_EQ(local.Requests().size(), position + 1);
            const auto calls = local.Calls();
            EXPECT_EQ(calls.front(), "Connect");
            EXPECT_EQ(calls.back(), "Execute");  // no Disconnect after the exception
            for (const char* name : kAllNames) {
                CString value;
                localFrame.Store().GetValue(name, &value, 512);
                EXPECT_EQ(value, "Unknown") << name;
            }
            if (readDone) {
                EXPECT_EQ(ReadFile(ListFile()), "Unknown,Unknown,Unknown,Unknown\r\n");
            } else {
                EXPECT_FALSE(fs::exists(ListFile()));
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// SetReleaseIds: CPLD decisions

TEST_F(HlxTest, CpldErrorsOneAndFourGiveStandardWithoutExtraRead) {
    for (const int error : {1, 4}) {
        SCOPED_TRACE(error);
        comms.ClearRecords();
        ScriptDevice(comms);
        comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqCpld, Reply::Error(error));
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(Types(comms.Requests()),
                  (std::vector<int>{kReqLoadedCode, kReqProm, kReqBootstrap, kReqCpld, kReqCable,
                                    kReqSerial}));
        EXPECT_EQ(Value("HLX_CPLD_Release"), "STANDARD BEXA CPLD");
        EXPECT_EQ(Value("HLX_CPLD_Release_Untrimmed"), "STANDARD BEXA CPLD");
        EXPECT_FALSE(hlx.HasCustomCPLD());
    }
    EXPECT_FALSE(m_diagnostics.MonitorHas("Non-Standard CPLD"));
    EXPECT_TRUE(m_diagnostics.MonitorHas("CPLD REV:0x00000000 VSI:0x00000004"));
}

TEST_F(HlxTest, OtherCpldErrorDecidesByAnExtraBootstrapRead) {
    ScriptDevice(comms);
    // Error 0xab with revision bytes present: the revision stays 0.
    Reply cpld = Reply::Value32(9);
    cpld.error = 0xab;
    comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqCpld, cpld);
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    const auto requests = comms.Requests();
    EXPECT_EQ(Types(requests), (std::vector<int>{kReqLoadedCode, kReqProm, kReqBootstrap, kReqCpld,
                                                 kReqBootstrap, kReqCable, kReqSerial}));
    EXPECT_EQ(requests[4].length, 128);
    EXPECT_EQ(requests[4].timeoutMs, 10000);
    EXPECT_EQ(Value("HLX_CPLD_Release"), "R0");
    EXPECT_EQ(Value("HLX_CPLD_Release_Untrimmed"), "R0");
    EXPECT_TRUE(m_diagnostics.MonitorHas("CPLD REV:0x00000000 VSI:0x000000ab"));
    EXPECT_TRUE(hlx.HasCustomCPLD());

    // The extra read fails: a standard CPLD.
    comms.ClearRecords();
    comms.AnswerAt(4, Reply::Error(6));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(comms.Requests().size(), 7u);
    EXPECT_EQ(Value("HLX_CPLD_Release"), "STANDARD BEXA CPLD");
    EXPECT_EQ(Value("HLX_CPLD_Release_Untrimmed"), "STANDARD BEXA CPLD");
    EXPECT_EQ(Value("HLX_Bootstrap_Release"), "ER12");  // the first read's value stays
    EXPECT_FALSE(hlx.HasCustomCPLD());
}

TEST_F(HlxTest, CpldRevisionNeedsExactlyFourBytes) {
    ScriptDevice(comms);
    comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqCpld,
                 Reply::Text(std::string("\x07\x00\x00", 3)));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_CPLD_Release"), "R0");
    EXPECT_EQ(comms.Requests().size(), 6u);

    comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqCpld, Reply::Value32(0xDEADBEEFu));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_CPLD_Release_Untrimmed"), "R3735928559");
    EXPECT_TRUE(m_diagnostics.MonitorHas("CPLD REV:0xDEADBEEF VSI:0x00000000"));
}

// ---------------------------------------------------------------------------------------------
// SetReleaseIds: text replies and failures of single requests

TEST_F(HlxTest, TextRepliesRespectLengthAndBuffer) {
    ScriptDevice(comms);
    const auto kind = SubRequestKind::VsiGetSerialNumber;
    comms.Answer(kind, kReqProm, Reply::Text(std::string(128, 'P')));    // no room for a zero
    comms.Answer(kind, kReqBootstrap, WithLength("KLEM_BOOT_R2", 500));  // claims too much
    comms.Answer(kind, kReqCable, WithLength("MACFW", -3));              // negative length
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_PROM_Release"), "");
    EXPECT_EQ(Value("HLX_PROM_Release_Untrimmed"), "");
    EXPECT_EQ(Value("HLX_Bootstrap_Release"), "");
    EXPECT_EQ(Value("HLX_Bootstrap_Release_Untrimmed"), "");
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release"), "");
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release_Untrimmed"), "");

    comms.Answer(kind, kReqProm, Reply::Text(std::string(127, 'P')));
    comms.Answer(kind, kReqBootstrap, WithLength("ABCDEFGH", 3));  // shorter than the bytes
    comms.Answer(kind, kReqCable, Reply::Text(std::string("AB\0CD", 5)));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_PROM_Release_Untrimmed"), std::string(127, 'P'));
    EXPECT_EQ(Value("HLX_Bootstrap_Release_Untrimmed"), "ABC");
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release"), "AB");
}

TEST_F(HlxTest, PromAndBootstrapFailuresPublishEmptyTextAndGoOn) {
    ScriptDevice(comms);
    const auto kind = SubRequestKind::VsiGetSerialNumber;
    comms.Answer(kind, kReqProm, WithLength("KLEM_PROM_R1", 12, 3));  // bytes despite the error
    comms.Answer(kind, kReqBootstrap, Reply::Error(2));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(comms.Requests().size(), 6u);
    EXPECT_EQ(Value("HLX_PROM_Release"), "");
    EXPECT_EQ(Value("HLX_PROM_Release_Untrimmed"), "");
    EXPECT_EQ(Value("HLX_Bootstrap_Release"), "");
    EXPECT_EQ(Value("HLX_Bootstrap_Release_Untrimmed"), "");
    EXPECT_EQ(Value("HLX_CPLD_Release"), "R7");
    EXPECT_EQ(Value("HLX_SerialNum"), "HLX0042");
    EXPECT_EQ(ReadFile(ListFile()), "HLX0042,R0.6.2,,\r\n");
}

TEST_F(HlxTest, CableFirmwareFailureGivesUnknownUnderBothNames) {
    ScriptDevice(comms);
    comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqCable, Reply::Error(2));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release"), "Unknown");
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release_Untrimmed"), "Unknown");
    EXPECT_TRUE(m_diagnostics.MonitorHas("Get cable firmware version failed."));
    EXPECT_EQ(Value("HLX_SerialNum"), "HLX0042");
}

// ---------------------------------------------------------------------------------------------
// SetReleaseIds: the serial number

TEST_F(HlxTest, UnusableSerialNumberLeavesThePublishedValue) {
    const auto kind = SubRequestKind::VsiGetSerialNumber;
    for (const Reply& serial : {Reply::Text(""), Reply::Text("UNKNOWN"), Reply::Error(8)}) {
        SCOPED_TRACE(serial.bytes);
        ScriptDevice(comms);
        comms.Answer(kind, kReqSerial, serial);
        frame.Store().SetValue("HLX_SerialNum", "PREVIOUS", 512);
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(Value("HLX_SerialNum"), "PREVIOUS");
        EXPECT_EQ(Value("HLX_Release"), "R0.6.2");
    }
    EXPECT_EQ(ReadFile(ListFile()), "PREVIOUS,R0.6.2,R1.4,ER12\r\n");

    // Only exactly "UNKNOWN" is unusable.
    comms.Answer(kind, kReqSerial, Reply::Text("unknown"));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_SerialNum"), "unknown");
}

TEST_F(HlxTest, UntrimmableLoadedCodeReleaseSkipsTheSerialNumber) {
    for (const char* release : {"V1.2.3", "KLEM_12345_X3"}) {
        SCOPED_TRACE(release);
        comms.ClearRecords();
        ScriptDevice(comms);
        comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqLoadedCode, Reply::Text(release));
        frame.Store().SetValue("HLX_SerialNum", "PREVIOUS", 512);
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(Types(comms.Requests()),
                  (std::vector<int>{kReqLoadedCode, kReqProm, kReqBootstrap, kReqCpld, kReqCable}));
        EXPECT_EQ(Value("HLX_SerialNum"), "Unknown");
        EXPECT_EQ(Value("HLX_Release"), release);
        EXPECT_EQ(Value("HLX_Release_Untrimmed"), release);
        EXPECT_EQ(comms.Calls().back(), "Disconnect");
    }
}

// ---------------------------------------------------------------------------------------------
// TrimReleaseId and StoreValue

TEST_F(HlxTest, TrimReleaseIdKeepsTheReleaseAfterTheLastUnderscore) {
    struct Case {
        const char* text;
        const char* trimmed;
        bool result;
    };
    const Case cases[] = {
        {"KLEM_12345_R0.6.2", "R0.6.2", true},
        {"KLEM_BOOT_ER12", "ER12", true},
        {"KLEM_R7", "R7", true},
        {"KLEM_A_B_R1", "R1", true},
        {"XKLEM_1_R2", "R2", true},
        {"KLEM_12345_X3", "KLEM_12345_X3", false},
        {"XY_R5", "XY_R5", false},
        {"R0.6.2", "R0.6.2", false},
        {"klem_1_R1", "klem_1_R1", false},
        {"KLEM_1_r1", "KLEM_1_r1", false},
        {"KLEM_1_er1", "KLEM_1_er1", false},
        {"KLEM_R1_X2", "KLEM_R1_X2", false},
        {"", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CString trimmed = "stale";
        EXPECT_EQ(hlx.TrimReleaseId(c.text, trimmed), c.result);
        EXPECT_EQ(trimmed, c.trimmed);
    }
}

TEST_F(HlxTest, StoreValueTrimsThroughTheBaseClass) {
    CGatewayUtils& device = hlx;
    EXPECT_TRUE(device.StoreValue("A", "KLEM_1_R2", true));
    EXPECT_EQ(Value("A"), "R2");
    EXPECT_FALSE(device.StoreValue("B", "KLEM_1_R2", false));
    EXPECT_EQ(Value("B"), "KLEM_1_R2");
    EXPECT_FALSE(device.StoreValue("C", "XY_R5", true));
    EXPECT_EQ(Value("C"), "XY_R5");
}

// ---------------------------------------------------------------------------------------------
// Names, code types and the custom CPLD

TEST_F(HlxTest, ValueAndFileNamesPerCodeType) {
    for (int code = LC_CODE; code <= MAC_CODE; ++code) {
        const auto type = static_cast<CODETYPE>(code);
        EXPECT_EQ(hlx.GetReleaseValueName(type), kReleaseNames[code]);
        EXPECT_EQ(hlx.GetUntrimmedReleaseValueName(type), kUntrimmedNames[code]);
        EXPECT_EQ(hlx.GetFilename(type, true), std::string("HLX_") + kCodeFiles[code] + ".rel");
        EXPECT_EQ(hlx.GetFilename(type, false), std::string("HLX_") + kCodeFiles[code] + ".bin");
        EXPECT_TRUE(hlx.SupportsCodeType(type));
        EXPECT_EQ(hlx.GetActiveCableFirmwareFilename(type), "");
    }
    EXPECT_TRUE(m_diagnostics.Errors().empty());
    EXPECT_FALSE(hlx.SupportsCodeType(kBadCode));
    EXPECT_FALSE(hlx.SupportsCodeType(static_cast<CODETYPE>(-1)));
}

TEST_F(HlxTest, UnsupportedCodeTypeLogsTheSourceLine) {
    const auto expectErrors = [this](const std::vector<std::string>& lines, size_t from) {
        const auto errors = m_diagnostics.Errors();
        ASSERT_EQ(errors.size(), from + lines.size());
        EXPECT_EQ(std::vector<std::string>(errors.begin() + static_cast<long>(from), errors.end()),
                  lines);
    };
    EXPECT_EQ(hlx.GetReleaseValueName(kBadCode), "");
    expectErrors({".\\HLXUtils(491)"}, 0);
    EXPECT_EQ(hlx.GetUntrimmedReleaseValueName(kBadCode), "");
    expectErrors({".\\HLXUtils(529)"}, 1);
    EXPECT_EQ(hlx.GetFilename(kBadCode, true), "");
    expectErrors({".\\HLXUtils(317)"}, 2);
    EXPECT_FALSE(hlx.RenameFile(kBadCode, false));
    expectErrors({".\\HLXUtils(144)", ".\\HLXUtils(317)", ".\\HLXUtils(317)"}, 3);
}

TEST_F(HlxTest, HasCustomCpldReadsTheUntrimmedCpldValue) {
    EXPECT_TRUE(hlx.HasCustomCPLD());  // never set: empty counts as custom
    auto& store = frame.Store();
    for (const char* standard : {"STANDARD BEXA CPLD", "Unknown", "NotConnected"}) {
        store.SetValue("HLX_CPLD_Release_Untrimmed", standard, 512);
        EXPECT_FALSE(hlx.HasCustomCPLD()) << standard;
    }
    for (const char* custom : {"R7", "standard bexa cpld", "UNKNOWN", ""}) {
        store.SetValue("HLX_CPLD_Release_Untrimmed", custom, 512);
        EXPECT_TRUE(hlx.HasCustomCPLD()) << custom;
    }
    store.SetValue("HLX_CPLD_Release", "STANDARD BEXA CPLD", 512);  // the trimmed name is not read
    EXPECT_TRUE(hlx.HasCustomCPLD());
}

TEST_F(HlxTest, CustomCpldFileNameAndVersionFromFile) {
    EXPECT_EQ(hlx.GetCustomCPLDFileName(), "");
    hlx.SetCustomCPLDFileName("HLX_CUSTOM.cpld");
    EXPECT_EQ(hlx.GetCustomCPLDFileName(), "HLX_CUSTOM.cpld");

    WriteRelease("HLX_LC.rel", "KLEM_1_R9.1");
    CString version;
    EXPECT_TRUE(hlx.GetVersionFromFile("HLX_LC.rel", version));
    EXPECT_EQ(version, "KLEM_1_R9.1");
    EXPECT_FALSE(hlx.GetVersionFromFile("HLX_PROM.rel", version));
}

// ---------------------------------------------------------------------------------------------
// Updates

class HlxUpdateTest : public HlxTest {
protected:
    void WriteAllReleases() const {
        for (const char* code : kCodeFiles) {
            WriteRelease(std::string("HLX_") + code + ".rel", std::string("KLEM_") + code + "_R2");
        }
    }
    bool Moved(const char* code) const {
        const fs::path bin = Firmware() / (std::string("HLX_") + code + ".bin");
        return !fs::exists(Firmware() / (std::string("HLX_") + code + ".rel")) && fs::exists(bin) &&
               ReadFile(bin).rfind(std::string("Release-Id: KLEM_") + code + "_R2", 0) == 0;
    }
    void ExpectUpdateAndReset() const {
        const auto requests = comms.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].kind, SubRequestKind::VsiGetSerialNumber);
        EXPECT_EQ(requests[0].requestType, kReqUpdate);
        EXPECT_EQ(requests[0].flags, 0);
        EXPECT_EQ(requests[0].length, 1);
        EXPECT_EQ(requests[0].timeoutMs, 20000);
        EXPECT_EQ(requests[1].kind, SubRequestKind::VsiReset);
        EXPECT_EQ(requests[1].requestType, kReqReset);
        EXPECT_EQ(requests[1].timeoutMs, 10000);
        EXPECT_EQ(comms.Calls(), (std::vector<std::string>{"Execute", "Execute"}));
    }
};

TEST_F(HlxUpdateTest, UpdateBcfMovesOnlyTheLoadedCode) {
    WriteAllReleases();
    EXPECT_TRUE(hlx.UpdateBCF());
    EXPECT_TRUE(Moved("LC"));
    for (const char* code : {"PROM", "BOOT", "CPLD", "MAC"}) {
        EXPECT_TRUE(fs::exists(Firmware() / (std::string("HLX_") + code + ".rel"))) << code;
        EXPECT_FALSE(fs::exists(Firmware() / (std::string("HLX_") + code + ".bin"))) << code;
    }
    EXPECT_EQ(RenameLines(m_diagnostics.Monitor()).size(), 1u);
    ExpectUpdateAndReset();
}

TEST_F(HlxUpdateTest, OtherUpdatesMoveTheirOwnCodeTypeThenTheLoadedCode) {
    struct Update {
        bool (CHLXUtils::*operation)();
        const char* code;
    };
    const Update updates[] = {{&CHLXUtils::UpdatePROM, "PROM"},
                              {&CHLXUtils::UpdateBootstrap, "BOOT"},
                              {&CHLXUtils::UpdateCPLD, "CPLD"},
                              {&CHLXUtils::UpdateMACFirmware, "MAC"}};
    for (const Update& update : updates) {
        SCOPED_TRACE(update.code);
        for (const auto& entry : fs::directory_iterator(Firmware())) {
            fs::remove(entry.path());
        }
        WriteAllReleases();
        comms.ClearRecords();
        const size_t before = m_diagnostics.Monitor().size();

        EXPECT_TRUE((hlx.*update.operation)());
        EXPECT_TRUE(Moved(update.code));
        EXPECT_TRUE(Moved("LC"));
        const auto monitor = m_diagnostics.Monitor();
        const auto renames = RenameLines(
            std::vector<std::string>(monitor.begin() + static_cast<long>(before), monitor.end()));
        ASSERT_EQ(renames.size(), 2u);
        EXPECT_NE(renames[0].find(std::string("HLX_") + update.code + ".rel"), std::string::npos);
        EXPECT_NE(renames[1].find("HLX_LC.rel"), std::string::npos);
        ExpectUpdateAndReset();
    }
}

TEST_F(HlxUpdateTest, MissingReleaseFileDoesNotStopTheUpdate) {
    CGatewayUtils& device = hlx;  // the family's updates replace the base defaults
    EXPECT_TRUE(device.UpdateMACFirmware());
    EXPECT_FALSE(fs::exists(Firmware() / "HLX_MAC.bin"));
    ExpectUpdateAndReset();
}

TEST_F(HlxUpdateTest, ExceptionOnUpdateCommandOrResetFails) {
    comms.AnswerAt(0, Reply::Throw(4));
    EXPECT_FALSE(hlx.UpdatePROM());
    ASSERT_EQ(comms.Requests().size(), 1u);  // no reset after a failed update command
    EXPECT_EQ(comms.Requests()[0].requestType, kReqUpdate);

    ScriptedComms resetFails;
    CHLXUtils device(&resetFails, &frame);
    resetFails.AnswerAt(1, Reply::Throw(4));
    EXPECT_FALSE(device.UpdateBCF());
    ASSERT_EQ(resetFails.Requests().size(), 2u);
    EXPECT_EQ(resetFails.Requests()[1].kind, SubRequestKind::VsiReset);
}

TEST_F(HlxUpdateTest, ActiveCableFirmwareSendsTheHexImagePath) {
    comms.Answer(SubRequestKind::VsiGetSerialNumber, kReqCableUpdate, Reply::Error(7));
    hlx.UpdateActiveCableFirmware();
    const std::string path = (Firmware() / "HLX_MAC.hex").string();
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, SubRequestKind::VsiGetSerialNumber);
    EXPECT_EQ(requests[0].requestType, kReqCableUpdate);
    EXPECT_EQ(requests[0].flags, 0);
    EXPECT_EQ(requests[0].length, static_cast<int>(path.size()) + 1);
    EXPECT_EQ(requests[0].data, path + std::string(1, '\0'));
    EXPECT_EQ(requests[0].timeoutMs, 30000);
    EXPECT_TRUE(m_diagnostics.MonitorHas("Update Torvi firmware: " + path));
    EXPECT_TRUE(m_diagnostics.MonitorHas("Firmware update result: 7"));
}

TEST_F(HlxUpdateTest, ActiveCableFirmwareSwallowsCommsException) {
    comms.AnswerAt(0, Reply::Throw(9));
    EXPECT_NO_THROW(hlx.UpdateActiveCableFirmware());
    EXPECT_EQ(comms.Requests().size(), 1u);
    EXPECT_FALSE(m_diagnostics.MonitorHas("Firmware update result"));
}

// ---------------------------------------------------------------------------------------------
// SendDeviceString

TEST_F(HlxTest, SendDeviceStringSendsAtMost127Characters) {
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    hlx.SendDeviceString(text);
    hlx.SendDeviceString("HELLO");
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const RecordedRequest& request : requests) {
        EXPECT_EQ(request.kind, SubRequestKind::VsiGetSerialNumber);
        EXPECT_EQ(request.requestType, kReqDeviceString);
        EXPECT_EQ(request.flags, 0);
        EXPECT_EQ(request.length, 128);
        EXPECT_EQ(request.timeoutMs, 10000);
    }
    EXPECT_EQ(requests[0].data, text.substr(0, 127) + std::string(1, '\0'));
    EXPECT_EQ(requests[1].data, "HELLO" + std::string(123, '\0'));

    comms.AnswerAt(2, Reply::Throw(1));
    EXPECT_THROW(hlx.SendDeviceString("X"), CBaseCommsException);
}

// ---------------------------------------------------------------------------------------------
// FileExists and ReleaseFileExists on the firmware folder

TEST_F(HlxTest, FileExistsLooksInTheFirmwareFolder) {
    EXPECT_FALSE(hlx.ReleaseFileExists());
    EXPECT_FALSE(hlx.FileExists("HLX_*.rel"));
    WriteRelease("HLX_LC.bin", "KLEM_1_R1");
    fs::create_directories(Firmware() / "HLX_Folder");

    EXPECT_TRUE(hlx.ReleaseFileExists());  // the loaded-code device-load file
    EXPECT_TRUE(hlx.FileExists("HLX_LC.bin"));
    EXPECT_FALSE(hlx.FileExists("HLX_PROM.bin"));
    EXPECT_TRUE(hlx.FileExists("HLX_Folder"));
    EXPECT_FALSE(hlx.FileExists("HLX_*.rel"));
    WriteRelease("HLX_CPLD.rel", "KLEM_C_R1");
    EXPECT_TRUE(hlx.FileExists("HLX_*.rel"));
}

}  // namespace

// Unit tests of the communication-module device class CHLXUtils: release reading against the
// scripted connection, release-id trimming, value names, the updates and the device string.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "devices/CHLXUtils.h"
#include "host/MemoryValueStore.h"
#include "platform/ValueStore.h"
#include "testsupport/Fixtures.h"
#include "testsupport/ScriptedComms.h"

namespace {

namespace fs = std::filesystem;
using gwu::test::RecordedRequest;
using gwu::test::Reply;
using gwu::test::ScriptedComms;
using Lines = std::vector<std::string>;

constexpr auto kTransfer = SubRequestKind::VsiGetSerialNumber;
constexpr int kReqLoadedCode = 0x20000000;
constexpr int kReqProm = 0x10000000;
constexpr int kReqBootstrap = 0x01000000;
constexpr int kReqCpld = 0x00000800;
constexpr int kReqCable = 0x00000200;
constexpr int kReqSerial = static_cast<int>(0x80000000u);

constexpr const char* kStandardCpld = "STANDARD BEXA CPLD";

// Every published name, in the order a placeholder is published under them.
const Lines kPlaceholderOrder = {"HLX_SerialNum",
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

// Each request as "<T(ransfer) or R(eset)> <request type> <length> <timeout>", with " flags <n>"
// added for flags other than 0.
Lines Sent(const ScriptedComms& connection) {
    Lines sent;
    for (const RecordedRequest& r : connection.Requests()) {
        char line[64];
        std::snprintf(line, sizeof line, "%s %x %d %d", r.kind == kTransfer ? "T" : "R",
                      static_cast<unsigned>(r.requestType), r.length, r.timeoutMs);
        sent.push_back(line + (r.flags != 0 ? " flags " + std::to_string(r.flags) : ""));
    }
    return sent;
}

// The stand-in value store that also keeps the order in which names were published.
class RecordingFrame : public CTabQuillonFrame, public gwu::host::ValueStore {
public:
    CTabValueStore& GetValueStore() override { return *this; }
    bool SetValue(const CString& name, const CString& value, int maxLength) override {
        published.push_back(name);
        return ValueStore::SetValue(name, value, maxLength);
    }
    std::string Value(const std::string& name) const {
        CString value;
        GetValue(name, &value, kMaxLength);
        return value;
    }
    // The values under every name, in placeholder order.
    Lines Values() const {
        Lines values;
        for (const std::string& name : kPlaceholderOrder) {
            values.push_back(Value(name));
        }
        return values;
    }
    Lines published;
};

// A device object on its own connection, which answers every reading request (the CPLD with
// revision 7), and its own value store.
struct Bench {
    Bench() {
        comms.Answer(kTransfer, kReqLoadedCode, Reply::Text("KLEM_12345_R0.6.2"));
        comms.Answer(kTransfer, kReqProm, Reply::Text("KLEM_PROM_R1.4"));
        comms.Answer(kTransfer, kReqBootstrap, Reply::Text("KLEM_BOOT_ER12"));
        comms.Answer(kTransfer, kReqCpld, Reply::Value32(7));
        comms.Answer(kTransfer, kReqCable, Reply::Text("KLEM_MAC_R3.1"));  // published untrimmed
        comms.Answer(kTransfer, kReqSerial, Reply::Text("HLX0042"));
    }
    ScriptedComms comms;
    RecordingFrame frame;
    CHLXUtils hlx{&comms, &frame};
};

class HlxTest : public gwu::test::FolderFixture {
protected:
    std::string Value(const std::string& name) const { return bench.frame.Value(name); }
    fs::path ListFile() const { return Logs() / "HLX_Serial_Nums.txt"; }
    // The monitor lines after the first `from` that hold the text.
    Lines MonitorAfter(size_t from, const std::string& text) const {
        const Lines monitor = m_diagnostics.Monitor();
        Lines found;
        std::copy_if(monitor.begin() + static_cast<long>(from), monitor.end(),
                     std::back_inserter(found),
                     [&](const std::string& line) { return line.find(text) != line.npos; });
        return found;
    }

    Bench bench;
    ScriptedComms& comms = bench.comms;
    CHLXUtils& hlx = bench.hlx;
};

// Release reading

TEST_F(HlxTest, ReadingSendsTheRequestsInOrderAndPublishesAllValues) {
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Sent(comms),
              (Lines{"T 20000000 128 10000", "T 10000000 128 10000", "T 1000000 128 10000",
                     "T 800 4 10000", "T 200 128 10000", "T 80000000 128 10000"}));
    EXPECT_EQ(comms.Calls(), (Lines{"Connect", "Execute", "Execute", "Execute", "Execute",
                                    "Execute", "Execute", "Disconnect"}));
    EXPECT_EQ(bench.frame.Values(),
              (Lines{"HLX0042", "R0.6.2", "R1.4", "KLEM_12345_R0.6.2", "KLEM_PROM_R1.4", "ER12",
                     "KLEM_BOOT_ER12", "R7", "R7", "KLEM_MAC_R3.1", "KLEM_MAC_R3.1"}));
    EXPECT_TRUE(m_diagnostics.MonitorHas("CPLD REV:0x00000007 VSI:0x00000000"));
    EXPECT_EQ(ReadFile(ListFile()), "HLX0042,R0.6.2,R1.4,ER12\r\n");
}

// Nothing read gives NotConnected under every name, a failed reading Unknown; neither is
// recorded in the serial-number list.
TEST_F(HlxTest, PlaceholdersWhenTheReadingGivesNothing) {
    const auto noConnection = [](ScriptedComms& c) { c.SetConnectResult(false); };
    const auto loadedCodeFails = [](ScriptedComms& c) {
        c.Answer(kTransfer, kReqLoadedCode, Reply::Error(3));
    };
    const auto connectThrows = [](ScriptedComms& c) { c.ThrowOnConnect(5); };
    const std::tuple<bool, std::function<void(ScriptedComms&)>, Lines, const char*> cases[] = {
        {false, [](ScriptedComms&) {}, {}, "NotConnected"},
        {true, noConnection, {"Connect", "Disconnect"}, "NotConnected"},
        {true, loadedCodeFails, {"Connect", "Execute", "Disconnect"}, "Unknown"},
        {true, connectThrows, {"Connect"}, "Unknown"}};
    for (const auto& [readDevice, script, calls, placeholder] : cases) {
        SCOPED_TRACE(::testing::PrintToString(calls));
        Bench local;
        script(local.comms);
        EXPECT_FALSE(local.hlx.SetReleaseIds(readDevice));
        EXPECT_EQ(local.comms.Calls(), calls);
        EXPECT_EQ(local.frame.published, kPlaceholderOrder);
        EXPECT_EQ(local.frame.Values(), Lines(kPlaceholderOrder.size(), placeholder));
    }
    EXPECT_FALSE(fs::exists(ListFile()));
}

// An exception at each position of the longer request sequence, the one with the extra
// bootstrap read of a CPLD error other than 0, 1 and 4 (the fault matrix runs the usual one).
TEST_F(HlxTest, ExceptionAtEveryRequestGivesUnknownAndResultByReadDone) {
    for (size_t position = 0; position < 7; ++position) {
        SCOPED_TRACE(position);
        fs::remove(ListFile());
        Bench local;
        local.comms.Answer(kTransfer, kReqCpld, Reply::Error(2));
        local.comms.AnswerAt(position, Reply::Throw(11));
        const bool readDone = position >= 2;  // the PROM read (position 1) had completed
        EXPECT_EQ(local.hlx.SetReleaseIds(true), readDone);
        EXPECT_EQ(local.comms.Requests().size(), position + 1);
        EXPECT_EQ(local.comms.Calls().back(), "Execute");  // no Disconnect after it
        EXPECT_EQ(local.frame.Values(), Lines(kPlaceholderOrder.size(), "Unknown"));
        EXPECT_EQ(ReadFile(ListFile()), readDone ? "Unknown,Unknown,Unknown,Unknown\r\n" : "");
    }
}

// Errors 1 and 4 mean a standard CPLD, 0 a revision (of exactly four bytes); any other error is
// decided by one more bootstrap read, whose value is not published.
TEST_F(HlxTest, CpldRevisionOrStandardCpld) {
    Reply otherError = Reply::Value32(9);
    otherError.error = 0xab;
    const std::tuple<Reply, std::optional<Reply>, const char*> cases[] = {
        {Reply::Value32(0xDEADBEEFu), {}, "R3735928559"},
        {Reply::Text(std::string("\x07\x00\x00", 3)), {}, "R0"},
        {Reply::Error(1), {}, kStandardCpld},
        {Reply::Error(4), {}, kStandardCpld},
        {otherError, {}, "R0"},
        {otherError, Reply::Error(6), kStandardCpld}};
    for (const auto& [cpld, extraRead, value] : cases) {
        SCOPED_TRACE(std::string(value) + " error " + std::to_string(cpld.error));
        Bench local;
        local.comms.Answer(kTransfer, kReqCpld, cpld);
        if (extraRead) {
            local.comms.AnswerAt(4, *extraRead);
        }
        EXPECT_TRUE(local.hlx.SetReleaseIds(true));
        const auto requests = local.comms.Requests();
        const bool extra = cpld.error != 0 && cpld.error != 1 && cpld.error != 4;
        ASSERT_EQ(requests.size(), extra ? 7u : 6u);
        EXPECT_EQ(requests[4].requestType, extra ? kReqBootstrap : kReqCable);
        EXPECT_EQ(local.frame.Value("HLX_CPLD_Release"), value);
        EXPECT_EQ(local.frame.Value("HLX_CPLD_Release_Untrimmed"), value);
        EXPECT_EQ(local.frame.Value("HLX_Bootstrap_Release"), "ER12");
    }
    EXPECT_TRUE(m_diagnostics.MonitorHas("CPLD REV:0x00000000 VSI:0x000000ab"));
}

// A reply's text ends at its length or at its first zero byte. A failed request, or a reply that
// leaves no room for a terminator or claims a length outside the buffer, gives an empty text;
// the reading goes on. A failed cable firmware read gives Unknown.
TEST_F(HlxTest, TextReplyStaysInsideTheBuffer) {
    const std::pair<Reply, std::string> cases[] = {
        {Reply::Text(std::string(127, 'P')), std::string(127, 'P')},
        {Reply{"ABCDEFGH", 0, 3, {}}, "ABC"},
        {Reply::Text(std::string("AB\0CD", 5)), "AB"},
        {Reply::Text(std::string(128, 'P')), ""},
        {Reply{"KLEM_PROM_R2", 0, 500, {}}, ""},
        {Reply{"KLEM_PROM_R2", 0, -3, {}}, ""},
        {Reply{"KLEM_PROM_R2", 3, {}, {}}, ""}};
    for (const auto& [reply, text] : cases) {
        SCOPED_TRACE(reply.bytes.substr(0, 12) + " " + std::to_string(reply.length.value_or(0)));
        comms.ClearRecords();
        comms.Answer(kTransfer, kReqProm, reply);
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(comms.Requests().size(), 6u);
        EXPECT_EQ(Value("HLX_PROM_Release_Untrimmed"), text);
        EXPECT_EQ(Value("HLX_SerialNum"), "HLX0042");
    }
    comms.Answer(kTransfer, kReqCable, Reply::Error(2));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release"), "Unknown");
    EXPECT_EQ(Value("HLX_MAC_Firmware_Release_Untrimmed"), "Unknown");
    EXPECT_TRUE(m_diagnostics.MonitorHas("Get cable firmware version failed."));
}

// A usable serial number is read only after a loaded-code release that trims; an unusable one
// leaves the published value as it was.
TEST_F(HlxTest, SerialNumber) {
    for (const Reply& serial : {Reply::Text(""), Reply::Text("UNKNOWN"), Reply::Error(8)}) {
        comms.Answer(kTransfer, kReqSerial, serial);
        bench.frame.SetValue("HLX_SerialNum", "PREVIOUS", 512);
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(Value("HLX_SerialNum"), "PREVIOUS") << serial.bytes;
    }
    EXPECT_EQ(ReadFile(ListFile()), "PREVIOUS,R0.6.2,R1.4,ER12\r\n");
    for (const char* release : {"V1.2.3", "KLEM_12345_X3"}) {
        SCOPED_TRACE(release);
        comms.ClearRecords();
        comms.Answer(kTransfer, kReqLoadedCode, Reply::Text(release));
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(comms.Requests().back().requestType, kReqCable);  // not asked for
        EXPECT_EQ(Value("HLX_SerialNum"), "Unknown");
        EXPECT_EQ(Value("HLX_Release"), release);
        EXPECT_EQ(comms.Calls().back(), "Disconnect");
    }
}

// Trimming, names and files

// The text after the last underscore of a text holding "KLEM_", when it starts with R or ER;
// otherwise (null here) false, and the text itself.
TEST_F(HlxTest, TrimReleaseIdKeepsTheReleaseAfterTheLastUnderscore) {
    const std::pair<const char*, const char*> cases[] = {
        {"KLEM_12345_R0.6.2", "R0.6.2"}, {"KLEM_BOOT_ER12", "ER12"}, {"XKLEM_A_B_R1", "R1"},
        {"KLEM_12345_X3", nullptr},      {"XY_R5", nullptr},         {"klem_1_R1", nullptr},
        {"KLEM_1_er1", nullptr},         {"KLEM_R1_X2", nullptr},
    };
    for (const auto& [text, release] : cases) {
        CString trimmed = "stale";
        EXPECT_EQ(hlx.TrimReleaseId(text, trimmed), release != nullptr) << text;
        EXPECT_EQ(trimmed, release != nullptr ? release : text);
    }
}

TEST_F(HlxTest, NamesFilesAndTheCustomCpld) {
    const std::string names[] = {"HLX_Release", "HLX_PROM_Release", "HLX_Bootstrap_Release",
                                 "HLX_CPLD_Release", "HLX_MAC_Firmware_Release"};
    for (const CODETYPE code : {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE}) {
        EXPECT_TRUE(hlx.SupportsCodeType(code));
        EXPECT_EQ(hlx.GetReleaseValueName(code), names[code]);
        EXPECT_EQ(hlx.GetUntrimmedReleaseValueName(code), names[code] + "_Untrimmed");
    }
    EXPECT_TRUE(m_diagnostics.Errors().empty());
    const auto bad = static_cast<CODETYPE>(5);
    EXPECT_FALSE(hlx.SupportsCodeType(static_cast<CODETYPE>(-1)));
    EXPECT_EQ(hlx.GetReleaseValueName(bad), "");
    EXPECT_EQ(hlx.GetUntrimmedReleaseValueName(bad), "");
    EXPECT_FALSE(hlx.RenameFile(bad, false));
    EXPECT_EQ(m_diagnostics.Errors(),
              (Lines{".\\HLXUtils(491)", ".\\HLXUtils(529)", ".\\HLXUtils(144)", ".\\HLXUtils(317)",
                     ".\\HLXUtils(317)"}));
    WriteRelease("HLX_LC.rel", "KLEM_1_R1");
    EXPECT_FALSE(hlx.ReleaseFileExists());  // that is the loaded code's device-load file
    WriteRelease("HLX_LC.bin", "KLEM_1_R1");
    EXPECT_TRUE(hlx.ReleaseFileExists());
    // A custom CPLD is whatever the untrimmed CPLD value holds but the standard text and the
    // placeholders.
    for (const char* standard : {kStandardCpld, "Unknown", "NotConnected"}) {
        bench.frame.SetValue("HLX_CPLD_Release_Untrimmed", standard, 512);
        EXPECT_FALSE(hlx.HasCustomCPLD()) << standard;
    }
    bench.frame.SetValue("HLX_CPLD_Release", "R7", 512);  // the trimmed name is not read
    for (const char* custom : {"R7", "standard bexa cpld", "UNKNOWN"}) {
        bench.frame.SetValue("HLX_CPLD_Release_Untrimmed", custom, 512);
        EXPECT_TRUE(hlx.HasCustomCPLD()) << custom;
    }
}

// Updates and device commands

const Lines kUpdateAndReset = {"T 400000 1 20000", "R 80000000 0 10000"};

// Each update moves its own release into place, then the loaded code's, then restarts.
TEST_F(HlxTest, UpdateMovesItsReleaseThenTheLoadedCodeAndRestarts) {
    const std::pair<bool (CHLXUtils::*)(), std::string> updates[] = {
        {&CHLXUtils::UpdateBCF, "LC"},
        {&CHLXUtils::UpdatePROM, "PROM"},
        {&CHLXUtils::UpdateBootstrap, "BOOT"},
        {&CHLXUtils::UpdateCPLD, "CPLD"},
        {&CHLXUtils::UpdateMACFirmware, "MAC"}};
    const auto moved = [](const std::string& code) {
        return "RenameGatewayFile: HLX_" + code + ".rel placed as HLX_" + code + ".bin: done";
    };
    for (const auto& [operation, code] : updates) {
        for (const char* release : {"LC", "PROM", "BOOT", "CPLD", "MAC"}) {
            WriteRelease("HLX_" + std::string(release) + ".rel", "KLEM_R2");
        }
        comms.ClearRecords();
        const size_t monitorBefore = m_diagnostics.Monitor().size();
        EXPECT_TRUE((hlx.*operation)()) << code;
        Lines expected{moved(code)};
        if (code != "LC") {
            expected.push_back(moved("LC"));
        }
        EXPECT_EQ(MonitorAfter(monitorBefore, "RenameGatewayFile:"), expected);
        EXPECT_EQ(Sent(comms), kUpdateAndReset) << code;
    }
}

TEST_F(HlxTest, OnlyACommsExceptionFailsTheUpdate) {
    CGatewayUtils& device = hlx;              // the family's updates replace the base defaults
    EXPECT_TRUE(device.UpdateMACFirmware());  // with no release files at all
    EXPECT_EQ(Sent(comms), kUpdateAndReset);
    ScriptedComms updateFails;
    CHLXUtils first(&updateFails, &bench.frame);
    updateFails.AnswerAt(0, Reply::Throw(4));
    EXPECT_FALSE(first.UpdatePROM());
    EXPECT_EQ(Sent(updateFails), Lines{kUpdateAndReset[0]});  // no reset
    ScriptedComms resetFails;
    CHLXUtils second(&resetFails, &bench.frame);
    resetFails.AnswerAt(1, Reply::Throw(4));
    EXPECT_FALSE(second.UpdateBCF());
    EXPECT_EQ(Sent(resetFails), kUpdateAndReset);
}

TEST_F(HlxTest, ActiveCableFirmwareSendsTheHexImagePath) {
    comms.Answer(kTransfer, 0x400, Reply::Error(7));
    hlx.UpdateActiveCableFirmware();
    const std::string path = (Firmware() / "HLX_MAC.hex").string();
    EXPECT_EQ(Sent(comms), Lines{"T 400 " + std::to_string(path.size() + 1) + " 30000"});
    EXPECT_EQ(comms.Requests()[0].data, path + std::string(1, '\0'));
    EXPECT_TRUE(m_diagnostics.MonitorHas("Update Torvi firmware: " + path));
    EXPECT_TRUE(m_diagnostics.MonitorHas("Firmware update result: 7"));
    // A comms failure ends it quietly.
    comms.AnswerAt(1, Reply::Throw(9));
    const size_t monitorBefore = m_diagnostics.Monitor().size();
    EXPECT_NO_THROW(hlx.UpdateActiveCableFirmware());
    EXPECT_EQ(comms.Requests().size(), 2u);
    EXPECT_TRUE(MonitorAfter(monitorBefore, "Firmware update result").empty());
}

TEST_F(HlxTest, SendDeviceStringSendsAtMost127Characters) {
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    hlx.SendDeviceString(text);
    hlx.SendDeviceString("HELLO");
    EXPECT_EQ(Sent(comms), Lines(2, "T 8000 128 10000"));
    EXPECT_EQ(comms.Requests()[0].data, text.substr(0, 127) + std::string(1, '\0'));
    EXPECT_EQ(comms.Requests()[1].data, "HELLO" + std::string(123, '\0'));
    comms.AnswerAt(2, Reply::Throw(1));
    EXPECT_THROW(hlx.SendDeviceString("X"), CBaseCommsException);
}

}  // namespace

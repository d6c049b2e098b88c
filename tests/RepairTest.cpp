// Unit tests of the serial-number repair: candidate matching and the whole repair against a
// modelled device and the scripted keyboard, the exact device traffic, the two device commands
// and their report lines, the report file, the host notification and the entry from the
// communication module's release reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "Engine.h"
#include "Fixtures.h"
#include "PopupDrivers.h"
#include "PopupLibrary.h"
#include "ScriptedComms.h"
#include "ValueStore.h"
#include "devices/CHLXUtils.h"
#include "dialogs/CUserEntry.h"
#include "repair/CDeployedUnitList.h"
#include "repair/CHLXSerialNumRepair.h"
#include "repair/RepairReport.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using host::PopupEvent;
using host::PopupOp;
using Lines = std::vector<std::string>;
using Notifications = std::vector<std::pair<bool, bool>>;

constexpr int kDeviceError = 5;
constexpr int kAttrText = 313;

// One identity item of the modelled device: the value in use and the stored copy; an item
// without a value cannot be read.
struct Item {
    std::optional<std::string> inUse;
    std::optional<std::string> stored;
};

Item Same(const std::string& value) {
    return Item{value, value};
}

// A communication module as the repair sees it. A write changes the value in use; a write
// carrying VSI_WRITE_TO_STORAGE then commits every value in use to storage. MAC addresses are
// always read from storage.
struct DeviceModel {
    Item serial;
    Item ethernet;
    Item usb;
    int writeError = 0;
    bool keepsWrites = true;

    std::optional<Reply> Answer(const RecordedRequest& request) {
        const bool ethernetFlag = (request.flags & VSI_ETHERNET_MAC) != 0;
        if (request.kind == SubRequestKind::VsiGetSerialNumber) {
            Item* item = nullptr;
            if (request.requestType == VSI_GET_CARD_SERIAL_NUM) {
                item = &serial;
            } else if (request.requestType == VSI_GET_MAC_ADDRESS) {
                item = ethernetFlag ? &ethernet : &usb;
            } else {
                return std::nullopt;  // the release requests have standing answers
            }
            const auto& value =
                (request.flags & VSI_READ_FROM_STORAGE) != 0 ? item->stored : item->inUse;
            return value ? Reply::Text(*value) : Reply::Error(kDeviceError);
        }
        if (request.kind != SubRequestKind::VsiSetSerialNumber) {
            return std::nullopt;
        }
        if (writeError != 0) {
            return Reply::Error(writeError);
        }
        if (keepsWrites) {
            Item& item = request.requestType == VSI_SET_CARD_SERIAL_NUM ? serial
                         : ethernetFlag                                 ? ethernet
                                                                        : usb;
            item.inUse = request.data;
            if ((request.flags & VSI_WRITE_TO_STORAGE) != 0) {
                for (Item* each : {&serial, &ethernet, &usb}) {
                    each->stored = each->inUse;
                }
            }
        }
        return Reply::Text("");
    }
};

// "get 0x80000000 0x0 16 10000" or "set 0x40000000 0x4000000 8 30000 HX100001".
std::string Describe(const RecordedRequest& request) {
    const bool write = request.kind == SubRequestKind::VsiSetSerialNumber;
    char head[96];
    std::snprintf(head, sizeof head, "%s 0x%x 0x%x %d %d", write ? "set" : "get",
                  static_cast<unsigned>(request.requestType), static_cast<unsigned>(request.flags),
                  request.length, request.timeoutMs);
    return write ? head + (" " + request.data) : std::string(head);
}

std::string Repeat(const std::string& item, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += item;
    }
    return text;
}

// The result popup as the trace describes it.
std::string Message(unsigned int stringId) {
    return "MessagePopup(0, \"\", \"" + QX_LoadString(stringId) + "\", 164, 34, 0, 0, 0)";
}

// Plays a key script and notes, at every request for input, how many busy notifications the
// engine has received by then.
class NotingDriver : public host::PopupDriver {
public:
    NotingDriver(std::vector<PopupEvent> events, const EE_CExecutionEngine& engine,
                 std::vector<size_t>& seen)
        : m_script(std::move(events)), m_engine(engine), m_seen(seen) {}
    std::optional<PopupEvent> NextEvent(const host::PopupView& view) override {
        m_seen.push_back(m_engine.busyNotifications.size());
        return m_script.NextEvent(view);
    }

private:
    host::ScriptDriver m_script;
    const EE_CExecutionEngine& m_engine;
    std::vector<size_t>& m_seen;
};

const std::string kRead = "get 0x80000000 0x0 16 10000";
const std::string kReadStored = "get 0x80000000 0x8000000 16 10000";
const std::string kReadEthernet = "get 0x20000 0x88000000 12 10000";
const std::string kReadUsb = "get 0x20000 0x48000000 12 10000";

class RepairTest : public FolderFixture {
protected:
    RepairTest() {
        comms.SetResponder(
            [this](const RecordedRequest& request) { return device.Answer(request); });
    }

    void SetUp() override {
        CHLXSerialNumRepair::ResetRepairCountForTesting();
        RepairReport::RestartForTesting(m_root.Str());
        ASSERT_TRUE(host::ResetPopupLibrary());
        host::SetPopupDriver(nullptr);
    }

    void TearDown() override {
        host::SetPopupDriver(nullptr);
        EXPECT_TRUE(host::ResetPopupLibrary());
        RepairReport::RestartForTesting("");
        CHLXSerialNumRepair::ResetRepairCountForTesting();
    }

    void WriteList(const std::string& entries) const {
        WriteFile(Runtime() / CDeployedUnitList::kFileName,
                  "; deployed units\r\n[HLXSerialNumbers]\r\n" + entries);
    }

    // Exactly one entry agrees with the device, which holds the entry's own MAC addresses.
    void SingleEntryDevice() {
        WriteList("HX100001,0123456789AB\r\nHX200001,0123456789AB\r\nHX100002,0123456789BB\r\n");
        device.serial = Same("HX10000\xC1");
        device.ethernet = Same("0123456789AB");
        device.usb = Same("0123456789AC");
    }

    // Two entries agree: the letters of the serial number and the MAC ends are damaged.
    void TwoCandidateDevice() {
        WriteList("hx100001,0050C2A10010\r\nHx100002,0050C2A10020\r\nHX200003,0050C2B10030\r\n");
        device.serial = Same("\xFF\xFF"s + "10000\xFF");
        device.ethernet = Same("0050C2A10\0\0\0"s);
        device.usb = Same("0050C2A10\0\0\0"s);
    }

    CommsCallback Forward() {
        return [this](CSubStream& command, int timeoutMs, bool, bool) {
            comms.ExecuteSubCommand(command, timeoutMs, 0);
            return 0;
        };
    }

    bool Run(EE_CExecutionEngine* pEngine = nullptr) {
        CHLXSerialNumRepair repair(pEngine, Forward());
        const bool result = repair.RepairSerialNumber();
        repaired = repair.GetRepairedSerialNum();
        return result;
    }

    static void Keys(const std::string& script) {
        std::string error;
        const auto events = host::ParseKeyScript(script, &error);
        ASSERT_TRUE(events.has_value()) << error;
        host::SetPopupDriver(std::make_unique<host::ScriptDriver>(*events));
    }

    Lines Requests() const {
        Lines described;
        for (const RecordedRequest& request : comms.Requests()) {
            described.push_back(Describe(request));
        }
        return described;
    }

    Lines Writes() const {
        Lines writes;
        for (const std::string& request : Requests()) {
            if (request.rfind("set ", 0) == 0) {
                writes.push_back(request);
            }
        }
        return writes;
    }

    // Starts another repair of the same test afresh: no records, popups or notifications, and
    // a device holding nothing.
    void Restart() {
        ASSERT_TRUE(host::ResetPopupLibrary());
        comms.ClearRecords();
        engine.busyNotifications.clear();
        device = DeviceModel{};
    }

    // What the user was shown, in order: the two prompts and the result popups.
    static Lines Shown() {
        const CUserEntry entry(nullptr, false);
        const std::string first = entry.BuildPrompt(CUserEntry::kFirstRequest);
        const std::string repeated = entry.BuildPrompt(CUserEntry::kRepeatedRequest);
        Lines shown;
        for (const auto& traced : host::PopupTrace()) {
            if (traced.op == PopupOp::MessagePopup) {
                const std::string line = traced.Describe();
                shown.push_back(line.substr(0, line.find(" -> ")));
                continue;
            }
            if (traced.op != PopupOp::NewWidget) {
                continue;
            }
            for (const auto& attribute : traced.attributes) {
                const auto* text = std::get_if<std::string>(&attribute.value);
                if (attribute.code == kAttrText && text != nullptr &&
                    (*text == first || *text == repeated)) {
                    shown.emplace_back(*text == first ? "first prompt" : "repeated prompt");
                }
            }
        }
        return shown;
    }

    fs::path ReportPath() const { return m_root.Path() / RepairReport::kFileName; }

    Lines ReportLines() const {
        const std::string text = ReadFile(ReportPath());
        Lines lines;
        size_t start = 0;
        for (size_t end = text.find("\r\n"); end != std::string::npos;
             start = end + 2, end = text.find("\r\n", start)) {
            lines.push_back(text.substr(start, end - start));
        }
        EXPECT_EQ(start, text.size()) << "a report line without CR LF";
        return lines;
    }

    std::string LastReportLine() const {
        const auto lines = ReportLines();
        return lines.empty() ? std::string() : lines.back();
    }

    bool ReportHas(const std::string& line) const {
        const Lines lines = ReportLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    DeviceModel device;
    ScriptedComms comms;
    EE_CExecutionEngine engine;
    CString repaired;
};

using RepairMatching = RepairTest;
using RepairRun = RepairTest;
using RepairDeviceCommands = RepairTest;
using RepairReportFile = RepairTest;
using RepairNotification = RepairTest;

// ---------------------------------------------------------------------------------------------
// Matching

TEST_F(RepairMatching, SingleAgreeingEntryIsTakenSilentlyEvenWhenWritesFail) {
    SingleEntryDevice();
    device.writeError = 3;
    EXPECT_TRUE(Run());
    EXPECT_EQ(repaired, "HX100001");
    EXPECT_TRUE(Shown().empty());
    // Nothing is read back after the write.
    EXPECT_EQ(Requests(),
              (Lines{kRead, kReadEthernet, kReadUsb, "set 0x40000000 0x4000000 8 30000 HX100001"}));
}

TEST_F(RepairMatching, TypedSerialNumberPicksOneOfTwoCandidatesInAnyCaseAndItsOwnMAC) {
    TwoCandidateDevice();
    Keys("HX100002<tick>");
    EXPECT_TRUE(Run());
    EXPECT_EQ(repaired, "HX100002");  // as typed, not as listed
    EXPECT_EQ(Shown(), (Lines{"first prompt", Message(1217)}));
    EXPECT_EQ(Requests(),
              (Lines{kRead, kReadEthernet, kReadUsb, "set 0x40000000 0x0 8 30000 HX100002",
                     "set 0x1000 0x80000000 12 30000 0050C2A10020",
                     "set 0x1000 0x44000000 12 30000 0050C2A10021", kRead, kReadStored,
                     kReadEthernet, kReadUsb}));
    EXPECT_EQ(device.serial.stored.value_or(""), "HX100002");
}

TEST_F(RepairMatching, RejectedFirstEntryIsAskedForAgain) {
    TwoCandidateDevice();
    Keys("HX9<tick>HX100001<tick>");
    EXPECT_TRUE(Run());
    EXPECT_EQ(repaired, "HX100001");
    EXPECT_EQ(Shown(), (Lines{"first prompt", "repeated prompt", Message(1217)}));
    EXPECT_EQ(device.ethernet.stored.value_or(""), "0050C2A10010");
    EXPECT_EQ(device.usb.stored.value_or(""), "0050C2A10011");
}

// The typed HX10001A is on the list but agrees with neither the device's serial number (a 0
// where the list has a 1) nor its MAC address: only the bitwise comparison can accept it.
TEST_F(RepairMatching, BitwiseFallbackAcceptsOnlyClearedBits) {
    struct Case {
        std::string deviceSerial;
        bool accepted;
    };
    for (const Case& c : {Case{"HX10000@", true}, Case{"HX10000C", false}}) {
        SCOPED_TRACE(c.deviceSerial);
        Restart();
        WriteList("HX10001A,0050C2A10010\r\nHX20000B,0050C2A10027\r\n");
        device.serial = Same(c.deviceSerial);
        device.ethernet = Same("0050C2A100\0"s + "7");
        device.usb = Same("0050C2A100\0"s + "8");
        Keys("HX10001A<tick>HX10001A<tick>");

        EXPECT_EQ(Run(), c.accepted);
        EXPECT_EQ(Shown(),
                  (Lines{"first prompt", "repeated prompt", Message(c.accepted ? 1217 : 1218)}));
        if (c.accepted) {
            EXPECT_EQ(Writes(), (Lines{"set 0x40000000 0x0 8 30000 HX10001A",
                                       "set 0x1000 0x80000000 12 30000 0050C2A10010",
                                       "set 0x1000 0x44000000 12 30000 0050C2A10011"}));
        } else {
            EXPECT_TRUE(Writes().empty());
        }
    }
}

TEST_F(RepairMatching, ListSerialNumberShorterThanTheDevicesIsNoPartialMatch) {
    WriteList("HX100001,0050C2A10010\r\nHX1000012,0050C2A10010\r\n");
    device.serial = Same(
        "HX10000\xFF"
        "2");
    device.ethernet = Same("0050C2A10010");
    device.usb = Same("0050C2A10011");
    EXPECT_TRUE(Run());
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(Writes(), (Lines{"set 0x40000000 0x4000000 9 30000 HX1000012"}));
}

// Leaving both prompts types nothing, and nothing names the entry whose serial number is empty.
TEST_F(RepairMatching, NoTypedSerialNumberFailsWithThePopup) {
    WriteList(",0050C2A10010\r\nHX100001,0050C2A10010\r\n");
    device.serial = Same("\xFF\xFF\xFF\xFF");
    device.ethernet = Same("0050C2A10010");
    device.usb = Same("0050C2A10011");
    Keys("<cross><cross>");
    EXPECT_FALSE(Run());
    EXPECT_EQ(repaired, "");
    EXPECT_EQ(Shown(), (Lines{"first prompt", "repeated prompt", Message(1218)}));
    EXPECT_TRUE(Writes().empty());
}

// ---------------------------------------------------------------------------------------------
// The repair: device traffic and outcomes

TEST_F(RepairRun, VerificationFailureShowsTheFailurePopup) {
    TwoCandidateDevice();
    device.keepsWrites = false;
    Keys("HX100002<tick>");
    EXPECT_FALSE(Run());
    EXPECT_EQ(Shown(), (Lines{"first prompt", Message(1218)}));
    EXPECT_EQ(Requests().size(), 10u);  // all four reads made, the comparison failed

    // A read that fails skips the later ones.
    Restart();
    TwoCandidateDevice();
    comms.AnswerAt(6, Reply::Error(kDeviceError));
    Keys("HX100002<tick>");
    EXPECT_FALSE(Run());
    EXPECT_EQ(Shown(), (Lines{"first prompt", Message(1218)}));
    EXPECT_EQ(Requests().size(), 7u);
    EXPECT_EQ(Requests().back(), kRead);
}

TEST_F(RepairRun, StoredSerialNumberStandsInForAnUnreadableOneInUse) {
    SingleEntryDevice();
    device.serial.inUse.reset();
    EXPECT_TRUE(Run());
    EXPECT_EQ(Requests(), (Lines{kRead, kReadStored, kReadEthernet, kReadUsb,
                                 "set 0x40000000 0x4000000 8 30000 HX100001"}));
    EXPECT_TRUE(ReportHas(
        "About to call GetPartialHLXData for VSI_GET_CARD_SERIAL_NUM flags VSI_READ_FROM_STORAGE"));
}

// Each MAC address is written only where it differs from what was read, and exactly the last
// write commits to storage.
TEST_F(RepairRun, WritesFollowWhatTheDeviceHolds) {
    struct Case {
        std::string listMac;
        std::string ethernet;
        std::string usb;
        Lines writes;
    };
    const std::string damaged = "0123456789\0\0"s;
    const std::string serialOnly = "set 0x40000000 0x0 8 30000 HX100001";
    const std::vector<Case> cases = {
        {"0123456789AB",
         "0123456789AB",
         "0123456789AC",
         {"set 0x40000000 0x4000000 8 30000 HX100001"}},
        {"0123456789AB",
         damaged,
         "0123456789AC",
         {serialOnly, "set 0x1000 0x84000000 12 30000 0123456789AB"}},
        {"0123456789AB",
         "0123456789AB",
         damaged,
         {serialOnly, "set 0x1000 0x44000000 12 30000 0123456789AC"}},
        {"0123456789AB",
         damaged,
         damaged,
         {serialOnly, "set 0x1000 0x80000000 12 30000 0123456789AB",
          "set 0x1000 0x44000000 12 30000 0123456789AC"}},
        // No hexadecimal carry: the USB address of a list MAC ending in 9 ends in ':'.
        {"0123456789A9",
         "0123456789A9",
         damaged,
         {serialOnly, "set 0x1000 0x44000000 12 30000 0123456789A:"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listMac + " " + std::to_string(&c - cases.data()));
        Restart();
        WriteList("HX100001," + c.listMac + "\r\n");
        device.serial = Same("HX100001");
        device.ethernet = Same(c.ethernet);
        device.usb = Same(c.usb);
        EXPECT_TRUE(Run());
        EXPECT_EQ(Writes(), c.writes);
    }
    EXPECT_TRUE(Shown().empty());
}

TEST_F(RepairRun, LongSerialNumberIsWrittenTruncated) {
    WriteList("HX1234567890ABCDEFG,0123456789AB\r\n");
    device.serial = Same("HX1234567890ABCD");
    device.ethernet = Same("0123456789AB");
    device.usb = Same("0123456789AC");
    EXPECT_TRUE(Run());
    EXPECT_EQ(repaired, "HX1234567890ABCDEFG");
    EXPECT_EQ(Writes(), (Lines{"set 0x40000000 0x4000000 16 30000 HX1234567890ABCD"}));
}

TEST_F(RepairRun, ChosenEntryWithoutAMacAddressKeepsTheDevicesMACs) {
    for (const std::string mac : {"0050C2A1", "0050C2A1G001"}) {
        SCOPED_TRACE(mac);
        Restart();
        WriteFile(Runtime() / CDeployedUnitList::kFileName,
                  "[HLXSerialNumbers]\nHX100001," + mac + "\nHX200001,0050C2A10010\n");
        device.serial = Same("HX100001");
        device.ethernet = Same(std::string(12, '\0'));  // nothing survived: every line qualifies
        device.usb = Same(std::string(12, '\0'));
        EXPECT_TRUE(Run());
        EXPECT_EQ(Writes(), (Lines{"set 0x40000000 0x4000000 8 30000 HX100001"}));
        EXPECT_TRUE(
            ReportHas("ComputeNewMACs MAC text <" + mac + "> is not a MAC address, MACs kept"));
    }
}

TEST_F(RepairRun, FailedDeviceReadsEndTheRepairQuietly) {
    const Lines afterSerial = {kRead, kReadStored};
    const Lines afterEthernet = {kRead, kReadEthernet};
    const Lines afterUsb = {kRead, kReadEthernet, kReadUsb};
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        Restart();
        SingleEntryDevice();
        if (failing == 0) {
            device.serial.inUse.reset();
            device.serial.stored.reset();
        } else if (failing == 1) {
            device.ethernet.stored.reset();
        } else {
            device.usb.stored.reset();
        }
        EXPECT_FALSE(Run(&engine));
        EXPECT_EQ(Requests(), failing == 0 ? afterSerial : failing == 1 ? afterEthernet : afterUsb);
        EXPECT_EQ(LastReportLine(), "GetPartialDataFromHLX finished with bRetrievedData 0");
        EXPECT_TRUE(engine.busyNotifications.empty());  // the list was never read
    }
    EXPECT_TRUE(Shown().empty());
}

TEST_F(RepairRun, MissingListOrSectionEndsTheRepairQuietly) {
    SingleEntryDevice();
    fs::remove(Runtime() / CDeployedUnitList::kFileName);
    for (const bool fileExists : {false, true}) {
        SCOPED_TRACE(fileExists);
        if (fileExists) {
            WriteFile(Runtime() / CDeployedUnitList::kFileName, "HX100001,0123456789AB\r\n");
        }
        comms.ClearRecords();
        engine.busyNotifications.clear();
        EXPECT_FALSE(Run(&engine));
        EXPECT_EQ(Requests(), (Lines{kRead, kReadEthernet, kReadUsb}));
        EXPECT_EQ(LastReportLine(),
                  "ParseHLXFileName...bReply 0 m_PartialMatchIndices count 0 m_pSerialNumbers "
                  "count 0");
        EXPECT_EQ(engine.busyNotifications, (Notifications{{true, true}, {false, true}}));
    }
    EXPECT_TRUE(Shown().empty());
}

// ---------------------------------------------------------------------------------------------
// The two device commands

TEST_F(RepairDeviceCommands, CommandThatNeverRanFails) {
    CHLXSerialNumRepair repair(nullptr, CommsCallback{});
    std::vector<char> buffer(16);
    EXPECT_FALSE(repair.GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, buffer.data(), 16, 0));
    EXPECT_EQ(LastReportLine(),
              "GetPartialHLXData OUT..nBufferLength 16 ExecuteSubCommand nError 0 nRetValue -1 "
              "BUFFER <" +
                  Repeat(" 0x0", 16) + ">");
    char serial[] = "HX1";
    EXPECT_FALSE(
        repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, VSI_WRITE_TO_STORAGE));
    EXPECT_EQ(LastReportLine(),
              "SetPartialHLXData RequestType 0x40000000  nBufferLength 3 nFlags 0x4000000 "
              "ExecuteSubCommand nError 0 nRetValue -1 timeout 30000 BUFFER < 0x48 0x58 0x31>");
}

// The callback's own result is only logged: the device's return value decides.
TEST_F(RepairDeviceCommands, DeviceReturnValueDecidesNotTheCallbackResult) {
    std::vector<std::tuple<int, bool, bool>> calls;
    CHLXSerialNumRepair repair(nullptr,
                               [&](CSubStream& command, int timeoutMs, bool first, bool second) {
                                   comms.ExecuteSubCommand(command, timeoutMs, 0);
                                   calls.emplace_back(timeoutMs, first, second);
                                   return -1;
                               });
    device.serial = Same("HX1");
    char buffer[16] = {};
    EXPECT_TRUE(repair.GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, buffer, 16, 0));
    EXPECT_EQ(LastReportLine(),
              "GetPartialHLXData OUT..nBufferLength 3 ExecuteSubCommand nError -1 nRetValue 0 "
              "BUFFER < 0x48 0x58 0x31>");
    char serial[] = "HX2";
    EXPECT_TRUE(repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, 0));
    EXPECT_EQ(LastReportLine(),
              "SetPartialHLXData RequestType 0x40000000  nBufferLength 3 nFlags 0x0 "
              "ExecuteSubCommand nError -1 nRetValue 0 timeout 30000 BUFFER < 0x48 0x58 0x32>");
    device.writeError = 2;
    EXPECT_FALSE(repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, 0));
    EXPECT_EQ(calls, (std::vector<std::tuple<int, bool, bool>>{
                         {10000, false, false}, {30000, false, true}, {30000, false, true}}));
}

TEST_F(RepairDeviceCommands, DumpStaysInsideTheBufferAndTheFirstFortyBytes) {
    const auto claiming = [](std::string bytes, int length) {
        Reply reply = Reply::Text(std::move(bytes));
        reply.length = length;
        return reply;
    };
    const std::string head = "GetPartialHLXData OUT..nBufferLength ";
    const std::string sixteen =
        " 0x41 0x42 0x43 0x44 0x45 0x46 0x47 0x48 0x49 0x4a 0x4b 0x4c 0x4d 0x4e 0x4f 0x50";
    struct Case {
        Reply reply;
        int room;
        bool result;
        std::string line;
    };
    const std::vector<Case> cases = {
        {claiming("ABCDEFGHIJKLMNOP", 500), 16, true,
         head + "500 ExecuteSubCommand nError 0 nRetValue 0 BUFFER <" + sixteen + ">"},
        {claiming("ABCDEFGHIJKLMNOP", -3), 16, false,
         head + "-3 ExecuteSubCommand nError 0 nRetValue 0 BUFFER <>"},
        {Reply::Text(std::string(50, 'A')), 64, true,
         head + "50 ExecuteSubCommand nError 0 nRetValue 0 BUFFER <" + Repeat(" 0x41", 40) + ">"},
        {Reply::Text(""), 16, false, head + "0 ExecuteSubCommand nError 0 nRetValue 0 BUFFER <>"},
        {Reply::Text("\xC1"s + "A"), 16, true,
         head + "2 ExecuteSubCommand nError 0 nRetValue 0 BUFFER < 0xffffffc1 0x41>"},
    };
    CHLXSerialNumRepair repair(nullptr, Forward());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.line);
        comms.AnswerAt(i, c.reply);                             // one request per case
        std::vector<char> buffer(static_cast<size_t>(c.room));  // exact size: overreads show
        EXPECT_EQ(repair.GetPartialHLXData(VSI_GET_MAC_ADDRESS, buffer.data(), c.room,
                                           VSI_USB_MAC | VSI_READ_FROM_STORAGE),
                  c.result);
        EXPECT_EQ(LastReportLine(), c.line);
    }

    std::vector<char> data(50, 'B');
    EXPECT_TRUE(repair.SetPartialHLXData(VSI_SET_MAC_ADDRESS, data.data(), 50, VSI_USB_MAC));
    EXPECT_EQ(LastReportLine(),
              "SetPartialHLXData RequestType 0x1000  nBufferLength 50 nFlags 0x40000000 "
              "ExecuteSubCommand nError 0 nRetValue 0 timeout 30000 BUFFER <" +
                  Repeat(" 0x42", 40) + ">");
}

// ---------------------------------------------------------------------------------------------
// The report file

TEST_F(RepairReportFile, HoldsEveryStepOfASilentRepair) {
    SingleEntryDevice();
    ASSERT_TRUE(Run());
    const std::string mac = " 0x30 0x31 0x32 0x33 0x34 0x35 0x36 0x37 0x38 0x39 0x41";
    EXPECT_EQ(
        ReportLines(),
        (Lines{
            "CHLXSerialNumRepair constructor pEngine 0x0",
            "About to call GetPartialHLXData for VSI_GET_CARD_SERIAL_NUM flags 0",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 16 flags 0x0 timeout 10000",
            "GetPartialHLXData OUT..nBufferLength 8 ExecuteSubCommand nError 0 nRetValue 0 "
            "BUFFER < 0x48 0x58 0x31 0x30 0x30 0x30 0x30 0xffffffc1>",
            "About to call GetPartialHLXData for PartialEthernetMACAddress",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 12 flags 0x88000000 timeout 10000",
            "GetPartialHLXData OUT..nBufferLength 12 ExecuteSubCommand nError 0 nRetValue 0 "
            "BUFFER <" +
                mac + " 0x42>",
            "About to call GetPartialHLXData for PartialUSBMACAddress",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 12 flags 0x48000000 timeout 10000",
            "GetPartialHLXData OUT..nBufferLength 12 ExecuteSubCommand nError 0 nRetValue 0 "
            "BUFFER <" +
                mac + " 0x43>",
            "GetPartialDataFromHLX finished with bRetrievedData 1",
            "ParseHLXFileName...bReply 1 m_PartialMatchIndices count 1 m_pSerialNumbers count 2",
            "WriteBackToHLX IsNewSerialNum() 1  m_strRecoveredSerialNum <HX100001>",
            "About to write new SN",
            "SetPartialHLXData RequestType 0x40000000  nBufferLength 8 nFlags 0x4000000 "
            "ExecuteSubCommand nError 0 nRetValue 0 timeout 30000 BUFFER < 0x48 0x58 0x31 0x30 "
            "0x30 0x30 0x30 0x31>",
        }));
}

TEST_F(RepairReportFile, ReportThatCannotBeCreatedNeverStopsTheRepair) {
    RepairReport::RestartForTesting((m_root.Path() / "missing").string());
    SingleEntryDevice();
    EXPECT_TRUE(Run());
    EXPECT_EQ(Writes(), (Lines{"set 0x40000000 0x4000000 8 30000 HX100001"}));
    Lines reportLines;
    for (const std::string& line : m_diagnostics.Monitor()) {
        if (line.find("Repair report") != std::string::npos) {
            reportLines.push_back(line);
        }
    }
    EXPECT_EQ(reportLines, (Lines{"Repair report ReportHLXRepair.txt create failed: " +
                                  std::to_string(ENOENT)}));
}

// ---------------------------------------------------------------------------------------------
// The host notification

TEST_F(RepairNotification, BracketsTheListReadingAndTheWriteBack) {
    SingleEntryDevice();
    EXPECT_TRUE(Run(&engine));
    const Notifications twice = {{true, true}, {false, true}, {true, true}, {false, true}};
    EXPECT_EQ(engine.busyNotifications, twice);
    char constructed[80];
    std::snprintf(constructed, sizeof constructed, "CHLXSerialNumRepair constructor pEngine 0x%x",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&engine)));
    EXPECT_EQ(ReportLines().front(), constructed);

    // With the user: the prompt comes between the brackets, the result popup after both.
    Restart();
    TwoCandidateDevice();
    std::vector<size_t> seen;
    host::SetPopupDriver(
        std::make_unique<NotingDriver>(*host::ParseKeyScript("HX100001<tick>"), engine, seen));
    EXPECT_TRUE(Run(&engine));
    EXPECT_EQ(engine.busyNotifications, twice);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 2u);
    EXPECT_EQ(seen.back(), 4u);
    EXPECT_EQ(Shown(), (Lines{"first prompt", Message(1217)}));
}

// ---------------------------------------------------------------------------------------------
// Entry from the release reading

class RepairEntry : public RepairTest {
protected:
    void SetUp() override {
        RepairTest::SetUp();
        const auto kind = SubRequestKind::VsiGetSerialNumber;
        comms.Answer(kind, 0x20000000, Reply::Text("KLEM_12345_R0.6.2"));
        comms.Answer(kind, 0x10000000, Reply::Text("KLEM_PROM_R1.4"));
        comms.Answer(kind, 0x01000000, Reply::Text("KLEM_BOOT_ER12"));
        comms.Answer(kind, 0x00000800, Reply::Value32(7));
        comms.Answer(kind, 0x00000200, Reply::Text("KLEM_MAC_R3.1"));
        WriteList("HX100001,0050C2A10010\r\nHX200002,0050C2A10020\r\n");
        // Nothing in use; the stored copy is damaged in one character.
        device.serial = Item{"", "HX1\xFF"s + "0001"};
        device.ethernet = Same("0050C2A10010");
        device.usb = Same("0050C2A10011");
    }

    std::string Value(const std::string& name) {
        CString value;
        frame.Store().GetValue(name, &value, CTabValueStore::kMaxLength);
        return value;
    }

    fs::path SerialNumList() const { return Logs() / "HLX_Serial_Nums.txt"; }

    // The release reading's own requests: five releases and the serial number.
    static constexpr size_t kReleaseRequests = 6;

    host::Frame frame;
    CHLXUtils hlx{&comms, &frame};
};

class RepairEntryUnusable : public RepairEntry,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(RepairEntryUnusable, ReleaseReadingRepairsAndPublishesTheSerialNumber) {
    const std::string reported = GetParam();
    if (!reported.empty()) {
        comms.AnswerAt(kReleaseRequests - 1, Reply::Text(reported));
    }
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_SerialNum"), "HX100001");
    EXPECT_EQ(ReadFile(SerialNumList()), "HX100001,R0.6.2,R1.4,ER12\r\n");
    EXPECT_EQ(device.serial.stored.value_or(""), "HX100001");
    const auto requests = Requests();
    ASSERT_GT(requests.size(), kReleaseRequests);
    EXPECT_EQ(Lines(requests.begin() + kReleaseRequests, requests.end()),
              (Lines{kRead, kReadStored, kReadEthernet, kReadUsb,
                     "set 0x40000000 0x4000000 8 30000 HX100001"}));
    EXPECT_EQ(CHLXSerialNumRepair::GetRepairCount(), 1);
    EXPECT_TRUE(Shown().empty());
}

INSTANTIATE_TEST_SUITE_P(Repair, RepairEntryUnusable, ::testing::Values("", "UNKNOWN"));

TEST_F(RepairEntry, SecondUnusableSerialNumberInTheProcessIsNotRepaired) {
    ASSERT_TRUE(hlx.SetReleaseIds(true));
    ASSERT_EQ(Value("HLX_SerialNum"), "HX100001");
    const std::string report = ReadFile(ReportPath());

    comms.ClearRecords();
    device.serial = Item{"", "HX2\xFF"s + "0002"};
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(comms.Requests().size(), kReleaseRequests);  // no partial data requests
    EXPECT_EQ(Value("HLX_SerialNum"), "HX100001");         // left as it was
    EXPECT_EQ(ReadFile(ReportPath()), report);

    CString serial = "UNKNOWN";
    EXPECT_FALSE(hlx.EnsureSerialNumber(serial));
    EXPECT_EQ(serial, "UNKNOWN");
    EXPECT_EQ(comms.Requests().size(), kReleaseRequests);
}

TEST_F(RepairEntry, OnlyExactlyUnknownIsUnusable) {
    comms.AnswerAt(kReleaseRequests - 1, Reply::Text("unknown"));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(Value("HLX_SerialNum"), "unknown");
    EXPECT_EQ(comms.Requests().size(), kReleaseRequests);
    EXPECT_EQ(CHLXSerialNumRepair::GetRepairCount(), 0);
    EXPECT_FALSE(fs::exists(ReportPath()));
}

TEST_F(RepairEntry, CommsCallbackReportsWhetherTheExchangeTookPlace) {
    device.serial = Same("HX100001");
    char buffer[16] = {};
    int length = sizeof buffer;
    int error = -1;
    CSubStream command;
    VSI_GetSerialNumber(command, VSI_GET_CARD_SERIAL_NUM, &length, buffer, 0, &error);
    EXPECT_EQ(hlx.HLXCommsCallback(command, 1234, false, false), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "HX100001");
    EXPECT_EQ(comms.Requests().back().timeoutMs, 1234);
    EXPECT_FALSE(m_diagnostics.MonitorHas("catch exception"));

    // A connection that throws: -1, and the repair's commands fail even without a reply.
    comms.AnswerAt(1, Reply::Throw(7));
    comms.AnswerAt(2, Reply::Throw(7));
    comms.AnswerAt(3, Reply::Throw(7));
    EXPECT_EQ(hlx.HLXCommsCallback(command, 10000, false, true), -1);
    EXPECT_TRUE(m_diagnostics.MonitorHas("CHLXUtils::HLXCommsCallback catch exception"));

    CHLXSerialNumRepair repair(nullptr,
                               [this](CSubStream& sub, int timeoutMs, bool first, bool second) {
                                   return hlx.HLXCommsCallback(sub, timeoutMs, first, second);
                               });
    char partial[16] = {};
    EXPECT_FALSE(repair.GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, partial, 16, 0));
    EXPECT_EQ(LastReportLine(),
              "GetPartialHLXData OUT..nBufferLength 16 ExecuteSubCommand nError -1 nRetValue -1 "
              "BUFFER <" +
                  Repeat(" 0x0", 16) + ">");
    char serial[] = "HX1";
    EXPECT_FALSE(repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, 0));
    EXPECT_EQ(LastReportLine(),
              "SetPartialHLXData RequestType 0x40000000  nBufferLength 3 nFlags 0x0 "
              "ExecuteSubCommand nError -1 nRetValue -1 timeout 30000 BUFFER < 0x48 0x58 0x31>");
}

}  // namespace
}  // namespace gwu::test

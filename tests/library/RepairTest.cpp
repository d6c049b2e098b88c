// The serial-number repair against a modelled device and the scripted keyboard: matching,
// the exact device traffic, the two device commands and their report lines, and the report
// file. Then the repair entered from the communication module's release reading: the repaired
// serial number published and listed, only for an empty or exactly "UNKNOWN" one and once per
// process, and the device commands' results through the module's comms callback.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "devices/CHLXUtils.h"
#include "testsupport/DeviceBench.h"
#include "testsupport/RepairFixture.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A read's dump in the report starts so, and goes on so after an exchange that went well.
const std::string kReadDump = "GetPartialHLXData OUT..nBufferLength ";
const std::string kExchanged = " ExecuteSubCommand nError 0 nRetValue 0 BUFFER <";

// ---------------------------------------------------------------------------------------------
// Matching

// The single agreeing entry is taken without asking and without verifying, so failing writes
// still count as a repair. The host hears of the list reading and of the write-back, and
// every step leaves its report line.
TEST_F(RepairTest, SingleAgreeingEntryIsTakenSilentlyAndEveryStepIsReported) {
    SingleEntryDevice();
    device.writeError = 3;
    EXPECT_TRUE(Run(&engine));
    EXPECT_EQ(repaired, "HX100001");
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(gwu::LastRepairOutcome(), gwu::RepairOutcome::Silent);
    EXPECT_EQ(engine.busyNotifications, kListAndWriteBack);
    char constructed[80];
    std::snprintf(constructed, sizeof constructed, "CHLXSerialNumRepair constructor pEngine 0x%x",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&engine)));
    EXPECT_EQ(Requests(), (Lines{kRead, kReadEthernet, kReadUsb, kCommitSerial + "HX100001"}));
    const std::string mac = " 0x30 0x31 0x32 0x33 0x34 0x35 0x36 0x37 0x38 0x39 0x41";
    EXPECT_EQ(
        ReportLines(),
        (Lines{
            constructed,
            "About to call GetPartialHLXData for VSI_GET_CARD_SERIAL_NUM flags 0",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 16 flags 0x0 timeout 10000",
            kReadDump + "8" + kExchanged + " 0x48 0x58 0x31 0x30 0x30 0x30 0x30 0xffffffc1>",
            "About to call GetPartialHLXData for PartialEthernetMACAddress",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 12 flags 0x88000000 timeout 10000",
            kReadDump + "12" + kExchanged + mac + " 0x42>",
            "About to call GetPartialHLXData for PartialUSBMACAddress",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 12 flags 0x48000000 timeout 10000",
            kReadDump + "12" + kExchanged + mac + " 0x43>",
            "GetPartialDataFromHLX finished with bRetrievedData 1",
            "ParseHLXFileName...bReply 1 m_PartialMatchIndices count 1 m_pSerialNumbers "
            "count 2",
            "WriteBackToHLX IsNewSerialNum() 1  m_strRecoveredSerialNum <HX100001>",
            "About to write new SN",
            "SetPartialHLXData RequestType 0x40000000  nBufferLength 8 nFlags 0x4000000 "
            "ExecuteSubCommand nError 0 nRetValue 3 timeout 30000 BUFFER < 0x48 0x58 0x31 "
            "0x30 0x30 0x30 0x30 0x31>",
        }));
}

// The typed serial number, in any case, picks one of the candidates and that entry's MAC is
// written; a text naming no candidate is asked for again. The writes are then read back: a
// value that did not stick, or a read that fails (skipping the later ones), shows the failure.
// The user is asked between the host notifications and shown the result after them.
TEST_F(RepairTest, TypedSerialNumberPicksACandidateAndItsOwnMACAndIsVerified) {
    const Lines once = {"first prompt"}, twice = {"first prompt", "repeated prompt"};
    // The keys, the serial number and MAC chosen, whether the device keeps writes, how many of
    // the requests are made (the last one failing when not all), the prompts.
    for (const auto& [keys, serial, mac, keepsWrites, made, prompts] :
         std::vector<std::tuple<std::string, std::string, std::string, bool, size_t, Lines>>{
             {"HX100002<tick>", "HX100002", "0050C2A1002", true, 10, once},
             {"HX9<tick>HX100001<tick>", "HX100001", "0050C2A1001", true, 10, twice},
             {"HX100002<tick>", "HX100002", "0050C2A1002", false, 10, once},
             {"HX100002<tick>", "HX100002", "0050C2A1002", true, 7, once}}) {
        SCOPED_TRACE(keys + " " + std::to_string(made));
        Restart(keys);
        // Two entries agree: the letters of the serial number and the MAC ends are damaged.
        WriteList("hx100001,0050C2A10010\r\nHx100002,0050C2A10020\r\nHX200003,0050C2B10030\r\n");
        device.serial = Same("\xFF\xFF"s + "10000\xFF");
        device.ethernet = Same("0050C2A10\0\0\0"s);
        device.usb = Same("0050C2A10\0\0\0"s);
        device.keepsWrites = keepsWrites;
        if (made < 10) {
            comms.AnswerAt(made - 1, Reply::Error(5));
        }
        const bool verified = keepsWrites && made == 10;
        EXPECT_EQ(Run(&engine), verified);
        EXPECT_EQ(gwu::LastRepairOutcome(),
                  verified ? gwu::RepairOutcome::Typed : gwu::RepairOutcome::Failed);
        EXPECT_EQ(engine.busyNotifications, kListAndWriteBack);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), 4u);
        EXPECT_EQ(static_cast<size_t>(std::count(seen.begin(), seen.end(), 2u)), seen.size() - 1);
        EXPECT_EQ(repaired, serial);  // as typed, not as listed
        Lines shown = prompts;
        shown.push_back(Message(verified ? 1217 : 1218));
        EXPECT_EQ(Shown(), shown);
        Lines expected({kRead, kReadEthernet, kReadUsb, kWriteSerial + serial,
                        kWriteEthernet + mac + "0", kCommitUsb + mac + "1", kRead, kReadStored,
                        kReadEthernet, kReadUsb});
        expected.resize(made);
        EXPECT_EQ(Requests(), expected);
    }
}

// When the typed text names no candidate, the bitwise comparison may still accept a listed
// serial number whose bits include every bit the device kept; an empty text names no entry,
// not even the one whose serial number is empty.
TEST_F(RepairTest, BitwiseFallbackAcceptsOnlyClearedBitsAndNeverAnEmptyText) {
    const std::string typedTwice = "HX10001A<tick>HX10001A<tick>";
    for (const auto& [deviceSerial, keys, accepted] :
         std::vector<std::tuple<std::string, std::string, bool>>{
             {"HX10000@", typedTwice, true},
             {"HX10000C", typedTwice, false},
             {"\xFF\xFF\xFF\xFF", "<cross><cross>", false}}) {
        SCOPED_TRACE(deviceSerial);
        Restart(keys);
        WriteList("HX10001A,0050C2A10010\r\nHX20000B,0050C2A10027\r\n,0050C2A10017\r\n");
        device.serial = Same(deviceSerial);
        device.ethernet = Same("0050C2A100\0"s + "7");
        device.usb = Same("0050C2A100\0"s + "8");
        EXPECT_EQ(Run(), accepted);
        EXPECT_EQ(gwu::LastRepairOutcome(),
                  accepted ? gwu::RepairOutcome::Typed : gwu::RepairOutcome::Refused);
        EXPECT_EQ(Shown(),
                  (Lines{"first prompt", "repeated prompt", Message(accepted ? 1217 : 1218)}));
        EXPECT_EQ(Requests(true),
                  accepted ? (Lines{kWriteSerial + "HX10001A", kWriteEthernet + "0050C2A10010",
                                    kCommitUsb + "0050C2A10011"})
                           : Lines{});
    }
}

// ---------------------------------------------------------------------------------------------
// The repair: device traffic and outcomes

// Each MAC address is written only where it differs from what was read, and exactly the last
// write commits to storage.
TEST_F(RepairTest, WritesFollowWhatTheDeviceHolds) {
    const std::string sn = "HX100001", ab = "0123456789AB", ac = "0123456789AC";
    const std::string a9 = "0123456789A9", longSn = "HX1234567890ABCDEFG";
    const std::string sn2 = "HX200001", a20 = "0050C2A10020", a21 = "0050C2A10021";
    const std::string cutE = "0050C2A100\0"s + "0", cutU = "\0"s + "050C2A10021";
    const std::string damaged = "0123456789\0\0"s;
    const std::string nothing(12, '\0');  // nothing survived: every list line qualifies
    // The listed serial number and MAC, the device's MACs, the writes.
    for (const auto& [serial, listMac, ethernet, usb, writes] :
         std::vector<std::tuple<std::string, std::string, std::string, std::string, Lines>>{
             {sn, ab, ab, ac, {kCommitSerial + sn}},
             {sn, ab, damaged, ac, {kWriteSerial + sn, kCommitEthernet + ab}},
             {sn, ab, ab, damaged, {kWriteSerial + sn, kCommitUsb + ac}},
             {sn, ab, damaged, damaged, {kWriteSerial + sn, kWriteEthernet + ab, kCommitUsb + ac}},
             // One serial number twice, its MACs differing at position 10, where only the Ethernet
             // address is damaged (the USB one at 0): the two together tell the entries apart.
             {sn2, a20, cutE, cutU, {kWriteSerial + sn2, kWriteEthernet + a20, kCommitUsb + a21}},
             // No hexadecimal carry: the USB address of a list MAC ending in 9 ends in ':'.
             {sn, a9, a9, damaged, {kWriteSerial + sn, kCommitUsb + "0123456789A:"}},
             // A long serial number is written truncated.
             {longSn, ab, ab, ac, {"set 0x40000000 0x4000000 16 30000 HX1234567890ABCD"}},
             // A chosen entry without a well-formed MAC address leaves the device's MACs alone.
             {sn, "0050C2A1", nothing, nothing, {kCommitSerial + sn}},
             {sn, "0050C2A1G001", nothing, nothing, {kCommitSerial + sn}}}) {
        SCOPED_TRACE(serial + "," + listMac);
        Restart();
        WriteList(serial + "," + listMac + "\r\nHX200001,0050C2A10010\r\n");
        device.serial = Same(serial.substr(0, 16));
        device.ethernet = Same(ethernet);
        device.usb = Same(usb);
        EXPECT_TRUE(Run());
        EXPECT_EQ(repaired, serial);
        EXPECT_EQ(Requests(true), writes);
        EXPECT_TRUE(Shown().empty());
    }
}

// An unreadable device item ends the repair before the list is read (no notification), a
// missing list or section after it; either way quietly. A serial number in use that cannot be
// read is read from storage.
TEST_F(RepairTest, UnreadableDeviceOrListEndsTheRepairQuietly) {
    const Lines allRead = {kRead, kReadEthernet, kReadUsb};
    const Notifications listRead = {{true, true}, {false, true}};
    // The item that cannot be read or, without one, the list file if any; then the requests and
    // the notifications.
    for (const auto& [broken, list, requests, notified] :
         std::vector<std::tuple<Item*, std::optional<std::string>, Lines, Notifications>>{
             {&device.serial, {}, {kRead, kReadStored}, {}},
             {&device.ethernet, {}, {kRead, kReadEthernet}, {}},
             {&device.usb, {}, allRead, {}},
             {nullptr, {}, allRead, listRead},
             {nullptr, "HX100001,0123456789AB\r\n", allRead, listRead}}) {
        SCOPED_TRACE(requests.back() + (broken ? "" : list ? ", no section" : ", no list"));
        Restart();
        SingleEntryDevice();
        if (broken != nullptr) {
            *broken = Item{};
        } else if (list) {
            WriteFile(Runtime() / CDeployedUnitList::kFileName, *list);
        } else {
            fs::remove(Runtime() / CDeployedUnitList::kFileName);
        }
        EXPECT_FALSE(Run(&engine));
        EXPECT_EQ(gwu::LastRepairOutcome(), gwu::RepairOutcome::Failed);
        EXPECT_EQ(Requests(), requests);
        EXPECT_EQ(engine.busyNotifications, notified);
        EXPECT_TRUE(Shown().empty());
    }
}

// Whatever length a reply claims, the dump never reads past the buffer nor beyond forty bytes,
// and a negative length dumps nothing.
TEST_F(RepairTest, DumpStaysInsideTheBufferAndTheFirstFortyBytes) {
    const std::string sixteen = "ABCDEFGHIJKLMNOP";
    std::string forty;
    for (int i = 0; i < 40; ++i) {
        forty += " 0x41";
    }
    CHLXSerialNumRepair repair(nullptr, Forward());
    size_t position = 0;
    // The reply, the room in the buffer, the result and the report line.
    for (const auto& [reply, room, result, line] :
         std::vector<std::tuple<Reply, int, bool, std::string>>{
             {Reply{sixteen, 0, 500, {}}, 16, true,
              kReadDump + "500" + kExchanged +
                  " 0x41 0x42 0x43 0x44 0x45 0x46 0x47 0x48 0x49 0x4a 0x4b 0x4c 0x4d 0x4e 0x4f "
                  "0x50>"},
             {Reply{sixteen, 0, -3, {}}, 16, false, kReadDump + "-3" + kExchanged + ">"},
             {Reply::Text(std::string(50, 'A')), 64, true,
              kReadDump + "50" + kExchanged + forty + ">"},
             {Reply::Text(""), 16, false, kReadDump + "0" + kExchanged + ">"}}) {
        SCOPED_TRACE(line);
        comms.AnswerAt(position++, reply);
        std::vector<char> buffer(static_cast<size_t>(room));  // exact size: overreads show
        EXPECT_EQ(repair.GetPartialHLXData(VSI_GET_MAC_ADDRESS, buffer.data(), room,
                                           VSI_USB_MAC | VSI_READ_FROM_STORAGE),
                  result);
        EXPECT_EQ(LastReportLine(), line);
    }
}

// ---------------------------------------------------------------------------------------------
// The repair entered from the release reading

class RepairEntry : public RepairTest {
protected:
    void SetUp() override {
        RepairTest::SetUp();
        AnswerHlxReleases(comms);
        WriteList("HX100001,0050C2A10010\r\nHX200002,0050C2A10020\r\n");
        // Nothing in use; the stored copy is damaged in one character.
        device.serial = Item{"", "HX1\xFF"s + "0001"};
        device.ethernet = Same("0050C2A10010");
        device.usb = Same("0050C2A10011");
    }

    // The release reading's own requests: five releases and the serial number.
    static constexpr size_t kReleaseRequests = 6;

    RecordingFrame frame;
    CHLXUtils hlx{&comms, &frame};
};

// An empty serial number is repaired, published and listed, without the user; a report that
// cannot be created stops nothing and is mentioned once.
TEST_F(RepairEntry, ReleaseReadingRepairsAndPublishesTheSerialNumber) {
    RepairReport::RestartForTesting((Root() / "missing").string());
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(frame.Value("HLX_SerialNum"), "HX100001");
    EXPECT_EQ(ReadFile(Logs() / "HLX_Serial_Nums.txt"), "HX100001,R0.6.2,R1.4,ER12\r\n");
    const auto requests = Requests();
    ASSERT_GT(requests.size(), kReleaseRequests);
    EXPECT_EQ(Lines(requests.begin() + kReleaseRequests, requests.end()),
              (Lines{kRead, kReadStored, kReadEthernet, kReadUsb, kCommitSerial + "HX100001"}));
    EXPECT_EQ(CHLXSerialNumRepair::GetRepairCount(), 1);
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(m_diagnostics.MonitorSince(0, "Repair report"),
              Lines{"Repair report ReportHLXRepair.txt create failed: " + std::to_string(ENOENT)});
}

// Besides an empty one only exactly "UNKNOWN" is repaired, and at most once per process: a
// later repair sends nothing and reports nothing.
TEST_F(RepairEntry, OnlyExactlyUnknownIsRepairedAndOnlyOncePerProcess) {
    comms.AnswerAt(kReleaseRequests - 1, Reply::Text("unknown"));
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(frame.Value("HLX_SerialNum"), "unknown");
    EXPECT_EQ(comms.Requests().size(), kReleaseRequests);
    EXPECT_FALSE(fs::exists(ReportPath()));

    comms.ClearRecords();
    comms.AnswerAt(kReleaseRequests - 1, Reply::Text("UNKNOWN"));
    ASSERT_TRUE(hlx.SetReleaseIds(true));
    ASSERT_EQ(frame.Value("HLX_SerialNum"), "HX100001");
    const std::string report = ReadFile(ReportPath());

    comms.ClearRecords();
    device.serial = Item{"", "HX2\xFF"s + "0002"};
    EXPECT_TRUE(hlx.SetReleaseIds(true));
    EXPECT_EQ(comms.Requests().size(), kReleaseRequests);  // no partial data requests
    EXPECT_EQ(frame.Value("HLX_SerialNum"), "HX100001");   // left as it was
    EXPECT_EQ(ReadFile(ReportPath()), report);
}

// The callback gives 0 after an exchange and -1, with a monitor line, when the connection
// throws. Its result is only logged: the device's return value decides, and a command that
// never got a reply fails whatever its buffer holds.
TEST_F(RepairEntry, DeviceReturnValueDecidesNotTheCallbackResult) {
    bool overruled = false;  // the callback reports -1 whatever happened
    CHLXSerialNumRepair repair(nullptr, [&](CSubStream& sub, int timeoutMs, bool a, bool b) {
        const int result = hlx.HLXCommsCallback(sub, timeoutMs, a, b);
        return overruled ? -1 : result;
    });
    const std::string setHead =
        "SetPartialHLXData RequestType 0x40000000  nBufferLength 3 nFlags 0x0 ExecuteSubCommand ";
    device.serial = Same("HX1");
    char buffer[16] = {};
    char serial[] = "HX2";
    EXPECT_TRUE(repair.GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, buffer, 16, 0));
    EXPECT_EQ(LastReportLine(), kReadDump + "3" + kExchanged + " 0x48 0x58 0x31>");
    overruled = true;
    EXPECT_TRUE(repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, 0));
    EXPECT_EQ(LastReportLine(),
              setHead + "nError -1 nRetValue 0 timeout 30000 BUFFER < 0x48 0x58 0x32>");
    device.writeError = 2;
    overruled = false;
    EXPECT_FALSE(repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, 0));
    EXPECT_FALSE(m_diagnostics.MonitorHas("catch exception"));

    comms.AnswerAt(3, Reply::Throw(7));
    comms.AnswerAt(4, Reply::Throw(7));
    char unanswered[16] = {};
    EXPECT_FALSE(repair.GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, unanswered, 16, 0));
    EXPECT_EQ(LastReportLine(),
              kReadDump + "16 ExecuteSubCommand nError -1 nRetValue -1 BUFFER <" +
                  " 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0>");
    EXPECT_TRUE(m_diagnostics.MonitorHas("CHLXUtils::HLXCommsCallback catch exception"));
    EXPECT_FALSE(repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, 0));
    EXPECT_EQ(LastReportLine(),
              setHead + "nError -1 nRetValue -1 timeout 30000 BUFFER < 0x48 0x58 0x32>");
}

}  // namespace
}  // namespace gwu::test

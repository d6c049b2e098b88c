// The serial-number repair against a modelled device and the scripted keyboard: matching,
// the exact device traffic, the two device commands and their report lines, and the report
// file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "testsupport/RepairFixture.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

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
    EXPECT_EQ(engine.busyNotifications, kListAndWriteBack);
    char constructed[80];
    std::snprintf(constructed, sizeof constructed, "CHLXSerialNumRepair constructor pEngine 0x%x",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&engine)));
    EXPECT_EQ(Requests(), (Lines{kRead, kReadEthernet, kReadUsb, kCommitSerial + "HX100001"}));
    const std::string mac = " 0x30 0x31 0x32 0x33 0x34 0x35 0x36 0x37 0x38 0x39 0x41";
    const std::string out = " ExecuteSubCommand nError 0 nRetValue 0 BUFFER <";
    EXPECT_EQ(
        ReportLines(),
        (Lines{
            constructed,
            "About to call GetPartialHLXData for VSI_GET_CARD_SERIAL_NUM flags 0",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 16 flags 0x0 timeout 10000",
            "GetPartialHLXData OUT..nBufferLength 8" + out +
                " 0x48 0x58 0x31 0x30 0x30 0x30 0x30 0xffffffc1>",
            "About to call GetPartialHLXData for PartialEthernetMACAddress",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 12 flags 0x88000000 timeout 10000",
            "GetPartialHLXData OUT..nBufferLength 12" + out + mac + " 0x42>",
            "About to call GetPartialHLXData for PartialUSBMACAddress",
            "GetPartialHLXData LINE 1034 nBufferLength (in) 12 flags 0x48000000 timeout 10000",
            "GetPartialHLXData OUT..nBufferLength 12" + out + mac + " 0x43>",
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
        EXPECT_EQ(Requests(), requests);
        EXPECT_EQ(engine.busyNotifications, notified);
        EXPECT_TRUE(Shown().empty());
    }
}

// Whatever length a reply claims, the dump never reads past the buffer nor beyond forty bytes,
// and a negative length dumps nothing.
TEST_F(RepairTest, DumpStaysInsideTheBufferAndTheFirstFortyBytes) {
    const std::string head = "GetPartialHLXData OUT..nBufferLength ";
    const std::string out = " ExecuteSubCommand nError 0 nRetValue 0 BUFFER <";
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
              head + "500" + out +
                  " 0x41 0x42 0x43 0x44 0x45 0x46 0x47 0x48 0x49 0x4a 0x4b 0x4c 0x4d 0x4e 0x4f "
                  "0x50>"},
             {Reply{sixteen, 0, -3, {}}, 16, false, head + "-3" + out + ">"},
             {Reply::Text(std::string(50, 'A')), 64, true, head + "50" + out + forty + ">"},
             {Reply::Text(""), 16, false, head + "0" + out + ">"}}) {
        SCOPED_TRACE(line);
        comms.AnswerAt(position++, reply);
        std::vector<char> buffer(static_cast<size_t>(room));  // exact size: overreads show
        EXPECT_EQ(repair.GetPartialHLXData(VSI_GET_MAC_ADDRESS, buffer.data(), room,
                                           VSI_USB_MAC | VSI_READ_FROM_STORAGE),
                  result);
        EXPECT_EQ(LastReportLine(), line);
    }
}

}  // namespace
}  // namespace gwu::test

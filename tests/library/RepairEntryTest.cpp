// The serial-number repair entered from the communication module's release reading: the
// repaired serial number published and listed, only for an empty or exactly "UNKNOWN" one and
// once per process, and the device commands' results through the module's comms callback.
#include <cerrno>
#include <filesystem>
#include <string>

#include "devices/CHLXUtils.h"
#include "testsupport/DeviceBench.h"
#include "testsupport/RepairFixture.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

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
    const std::string getHead = "GetPartialHLXData OUT..nBufferLength ";
    const std::string setHead =
        "SetPartialHLXData RequestType 0x40000000  nBufferLength 3 nFlags 0x0 ExecuteSubCommand ";
    device.serial = Same("HX1");
    char buffer[16] = {};
    char serial[] = "HX2";
    EXPECT_TRUE(repair.GetPartialHLXData(VSI_GET_CARD_SERIAL_NUM, buffer, 16, 0));
    EXPECT_EQ(LastReportLine(),
              getHead + "3 ExecuteSubCommand nError 0 nRetValue 0 BUFFER < 0x48 0x58 0x31>");
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
              getHead + "16 ExecuteSubCommand nError -1 nRetValue -1 BUFFER <" +
                  " 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0>");
    EXPECT_TRUE(m_diagnostics.MonitorHas("CHLXUtils::HLXCommsCallback catch exception"));
    EXPECT_FALSE(repair.SetPartialHLXData(VSI_SET_CARD_SERIAL_NUM, serial, 3, 0));
    EXPECT_EQ(LastReportLine(),
              setHead + "nError -1 nRetValue -1 timeout 30000 BUFFER < 0x48 0x58 0x32>");
}

}  // namespace
}  // namespace gwu::test

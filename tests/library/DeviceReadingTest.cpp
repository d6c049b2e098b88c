// Both device families reading their releases against the scripted connection: the requests
// and the values published, the placeholders when the reading gives nothing, faulty replies,
// the CPLD revision and the serial number.
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "testsupport/DeviceBench.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

constexpr auto kTransfer = SubRequestKind::VsiGetSerialNumber;
constexpr auto kDetails = SubRequestKind::MsiGetCardDetails;
constexpr int kReqLoadedCode = 0x20000000;
constexpr int kReqProm = 0x10000000;
constexpr int kReqBootstrap = 0x01000000;
constexpr int kReqCpld = 0x00000800;
constexpr int kReqCable = 0x00000200;
constexpr int kReqSerial = static_cast<int>(0x80000000u);

// A communication module whose connection answers every reading request (the CPLD with
// revision 7).
struct HlxBench : DeviceBench<CHLXUtils> {
    HlxBench() {
        AnswerHlxReleases(comms);  // the cable firmware's release is published untrimmed
        comms.Answer(kTransfer, kReqSerial, Reply::Text("HLX0042"));
    }
};

// A measurement module whose connection answers the three detail requests.
struct QptBench : DeviceBench<CQPTUtils> {
    QptBench() {
        comms.Answer(kDetails, 2, Reply::Text("QPT Loaded Code Release 3.2.0"));
        comms.Answer(kDetails, 3, Reply::Text("QPT PROM Release 1.4"));
        comms.Answer(kDetails, 1, Reply::Text("SN-77"));
    }
};

// Both benches, and the device, connection and frame of the family named.
struct EitherBench {
    explicit EitherBench(const std::string& family) : isHlx(family == "HLX") {}
    CGatewayUtils& Device() { return isHlx ? static_cast<CGatewayUtils&>(hlx.device) : qpt.device; }
    ScriptedComms& Comms() { return isHlx ? hlx.comms : qpt.comms; }
    RecordingFrame& Frame() { return isHlx ? hlx.frame : qpt.frame; }
    HlxBench hlx;
    QptBench qpt;
    bool isHlx;
};

class DeviceReadingTest : public SerialListFixture {
protected:
    HlxBench hlx;
    QptBench qpt;
};

TEST_F(DeviceReadingTest, CommunicationModuleReadsInOrderAndPublishesAllValues) {
    EXPECT_TRUE(hlx.device.SetReleaseIds(true));
    EXPECT_EQ(hlx.comms.Sent(),
              (Lines{"get 0x20000000 0x0 128 10000", "get 0x10000000 0x0 128 10000",
                     "get 0x1000000 0x0 128 10000", "get 0x800 0x0 4 10000",
                     "get 0x200 0x0 128 10000", "get 0x80000000 0x0 128 10000"}));
    EXPECT_EQ(hlx.comms.Calls(), (Lines{"Connect", "Execute", "Execute", "Execute", "Execute",
                                        "Execute", "Execute", "Disconnect"}));
    EXPECT_EQ(hlx.frame.Values("HLX"),
              (Lines{"HLX0042", "R0.6.2", "R1.4", "KLEM_12345_R0.6.2", "KLEM_PROM_R1.4", "ER12",
                     "KLEM_BOOT_ER12", "R7", "R7", "KLEM_MAC_R3.1", "KLEM_MAC_R3.1"}));
    EXPECT_TRUE(m_diagnostics.MonitorHas("CPLD REV:0x00000007 VSI:0x00000000"));
    EXPECT_EQ(ReadFile(List()), "HLX0042,R0.6.2,R1.4,ER12\r\n");
    // A usable serial number is read only after a loaded-code release that trims; an unusable one
    // leaves the published value as it was.
    for (const Reply& serial : {Reply::Text(""), Reply::Text("UNKNOWN"), Reply::Error(8)}) {
        hlx.comms.Answer(kTransfer, kReqSerial, serial);
        hlx.frame.SetValue("HLX_SerialNum", "PREVIOUS", 512);
        EXPECT_TRUE(hlx.device.SetReleaseIds(true));
        EXPECT_EQ(hlx.frame.Value("HLX_SerialNum"), "PREVIOUS") << serial.bytes;
    }
    EXPECT_EQ(ReadFile(List()), "HLX0042,R0.6.2,R1.4,ER12\r\nPREVIOUS,R0.6.2,R1.4,ER12\r\n");
    // A loaded-code release that does not trim (which ones do is DeviceCommandsTest's).
    hlx.comms.Answer(kTransfer, kReqLoadedCode, Reply::Text("V1.2.3"));
    EXPECT_TRUE(hlx.device.SetReleaseIds(true));
    EXPECT_EQ(hlx.comms.Requests().back().requestType, kReqCable);  // not asked for
    EXPECT_EQ(hlx.frame.Value("HLX_SerialNum"), "Unknown");
    EXPECT_EQ(hlx.frame.Value("HLX_Release"), "V1.2.3");
    EXPECT_EQ(hlx.comms.Calls().back(), "Disconnect");
}

// Replies never leave the buffer.
TEST_F(DeviceReadingTest, MeasurementModuleReadsThreeDetailsAndPublishesFiveValues) {
    EXPECT_TRUE(qpt.device.SetReleaseIds(true));
    EXPECT_EQ(qpt.comms.Sent(), (Lines{"details 0x2 0x0 128 10000", "details 0x3 0x0 128 10000",
                                       "details 0x1 0x0 128 10000"}));
    EXPECT_EQ(qpt.comms.Calls(), (Lines{"Connect", "Execute", "Execute", "Execute", "Disconnect"}));
    // The serial number has no "Release ": published as read.
    EXPECT_EQ(qpt.frame.Values("QPT"),
              (Lines{"SN-77", "R3.2.0", "R1.4", "QPT Loaded Code Release 3.2.0",
                     "QPT PROM Release 1.4"}));
    // Only the loaded-code read decides; later failures publish empty texts.
    qpt.comms.Answer(kDetails, 3, Reply::Error(5));
    qpt.comms.Answer(kDetails, 1, Reply::Error(5));
    EXPECT_TRUE(qpt.device.SetReleaseIds(true));
    EXPECT_EQ(qpt.frame.Values("QPT"),
              (Lines{"", "R3.2.0", "", "QPT Loaded Code Release 3.2.0", ""}));
    // A reply that fills the buffer keeps all of it; a length claimed outside the buffer stays
    // inside it, and one beyond the reply stops at the end of the reply's text.
    qpt.comms.Answer(kDetails, 2, Reply::Text(std::string(128, 'A')));
    qpt.comms.Answer(kDetails, 3, Reply{std::string(128, 'B'), 0, 1000, {}});
    qpt.comms.Answer(kDetails, 1, Reply{"SN", 0, -3, {}});
    EXPECT_TRUE(qpt.device.SetReleaseIds(true));
    EXPECT_EQ(qpt.frame.Values("QPT"), (Lines{"", std::string(128, 'A'), std::string(128, 'B'),
                                              std::string(128, 'A'), std::string(128, 'B')}));
    qpt.comms.Answer(kDetails, 2, Reply{"QPT Release 2.0", 0, 400, {}});
    EXPECT_TRUE(qpt.device.SetReleaseIds(true));
    EXPECT_EQ(qpt.frame.Value("QPT_Release_Untrimmed"), "QPT Release 2.0");
}

// Nothing read gives NotConnected under every name, a failed reading (also in Connect) Unknown,
// published in the family's placeholder order and nothing else; neither is recorded in the
// serial-number list.
TEST_F(DeviceReadingTest, PlaceholdersWhenTheReadingGivesNothing) {
    const auto none = [](ScriptedComms&) {};
    const auto noConnection = [](ScriptedComms& c) { c.SetConnectResult(false); };
    const auto connectThrows = [](ScriptedComms& c) { c.ThrowOnConnect(5); };
    const auto loadedCodeFails = [](ScriptedComms& c) {  // the request of either family
        c.Answer(kTransfer, kReqLoadedCode, Reply::Error(3));
        c.Answer(kDetails, 2, Reply::Error(4));
    };
    const Lines failed = {"Connect", "Execute", "Disconnect"};
    // The family, whether the device is read, the script, the calls made, the placeholder.
    const std::tuple<std::string, bool, std::function<void(ScriptedComms&)>, Lines, const char*>
        cases[] = {{"HLX", false, none, {}, "NotConnected"},
                   {"HLX", true, noConnection, {"Connect", "Disconnect"}, "NotConnected"},
                   {"HLX", true, loadedCodeFails, failed, "Unknown"},
                   {"HLX", true, connectThrows, {"Connect"}, "Unknown"},
                   {"QPT", false, none, {}, "NotConnected"},
                   {"QPT", true, noConnection, {"Connect"}, "NotConnected"},
                   {"QPT", true, loadedCodeFails, failed, "Unknown"},
                   {"QPT", true, connectThrows, {"Connect"}, "Unknown"}};
    for (const auto& [family, readDevice, script, calls, placeholder] : cases) {
        SCOPED_TRACE(family + ::testing::PrintToString(calls));
        EitherBench bench(family);
        script(bench.Comms());
        EXPECT_FALSE(bench.Device().SetReleaseIds(readDevice));
        EXPECT_EQ(bench.Comms().Calls(), calls);
        EXPECT_EQ(bench.Frame().Published(), PublishedNames(family));
        EXPECT_EQ(bench.Frame().Values(family), Lines(PublishedNames(family).size(), placeholder));
    }
    EXPECT_FALSE(fs::exists(List()));
}

// An exception at each position of the longer request sequence, the one with the extra
// bootstrap read of a CPLD error other than 0, 1 and 4 (the fault matrix runs the usual one).
TEST_F(DeviceReadingTest, ExceptionAtEveryRequestGivesUnknownAndResultByReadDone) {
    for (size_t position = 0; position < 7; ++position) {
        SCOPED_TRACE(position);
        fs::remove(List());
        HlxBench local;
        local.comms.Answer(kTransfer, kReqCpld, Reply::Error(2));
        local.comms.AnswerAt(position, Reply::Throw(11));
        const bool readDone = position >= 2;  // the PROM read (position 1) had completed
        EXPECT_EQ(local.device.SetReleaseIds(true), readDone);
        EXPECT_EQ(local.comms.Requests().size(), position + 1);
        EXPECT_EQ(local.comms.Calls().back(), "Execute");  // no Disconnect after it
        EXPECT_EQ(local.frame.Values("HLX"), Lines(PublishedNames("HLX").size(), "Unknown"));
        EXPECT_EQ(ReadFile(List()), readDone ? "Unknown,Unknown,Unknown,Unknown\r\n" : "");
    }
}

// Anything else the connection throws (a standard exception, whatever its type, or anything at
// all) ends the reading as a comms failure does, but records nothing: false, Unknown under every
// name, no list line, and a monitor line naming it.
TEST_F(DeviceReadingTest, OtherExceptionsFromTheConnectionAreCommsFailures) {
    const std::pair<std::function<void()>, const char*> thrown[] = {
        {[] { throw std::runtime_error("socket gone"); }, "(socket gone)"},
        {[] { throw 42; }, "(unknown)"}};
    for (const auto& [toss, named] : thrown) {
        for (const std::string family : {"HLX", "QPT"}) {
            for (const size_t position : {0, 2}) {  // 2: the PROM has been read
                SCOPED_TRACE(family + " " + named + " at " + std::to_string(position));
                EitherBench bench(family);
                size_t count = 0;
                bench.Comms().SetResponder([&, &toss = toss](const RecordedRequest&) {
                    if (count++ == position) {
                        toss();
                    }
                    return std::optional<Reply>();
                });
                EXPECT_FALSE(bench.Device().SetReleaseIds(true));
                EXPECT_EQ(bench.Frame().Values(family),
                          Lines(PublishedNames(family).size(), "Unknown"));
                EXPECT_TRUE(m_diagnostics.MonitorHas(family + "Utils::SetReleaseIds: exception " +
                                                     named + ": read as a comms failure"));
            }
        }
    }
    EXPECT_FALSE(fs::exists(List()));
}

// Errors 1 and 4 mean a standard CPLD, 0 a revision (of exactly four bytes); any other error is
// decided by one more bootstrap read, whose value is not published.
TEST_F(DeviceReadingTest, CpldRevisionOrStandardCpld) {
    const char* const standard = "STANDARD BEXA CPLD";
    Reply otherError = Reply::Value32(9);
    otherError.error = 0xab;
    const std::tuple<Reply, std::optional<Reply>, const char*> cases[] = {
        {Reply::Value32(0xDEADBEEFu), {}, "R3735928559"},
        {Reply::Text(std::string("\x07\x00\x00", 3)), {}, "R0"},
        {Reply::Error(1), {}, standard},
        {Reply::Error(4), {}, standard},
        {otherError, {}, "R0"},
        {otherError, Reply::Error(6), standard}};
    for (const auto& [cpld, extraRead, value] : cases) {
        SCOPED_TRACE(std::string(value) + " error " + std::to_string(cpld.error));
        HlxBench local;
        local.comms.Answer(kTransfer, kReqCpld, cpld);
        if (extraRead) {
            local.comms.AnswerAt(4, *extraRead);
        }
        EXPECT_TRUE(local.device.SetReleaseIds(true));
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

// A communication-module reply's text ends at its length or at its first zero byte. A failed
// request, or a reply that leaves no room for a terminator or claims a length outside the
// buffer, gives an empty text; the reading goes on. A failed cable firmware read gives Unknown.
TEST_F(DeviceReadingTest, CommunicationModuleTextStaysInsideTheBuffer) {
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
        hlx.comms.ClearRecords();
        hlx.comms.Answer(kTransfer, kReqProm, reply);
        EXPECT_TRUE(hlx.device.SetReleaseIds(true));
        EXPECT_EQ(hlx.comms.Requests().size(), 6u);
        EXPECT_EQ(hlx.frame.Value("HLX_PROM_Release_Untrimmed"), text);
        EXPECT_EQ(hlx.frame.Value("HLX_SerialNum"), "HLX0042");
    }
    hlx.comms.Answer(kTransfer, kReqCable, Reply::Error(2));
    EXPECT_TRUE(hlx.device.SetReleaseIds(true));
    EXPECT_EQ(hlx.frame.Value("HLX_MAC_Firmware_Release"), "Unknown");
    EXPECT_EQ(hlx.frame.Value("HLX_MAC_Firmware_Release_Untrimmed"), "Unknown");
    EXPECT_TRUE(m_diagnostics.MonitorHas("Get cable firmware version failed."));
}

}  // namespace
}  // namespace gwu::test

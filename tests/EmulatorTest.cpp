// Tests of the emulated gateway: what each device answers to each request, the identity items
// and their storage, updates from device-load files, fault injection and scenario loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "Gateway.h"
#include "Scenario.h"

namespace {

namespace fs = std::filesystem;
using gwu::emu::Builder;
using gwu::emu::Gateway;
using gwu::emu::Outcome;
using gwu::emu::Request;
using gwu::emu::Response;
using gwu::emu::ScenarioError;

constexpr std::int32_t kLoaded = 0x20000000;
constexpr std::int32_t kProm = 0x10000000;
constexpr std::int32_t kBootstrap = 0x01000000;
constexpr std::int32_t kCable = 0x00000200;
constexpr std::int32_t kCpld = 0x00000800;
constexpr std::int32_t kSerial = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kMac = 0x00020000;
constexpr std::int32_t kSetSerial = 0x40000000;
constexpr std::int32_t kSetMac = 0x00001000;
constexpr std::int32_t kUpdate = 0x00400000;
constexpr std::int32_t kCableUpdate = 0x00000400;
constexpr std::int32_t kDeviceString = 0x00008000;
constexpr std::int32_t kReset = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kMsiReset = 0x01000000;

constexpr std::int32_t kEthernet = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kUsb = 0x40000000;
constexpr std::int32_t kFromStorage = 0x08000000;
constexpr std::int32_t kToStorage = 0x04000000;

constexpr const char* kDevice = R"({
  "communication": {
    "releases": {"loaded": "KLEM_12345_R4.2.1", "prom": "KLEM_PROM_R2.0.3",
                 "bootstrap": "KLEM_BOOT_R1.4.0", "cable": "KLEM_MAC_R3.1"},
    "cpld": {"revision": 16909063},
    "serial": "", "stored_serial": "HX1002\u00004",
    "ethernet_mac": "0050C2A1B234", "usb_mac": "0050C2A1B23\u0000"
  },
  "measurement": {"releases": {"loaded": "QPT Loaded Code Release 3.1.4",
                               "prom": "QPT PROM Release 1.8"}, "serial": "QP200117"}
})";

// The stored serial number of kDevice, with a damaged character.
std::string DamagedSerial() {
    return std::string("HX1002") + '\0' + "4";
}

Request Get(std::int32_t type, std::int32_t capacity = 128, std::int32_t flags = 0) {
    Request request;
    request.builder = Builder::VsiGetSerialNumber;
    request.type = type;
    request.capacity = capacity;
    request.flags = flags;
    request.data = std::string(static_cast<size_t>(std::clamp(capacity, 0, 128)), '\0');
    return request;
}

Request Set(std::int32_t type, const std::string& data, std::int32_t flags) {
    Request request;
    request.builder = Builder::VsiSetSerialNumber;
    request.type = type;
    request.flags = flags;
    request.capacity = static_cast<std::int32_t>(data.size());
    request.data = data;
    return request;
}

Request Details(std::int32_t detail, const std::string& path = {}) {
    Request request;
    request.builder = Builder::MsiGetCardDetails;
    request.type = detail;
    request.capacity = 128;
    request.data = path + std::string(128 - path.size(), '\0');
    return request;
}

Request ResetOf(Builder builder, std::int32_t type) {
    Request request;
    request.builder = builder;
    request.type = type;
    return request;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::unique_ptr<Gateway> Make(const std::string& json, const std::string& firmware = {}) {
    auto gateway = Gateway::FromScenarioText(json, "test.json", firmware);
    gateway->SelectCard("VCL");
    return gateway;
}

void ExpectReply(const Response& response, std::int32_t error, const std::string& bytes) {
    EXPECT_EQ(response.outcome, Outcome::Reply);
    EXPECT_EQ(response.error, error);
    EXPECT_EQ(response.bytes, bytes);
    EXPECT_FALSE(response.claimedLength.has_value());
}

// ---------------------------------------------------------------------------------------------
// Communication module

TEST(EmulatorCommunication, ReleaseTextsUpToTheRequestsRoomOrNotAvailable) {
    auto gateway = Make(kDevice);
    ExpectReply(gateway->Execute(Get(kLoaded)), 0, "KLEM_12345_R4.2.1");
    ExpectReply(gateway->Execute(Get(kProm)), 0, "KLEM_PROM_R2.0.3");
    ExpectReply(gateway->Execute(Get(kBootstrap)), 0, "KLEM_BOOT_R1.4.0");
    ExpectReply(gateway->Execute(Get(kCable)), 0, "KLEM_MAC_R3.1");
    ExpectReply(gateway->Execute(Get(kLoaded, 5)), 0, "KLEM_");
    ExpectReply(gateway->Execute(Get(kLoaded, -3)), 0, "");
    EXPECT_EQ(gateway->RequestCount(), 6);

    auto sparse = Make(R"({"communication": {"releases": {"loaded": "KLEM_1_R1"}}})");
    for (std::int32_t type : {kProm, kBootstrap, kCable, kCpld, kSerial}) {
        ExpectReply(sparse->Execute(Get(type)), gwu::emu::kErrorNotAvailable, "");
    }
    ExpectReply(sparse->Execute(Get(kMac, 12, kEthernet)), gwu::emu::kErrorNotAvailable, "");
}

TEST(EmulatorCommunication, CpldRevisionIsFourLittleEndianBytesOrTheScenariosError) {
    auto gateway = Make(kDevice);
    ExpectReply(gateway->Execute(Get(kCpld, 4)), 0, std::string("\x07\x03\x02\x01", 4));
    EXPECT_EQ(gateway->CpldRevision(), 0x01020307u);
    auto standard = Make(R"({"communication": {"cpld": {"error": 4}}})");
    ExpectReply(standard->Execute(Get(kCpld, 4)), 4, "");
    EXPECT_FALSE(standard->CpldRevision().has_value());
}

TEST(EmulatorCommunication, SerialNumberInUseOrFromStorageKeepsZeroBytes) {
    auto gateway = Make(kDevice);
    ExpectReply(gateway->Execute(Get(kSerial, 16)), 0, "");  // empty: error 0, nothing
    ExpectReply(gateway->Execute(Get(kSerial, 16, kFromStorage)), 0, DamagedSerial());
    ExpectReply(gateway->Execute(Get(kSerial, 4, kFromStorage)), 0, "HX10");
}

TEST(EmulatorCommunication, MacAddressChosenByFlag) {
    auto gateway = Make(kDevice);
    ExpectReply(gateway->Execute(Get(kMac, 12, kEthernet | kFromStorage)), 0, "0050C2A1B234");
    ExpectReply(gateway->Execute(Get(kMac, 12, kUsb | kFromStorage)), 0,
                std::string("0050C2A1B23\0", 12));
    ExpectReply(gateway->Execute(Get(kMac, 12, kEthernet)), 0, "0050C2A1B234");
    ExpectReply(gateway->Execute(Get(kMac, 12, 0)), gwu::emu::kErrorUnknownRequest, "");
    ExpectReply(gateway->Execute(Get(kMac, 12, kEthernet | kUsb)), gwu::emu::kErrorUnknownRequest,
                "");
}

TEST(EmulatorCommunication, WritesChangeItemsInUseAndOnlyTheStorageFlagCommitsThemAll) {
    auto gateway = Make(kDevice);
    ExpectReply(gateway->Execute(Set(kSetSerial, "HX100234", 0)), 0, "");
    ExpectReply(gateway->Execute(Set(kSetMac, "0050C2A1B235", kEthernet)), 0, "");
    EXPECT_EQ(gateway->Identity("serial"), "HX100234");
    EXPECT_EQ(gateway->Identity("stored_serial"), DamagedSerial());
    EXPECT_EQ(gateway->Identity("stored_ethernet_mac"), "0050C2A1B234");
    ExpectReply(gateway->Execute(Get(kMac, 12, kEthernet)), 0, "0050C2A1B235");

    ExpectReply(gateway->Execute(Set(kSetMac, "0050C2A1B236", kUsb | kToStorage)), 0, "");
    EXPECT_EQ(gateway->Identity("stored_serial"), "HX100234");
    EXPECT_EQ(gateway->Identity("stored_ethernet_mac"), "0050C2A1B235");
    EXPECT_EQ(gateway->Identity("stored_usb_mac"), "0050C2A1B236");
    ExpectReply(gateway->Execute(Get(kSerial, 16, kFromStorage)), 0, "HX100234");
}

TEST(EmulatorCommunication, WritesThatDoNotFitAreRefusedAndChangeNothing) {
    auto gateway = Make(kDevice);
    ExpectReply(gateway->Execute(Set(kSetSerial, std::string(17, 'H'), kToStorage)),
                gwu::emu::kErrorBadLength, "");
    ExpectReply(gateway->Execute(Set(kSetMac, "0050C2A1B23", kEthernet)), gwu::emu::kErrorBadLength,
                "");
    ExpectReply(gateway->Execute(Set(kSetMac, "0050C2A1B239", 0)), gwu::emu::kErrorUnknownRequest,
                "");
    ExpectReply(gateway->Execute(Set(0x1234, "x", 0)), gwu::emu::kErrorUnknownRequest, "");
    EXPECT_EQ(gateway->Identity("serial"), "");
    EXPECT_EQ(gateway->Identity("ethernet_mac"), "0050C2A1B234");
}

TEST(EmulatorCommunication, DeviceStringIsKeptAndOtherRequestsAnswerError7) {
    auto gateway = Make(kDevice);
    ExpectReply(gateway->Execute(Get(0x00000001)), gwu::emu::kErrorUnknownRequest, "");
    ExpectReply(gateway->Execute(Details(2)), gwu::emu::kErrorUnknownRequest, "");
    ExpectReply(gateway->Execute(ResetOf(Builder::MsiReset, kMsiReset)),
                gwu::emu::kErrorUnknownRequest, "");
    ExpectReply(gateway->Execute(ResetOf(Builder::VsiReset, 0x1)), gwu::emu::kErrorUnknownRequest,
                "");

    Request deviceString = Get(kDeviceString);
    deviceString.data = std::string("HELLO\0junk", 10) + std::string(118, '\0');
    ExpectReply(gateway->Execute(deviceString), 0, "");
    EXPECT_EQ(gateway->LastDeviceString(), "HELLO");
}

// ---------------------------------------------------------------------------------------------
// Updates: device-load files in the firmware folder

class EmulatorUpdate : public gwu::test::FolderFixture {
protected:
    std::unique_ptr<Gateway> MakeHere(const std::string& json) {
        return Make(json, Firmware().string());
    }
};

TEST_F(EmulatorUpdate, ResetAfterTheUpdateCommandLoadsEveryDeviceLoadFileOnce) {
    WriteRelease("HLX_LC.bin", "KLEM_12345_R4.3.0");
    WriteRelease("HLX_PROM.bin", "KLEM_PROM_R2.1.0");
    WriteRelease("HLX_CPLD.bin", "KLEM_CPLD_R12");
    WriteRelease("HLX_MAC.bin", "KLEM_MAC_R3.2");
    // No HLX_BOOT.bin: the bootstrap keeps its release.
    auto gateway = MakeHere(kDevice);

    ExpectReply(gateway->Execute(ResetOf(Builder::VsiReset, kReset)), 0, "");
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_12345_R4.2.1");  // nothing armed

    ExpectReply(gateway->Execute(Get(kUpdate, 1)), 0, "");
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_12345_R4.2.1");  // only on reset
    ExpectReply(gateway->Execute(ResetOf(Builder::VsiReset, kReset)), 0, "");
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_12345_R4.3.0");
    EXPECT_EQ(gateway->Release("VCL", "prom"), "KLEM_PROM_R2.1.0");
    EXPECT_EQ(gateway->Release("VCL", "bootstrap"), "KLEM_BOOT_R1.4.0");
    EXPECT_EQ(gateway->Release("VCL", "cable"), "KLEM_MAC_R3.2");
    EXPECT_EQ(gateway->CpldRevision(), 12u);
    ExpectReply(gateway->Execute(Get(kCpld, 4)), 0, std::string("\x0c\0\0\0", 4));

    // The update is disarmed by the reset that carried it out.
    WriteRelease("HLX_LC.bin", "KLEM_12345_R9.9.9");
    gateway->Execute(ResetOf(Builder::VsiReset, kReset));
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_12345_R4.3.0");
}

TEST_F(EmulatorUpdate, MalformedDeviceLoadFilesAreIgnored) {
    WriteFile(Firmware() / "HLX_LC.bin", "Release: KLEM_12345_R5\n");
    WriteFile(Firmware() / "HLX_PROM.bin", "Release-Id: " + std::string(128, 'P') + "\n");
    WriteRelease("HLX_CPLD.bin", "KLEM_CPLD_RX");  // no revision number
    auto gateway = MakeHere(R"({"communication": {"releases": {"loaded": "KLEM_1_R1",
                                "prom": "KLEM_P_R1"}, "cpld": {"error": 1}}})");
    gateway->Execute(Get(kUpdate, 1));
    gateway->Execute(ResetOf(Builder::VsiReset, kReset));
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_1_R1");
    EXPECT_EQ(gateway->Release("VCL", "prom"), "KLEM_P_R1");
    ExpectReply(gateway->Execute(Get(kCpld, 4)), 1, "");
}

TEST_F(EmulatorUpdate, CableFirmwareComesFromTheNamedHexImage) {
    CopySampleFirmware();
    auto gateway = MakeHere(kDevice);
    Request request = Get(kCableUpdate);
    const std::string hex = (Firmware() / "HLX_MAC.hex").string();
    request.data = hex + '\0';
    request.capacity = static_cast<std::int32_t>(request.data.size());
    WriteRelease("HLX_MAC.hex", "KLEM_MAC_R3.7");
    ExpectReply(gateway->Execute(request), 0, "");
    ExpectReply(gateway->Execute(Get(kCable)), 0, "KLEM_MAC_R3.7");

    request.data = (Firmware() / "missing.hex").string() + '\0';
    ExpectReply(gateway->Execute(request), gwu::emu::kErrorFile, "");
    WriteFile(Firmware() / "bad.hex", ":020000040000FA\n");
    request.data = (Firmware() / "bad.hex").string() + '\0';
    ExpectReply(gateway->Execute(request), gwu::emu::kErrorFile, "");
    EXPECT_EQ(gateway->Release("VCL", "cable"), "KLEM_MAC_R3.7");
}

TEST_F(EmulatorUpdate, MeasurementModuleDetailsPromFileAndReset) {
    auto gateway = MakeHere(kDevice);
    for (const char* name : {"QPT", "", "vcl"}) {  // any name but "VCL"
        gateway->SelectCard(name);
        ExpectReply(gateway->Execute(Details(1)), 0, "QP200117");
    }
    ExpectReply(gateway->Execute(Details(2)), 0, "QPT Loaded Code Release 3.1.4");
    ExpectReply(gateway->Execute(Details(3)), 0, "QPT PROM Release 1.8");
    ExpectReply(gateway->Execute(Details(4)), gwu::emu::kErrorUnknownRequest, "");
    ExpectReply(gateway->Execute(Get(kLoaded)), gwu::emu::kErrorUnknownRequest, "");

    WriteRelease("QPT_PROM.rel", "QPT PROM Release 1.9");
    ExpectReply(gateway->Execute(Details(9, (Firmware() / "QPT_PROM.rel").string())), 0, "");
    ExpectReply(gateway->Execute(Details(3)), 0, "QPT PROM Release 1.9");
    ExpectReply(gateway->Execute(Details(9, (Firmware() / "none.rel").string())),
                gwu::emu::kErrorFile, "");

    ExpectReply(gateway->Execute(ResetOf(Builder::MsiReset, kMsiReset)), 0, "");
    EXPECT_EQ(gateway->Release("QPT", "loaded"), "QPT Loaded Code Release 3.1.4");
    WriteRelease("QPT_LC.bin", "QPT Loaded Code Release 3.2.0");
    ExpectReply(gateway->Execute(ResetOf(Builder::MsiReset, kMsiReset)), 0, "");
    ExpectReply(gateway->Execute(Details(2)), 0, "QPT Loaded Code Release 3.2.0");
    // The communication module is a separate device.
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_12345_R4.2.1");
}

// ---------------------------------------------------------------------------------------------
// Faults

std::string WithFaults(const std::string& faults) {
    return R"({"communication": {"releases": {"loaded": "KLEM_1_R1"}, "serial": "HX100307"},
               "measurement": {"serial": "QP1"}, "faults": )" +
           faults + "}";
}

TEST(EmulatorFaults, NthCountsOnlyMatchingRequestsOfTheCardAndBuilder) {
    auto gateway = Make(WithFaults(
        R"([{"card": "VCL", "request": "0x80000000", "builder": "reset", "nth": 2,
             "kind": "throw", "error": 42}])"));
    const Request reset = ResetOf(Builder::VsiReset, kReset);
    ExpectReply(gateway->Execute(Get(kSerial)), 0, "HX100307");  // same type, other builder
    ExpectReply(gateway->Execute(reset), 0, "");
    gateway->SelectCard("QPT");
    ExpectReply(gateway->Execute(ResetOf(Builder::MsiReset, kSerial)),
                gwu::emu::kErrorUnknownRequest, "");  // other card
    gateway->SelectCard("VCL");
    const Response thrown = gateway->Execute(reset);
    EXPECT_EQ(thrown.outcome, Outcome::Throw);
    EXPECT_EQ(thrown.exceptionCode, 42);
    ExpectReply(gateway->Execute(reset), 0, "");  // once only
}

TEST(EmulatorFaults, RepeatHitsEveryMatchFromTheNthOn) {
    auto gateway = Make(WithFaults(
        R"([{"card": "QPT", "request": "1", "nth": 2, "repeat": true, "kind": "timeout"}])"));
    gateway->SelectCard("QPT");
    ExpectReply(gateway->Execute(Details(1)), 0, "QP1");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(gateway->Execute(Details(1)).outcome, Outcome::Timeout);
    }
}

TEST(EmulatorFaults, EachKindShapesTheAnswer) {
    auto gateway = Make(WithFaults(R"([
        {"card": "VCL", "request": "0x20000000", "nth": 1, "kind": "error", "error": 9},
        {"card": "VCL", "request": "0x20000000", "nth": 2, "kind": "short"},
        {"card": "VCL", "request": "0x20000000", "nth": 3, "kind": "oversize"},
        {"card": "VCL", "request": "0x20000000", "nth": 4, "kind": "disconnect"},
        {"card": "VCL", "request": "0x20000000", "nth": 5, "kind": "throw"},
        {"card": "VCL", "request": "0x20000000", "nth": 6, "kind": "oversize"}])"));
    ExpectReply(gateway->Execute(Get(kLoaded)), 9, "");
    ExpectReply(gateway->Execute(Get(kLoaded)), 0, "");

    const Response oversize = gateway->Execute(Get(kLoaded, 12));
    EXPECT_EQ(oversize.outcome, Outcome::Reply);
    EXPECT_EQ(oversize.error, 0);
    ASSERT_EQ(oversize.bytes.size(), 28u);
    EXPECT_EQ(oversize.bytes.substr(0, 9), "KLEM_1_R1");
    EXPECT_EQ(oversize.claimedLength, 28);

    EXPECT_EQ(gateway->Execute(Get(kLoaded)).outcome, Outcome::Disconnect);
    const Response thrown = gateway->Execute(Get(kLoaded));
    EXPECT_EQ(thrown.outcome, Outcome::Throw);
    EXPECT_EQ(thrown.exceptionCode, 1);
    // However much room a request claims, the padding stays bounded.
    const Response huge = gateway->Execute(Get(kLoaded, 0x7FFFFFFF));
    EXPECT_EQ(huge.bytes.size(), static_cast<size_t>(gwu::emu::kMaxReplyBytes) + 16);
    EXPECT_EQ(huge.claimedLength, 0x7FFFFFFF);
    ExpectReply(gateway->Execute(Get(kLoaded)), 0, "KLEM_1_R1");
}

TEST_F(EmulatorUpdate, AFaultedRequestChangesNoState) {
    WriteRelease("HLX_LC.bin", "KLEM_12345_R4.3.0");
    auto gateway = MakeHere(WithFaults(R"([
        {"card": "VCL", "request": "0x00400000", "kind": "short"},
        {"card": "VCL", "request": "0x40000000", "kind": "oversize"}])"));
    gateway->Execute(Get(kUpdate, 1));  // faulted: nothing armed
    gateway->Execute(ResetOf(Builder::VsiReset, kReset));
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_1_R1");
    const Response oversize = gateway->Execute(Set(kSetSerial, "HX999999", kToStorage));
    EXPECT_EQ(oversize.bytes, std::string(24, '#'));
    EXPECT_EQ(gateway->Identity("serial"), "HX100307");
    EXPECT_EQ(gateway->RequestCount(), 3);
}

// ---------------------------------------------------------------------------------------------
// Scenario files

struct RefusedCase {
    const char* json;
    const char* field;
    const char* reason;
};

TEST(ScenarioLoading, RefusedScenariosNameTheFileTheFieldAndTheReason) {
    const std::vector<RefusedCase> cases = {
        {"[1, 2]", "(root)", "expected an object"},
        {"{\"communication\": ", "(root)", "not valid JSON"},
        {R"({"comms": {}})", "comms", "unknown field"},
        {R"({"communication": {"releases": {"loaded": 5}}})", "communication.releases.loaded",
         "expected a string"},
        {R"({"communication": {"serial": "HX10030712345678X"}})", "communication.serial",
         "longer than 16 bytes"},
        {R"({"communication": {"usb_mac": "0050C2A1B2345"}})", "communication.usb_mac",
         "longer than 12 bytes"},
        {R"({"communication": {"cpld": {"revision": -1}}})", "communication.cpld.revision",
         "out of range"},
        {R"({"communication": {"cpld": {"revision": 4294967296}}})", "communication.cpld.revision",
         "out of range"},
        {R"({"communication": {"cpld": {"revision": 1.5}}})", "communication.cpld.revision",
         "expected an integer"},
        {R"({"communication": {"cpld": {}}})", "communication.cpld", "exactly one"},
        {R"({"communication": {"cpld": {"error": 0}}})", "communication.cpld.error",
         "must not be 0"},
        {R"({"measurement": []})", "measurement", "expected an object"},
        {R"({"faults": {}})", "faults", "expected an array"},
        {R"({"faults": [{"card": "VCL", "request": "0x2000000G", "kind": "error", "error": 1}]})",
         "faults[0].request", "not a hexadecimal number"},
        {R"({"faults": [{"card": "VCL", "request": "4294967296", "kind": "short"}]})",
         "faults[0].request", "does not fit 32 bits"},
        {R"({"faults": [{"card": "VCL", "request": "1", "kind": "short"},
                        {"card": "VCL", "request": "1", "kind": "explode"}]})",
         "faults[1].kind", "unknown kind \"explode\""},
        {R"({"faults": [{"card": "VCL", "request": "1", "kind": "error"}]})", "faults[0].error",
         "required for kind \"error\""},
        {R"({"faults": [{"card": "VCL", "request": "1", "kind": "short", "error": 2}]})",
         "faults[0].error", "only kinds"},
        {R"({"faults": [{"card": "VCL", "request": "1", "kind": "short", "nth": 0}]})",
         "faults[0].nth", "out of range"},
        {R"({"faults": [{"card": "VCL", "request": "1", "kind": "short", "builder": "details"}]})",
         "faults[0].builder", "measurement module"},
        {R"({"faults": [{"card": "QPT", "request": "1", "kind": "short", "builder": "get"}]})",
         "faults[0].builder", "communication module"},
        {R"({"faults": [{"request": "1", "kind": "short"}]})", "faults[0].card", "required"},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.json);
        try {
            Gateway::FromScenarioText(c.json, "bad.json", "");
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind(std::string("bad.json: ") + c.field + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        }
    }
}

TEST(ScenarioLoading, FilesThatCannotBeReadAreRefusedWithTheirName) {
    gwu::test::TempDir dir;
    const std::string missing = (dir.Path() / "missing.json").string();
    EXPECT_THROW(
        {
            try {
                Gateway::FromScenarioFile(missing, "");
            } catch (const ScenarioError& e) {
                EXPECT_EQ(std::string(e.what()), missing + ": (root): cannot be read");
                throw;
            }
        },
        ScenarioError);
    EXPECT_THROW(Gateway::FromScenarioFile(dir.Str(), ""), ScenarioError);  // a folder
    const std::string big = (dir.Path() / "big.json").string();
    WriteText(big, std::string(gwu::emu::kMaxScenarioFileBytes + 1, ' '));
    EXPECT_THROW(Gateway::FromScenarioFile(big, ""), ScenarioError);
}

TEST(ScenarioLoading, EverySampleScenarioLoadsAndTheLostSerialsAreDamaged) {
    const fs::path folder = fs::path(GWU_SAMPLE_DIR) / "scenarios";
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_NO_THROW(Gateway::FromScenarioFile(entry.path().string(), ""));
        ++count;
    }
    EXPECT_EQ(count, 9);
    auto silent = Gateway::FromScenarioFile((folder / "lost-serial-silent.json").string(), "");
    EXPECT_EQ(silent->Identity("serial"), "");
    EXPECT_EQ(silent->Identity("stored_serial"), DamagedSerial());
    auto typed = Gateway::FromScenarioFile((folder / "lost-serial-typed.json").string(), "");
    EXPECT_EQ(typed->Identity("stored_ethernet_mac"), std::string("0050C2A1C24\0", 12));
    auto legacy = Gateway::FromScenarioFile((folder / "legacy.json").string(), "");
    EXPECT_NE(legacy->Release("VCL", "loaded")->find(" DB"), std::string::npos);
}

}  // namespace

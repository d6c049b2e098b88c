// Tests of the emulated gateway: what each device answers to each request, the identity items
// and their storage, updates from device-load files, fault injection and latency.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "emulator/model/Gateway.h"
#include "emulator/scenario/Scenario.h"
#include "testsupport/Fixtures.h"

namespace {

using namespace gwu::emu;

// Communication-module request types and flags.
constexpr std::uint32_t kLoaded = 0x20000000, kProm = 0x10000000, kBootstrap = 0x01000000,
                        kCable = 0x00000200, kCpld = 0x00000800, kSerial = 0x80000000,
                        kMac = 0x00020000, kSetSerial = 0x40000000, kSetMac = 0x00001000,
                        kUpdate = 0x00400000, kCableUpdate = 0x00000400, kDeviceString = 0x00008000,
                        kReset = 0x80000000;
constexpr std::uint32_t kEthernet = 0x80000000, kUsb = 0x40000000, kFromStorage = 0x08000000,
                        kToStorage = 0x04000000;

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
const std::string kDamagedSerial = std::string("HX1002") + '\0' + "4";  // kDevice's stored one

Request Req(Builder builder, std::uint32_t type, std::uint32_t flags = 0,
            std::int32_t capacity = 128, std::string data = {}) {
    return {builder, static_cast<std::int32_t>(type), static_cast<std::int32_t>(flags), capacity,
            std::move(data)};
}
Request Get(std::uint32_t type, std::int32_t capacity = 128, std::uint32_t flags = 0) {
    return Req(Builder::VsiGetSerialNumber, type, flags, capacity);
}
Request Set(std::uint32_t type, const std::string& data, std::uint32_t flags) {
    return Req(Builder::VsiSetSerialNumber, type, flags, static_cast<std::int32_t>(data.size()),
               data);
}
Request Details(std::uint32_t detail, std::string path = {}) {
    return Req(Builder::MsiGetCardDetails, detail, 0, 128, std::move(path));
}

// A response as one comparable value: outcome, error, bytes, claimed length, exception code.
using Answer =
    std::tuple<Outcome, std::int32_t, std::string, std::optional<std::int32_t>, std::int32_t>;
Answer Of(const Response& r) {
    return {r.outcome, r.error, r.bytes, r.claimedLength, r.exceptionCode};
}
Answer Reply(std::int32_t error, std::string bytes = {}) {
    return {Outcome::Reply, error, std::move(bytes), std::nullopt, 0};
}
const Answer timeout{Outcome::Timeout, 0, "", std::nullopt, 0};

std::unique_ptr<Gateway> Make(const std::string& json, const std::string& firmware = {}) {
    auto gateway = Gateway::FromScenarioText(json, "test.json", firmware);
    gateway->SelectCard("VCL");
    return gateway;
}

// Requests in order, each to its gateway, and the answers they must get.
struct Step {
    Gateway* gateway;
    Request request;
    Answer answer;
};
void Expect(const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(Of(steps[i].gateway->Execute(steps[i].request)), steps[i].answer) << "step " << i;
    }
}

// ---------------------------------------------------------------------------------------------
// Communication module

// Each read answers the item's bytes up to the request's room, zero bytes included; error 5 for
// an item the scenario leaves out, the scenario's own CPLD error, error 7 for a request the
// module does not know. A write changes the item in use; the storage flag commits every item in
// use (an item not held in use keeps its stored copy); a refused write changes nothing.
TEST(EmulatorCommunication, EachRequestAnswersAndChangesTheItemsAsTheDeviceDoes) {
    auto device = Make(kDevice);
    auto cpldError = Make(R"({"communication": {"cpld": {"error": 4}}})");
    auto storedOnly = Make(R"({"communication": {"stored_serial": "HX1"}})");
    const std::string text("HELLO\0junk", 10);
    Expect({
        {device.get(), Get(kLoaded), Reply(0, "KLEM_12345_R4.2.1")},
        {device.get(), Get(kProm), Reply(0, "KLEM_PROM_R2.0.3")},
        {device.get(), Get(kBootstrap), Reply(0, "KLEM_BOOT_R1.4.0")},
        {device.get(), Get(kCable), Reply(0, "KLEM_MAC_R3.1")},
        {device.get(), Get(kLoaded, 5), Reply(0, "KLEM_")},
        {device.get(), Get(kLoaded, -3), Reply(0, "")},
        {device.get(), Get(kCpld, 4), Reply(0, "\x07\x03\x02\x01")},
        {device.get(), Get(kCpld, 2), Reply(0, "\x07\x03")},
        {cpldError.get(), Get(kCpld, 4), Reply(4)},
        {storedOnly.get(), Get(kCpld, 4), Reply(kErrorNotAvailable)},
        {storedOnly.get(), Get(kMac, 12, kUsb), Reply(kErrorNotAvailable)},
        {storedOnly.get(), Get(kSerial, 16), Reply(kErrorNotAvailable)},
        {device.get(), Get(kSerial, 16), Reply(0, "")},  // empty in use
        {device.get(), Get(kSerial, 16, kFromStorage), Reply(0, kDamagedSerial)},
        {device.get(), Get(kMac, 12, kUsb), Reply(0, std::string("0050C2A1B23\0", 12))},
        {device.get(), Get(kMac, 12, 0), Reply(kErrorUnknownRequest)},
        {device.get(), Get(kMac, 12, kEthernet | kUsb), Reply(kErrorUnknownRequest)},
        {device.get(), Get(0x00000001), Reply(kErrorUnknownRequest)},
        {device.get(), Details(2), Reply(kErrorUnknownRequest)},
        {device.get(), Req(Builder::MsiReset, 0x01000000), Reply(kErrorUnknownRequest)},
        {device.get(), Req(Builder::VsiReset, 0x00000001), Reply(kErrorUnknownRequest)},
        // Refused writes, each with the storage flag: nothing changes.
        {device.get(), Set(kSetSerial, std::string(17, 'H'), kToStorage), Reply(kErrorBadLength)},
        {device.get(), Set(kSetMac, "0050C2A1B23", kEthernet | kToStorage), Reply(kErrorBadLength)},
        {device.get(), Set(kSetMac, "0050C2A1B239", kToStorage), Reply(kErrorUnknownRequest)},
        {device.get(), Set(kSetMac, "0050C2A1B239", kEthernet | kUsb), Reply(kErrorUnknownRequest)},
        {device.get(), Set(0x1234, "x", kToStorage), Reply(kErrorUnknownRequest)},
        {device.get(), Get(kMac, 12, kEthernet), Reply(0, "0050C2A1B234")},
        // Writes in use, then one with the storage flag that commits them all.
        {device.get(), Set(kSetSerial, "HX100234ABCDEFGH", 0), Reply(0)},
        {device.get(), Set(kSetMac, "0050C2A1B235", kEthernet), Reply(0)},
        {device.get(), Get(kSerial, 16), Reply(0, "HX100234ABCDEFGH")},
        {device.get(), Get(kMac, 12, kEthernet), Reply(0, "0050C2A1B235")},
        {device.get(), Get(kSerial, 16, kFromStorage), Reply(0, kDamagedSerial)},
        {device.get(), Get(kMac, 12, kEthernet | kFromStorage), Reply(0, "0050C2A1B234")},
        {device.get(), Set(kSetMac, "0050C2A1B236", kUsb | kToStorage), Reply(0)},
        {device.get(), Get(kSerial, 16, kFromStorage), Reply(0, "HX100234ABCDEFGH")},
        {device.get(), Get(kMac, 12, kEthernet | kFromStorage), Reply(0, "0050C2A1B235")},
        {device.get(), Get(kMac, 12, kUsb | kFromStorage), Reply(0, "0050C2A1B236")},
        {storedOnly.get(), Set(kSetMac, "0050C2A1B237", kEthernet | kToStorage), Reply(0)},
        {storedOnly.get(), Get(kSerial, 16, kFromStorage), Reply(0, "HX1")},
        // The device string is kept up to its first zero byte.
        {device.get(), Req(Builder::VsiGetSerialNumber, kDeviceString, 0, 10, text), Reply(0)},
    });
    EXPECT_EQ(device->LastDeviceString(), "HELLO");
}

// ---------------------------------------------------------------------------------------------
// Updates: device-load files and named files in the firmware folder

class EmulatorUpdate : public gwu::test::FolderFixture {
protected:
    std::unique_ptr<Gateway> MakeHere(const std::string& json) {
        return Make(json, Firmware().string());
    }
    // A request's data naming a file of the firmware folder; the text ends at its zero byte.
    std::string Named(const char* file) const {
        return (Firmware() / file).string() + '\0' + "junk";
    }
};

// The update command arms the next reset, which loads every present and well-formed device-load
// file and disarms the update; the other code types keep their releases.
TEST_F(EmulatorUpdate, ResetAfterTheUpdateCommandLoadsTheDeviceLoadFilesOnce) {
    WriteRelease("HLX_LC.bin", "KLEM_12345_R4.3.0");
    WriteRelease("HLX_PROM.bin", "KLEM_PROM_R2.1.0");
    WriteRelease("HLX_CPLD.bin", "KLEM_CPLD_R12");
    WriteRelease("HLX_MAC.bin", "KLEM_MAC_R3.2");
    auto gateway = MakeHere(R"({"communication": {"releases": {"loaded": "KLEM_1_R1",
        "prom": "KLEM_P_R1", "bootstrap": "KLEM_B_R1"}, "cpld": {"error": 1}}})");
    const auto releases = [&] {  // each item's release, "-" for none, each followed by a space
        std::string items;
        for (const char* item : {"loaded", "prom", "bootstrap", "cable", "cpld"}) {
            items += gateway->Release("VCL", item).value_or("-") + " ";
        }
        return items;
    };
    const Request reset = Req(Builder::VsiReset, kReset);
    EXPECT_EQ(Of(gateway->Execute(reset)), Reply(0));  // nothing armed
    EXPECT_EQ(Of(gateway->Execute(Get(kUpdate, 1))), Reply(0));
    EXPECT_EQ(releases(), "KLEM_1_R1 KLEM_P_R1 KLEM_B_R1 - - ");
    EXPECT_EQ(Of(gateway->Execute(reset)), Reply(0));
    EXPECT_EQ(releases(), "KLEM_12345_R4.3.0 KLEM_PROM_R2.1.0 KLEM_B_R1 KLEM_MAC_R3.2 12 ");
    EXPECT_EQ(Of(gateway->Execute(Get(kCpld, 4))), Reply(0, std::string("\x0c\0\0\0", 4)));

    // The reset disarmed the update; the next one skips malformed files.
    const std::string longest(127, 'L');
    WriteRelease("HLX_LC.bin", longest);
    WriteFile(Firmware() / "HLX_PROM.bin", "Release-Id: " + std::string(128, 'P') + "\n");
    WriteFile(Firmware() / "HLX_MAC.bin", "Release: KLEM_MAC_R5\n");
    WriteRelease("HLX_CPLD.bin", "KLEM_CPLD_RX");  // no revision number
    gateway->Execute(reset);
    EXPECT_EQ(gateway->Release("VCL", "loaded"), "KLEM_12345_R4.3.0");
    gateway->Execute(Get(kUpdate, 1));
    gateway->Execute(reset);
    EXPECT_EQ(releases(), longest + " KLEM_PROM_R2.1.0 KLEM_B_R1 KLEM_MAC_R3.2 12 ");
}

// Any card name but "VCL", and no selection at all, is the measurement module: its details,
// error 7 for anything else, its PROM from the file a request names and its loaded code from its
// device-load file on reset. The cable firmware too loads from a named file; a missing or
// malformed file answers error 2 and changes nothing.
TEST_F(EmulatorUpdate, MeasurementModuleAndReleasesFromNamedFiles) {
    auto qpt = Gateway::FromScenarioText(kDevice, "test.json", Firmware().string());
    EXPECT_EQ(Of(qpt->Execute(Details(1))), Reply(0, "QP200117"));  // nothing selected yet
    for (const char* name : {"vcl", "QPT"}) {
        qpt->SelectCard(name);
        EXPECT_EQ(Of(qpt->Execute(Details(1))), Reply(0, "QP200117")) << name;
    }
    auto vcl = MakeHere(kDevice);
    const Request reset = Req(Builder::MsiReset, 0x01000000);
    const auto cable = [&](const char* file) {
        return Req(Builder::VsiGetSerialNumber, kCableUpdate, 0, 128, Named(file));
    };
    WriteRelease("HLX_MAC.hex", "KLEM_MAC_R3.7");
    WriteRelease("QPT_PROM.rel", "QPT PROM Release 1.9");
    WriteFile(Firmware() / "bad.hex", ":020000040000FA\n");
    Expect({
        {qpt.get(), Details(4), Reply(kErrorUnknownRequest)},
        {qpt.get(), Get(kLoaded), Reply(kErrorUnknownRequest)},
        {qpt.get(), Req(Builder::VsiReset, kReset), Reply(kErrorUnknownRequest)},
        {qpt.get(), Req(Builder::MsiReset, 0x00000001), Reply(kErrorUnknownRequest)},
        {qpt.get(), reset, Reply(0)},
        {qpt.get(), Details(2), Reply(0, "QPT Loaded Code Release 3.1.4")},  // no QPT_LC.bin
        {qpt.get(), Details(9, Named("missing.rel")), Reply(kErrorFile)},
        {qpt.get(), Details(9, Named("bad.hex")), Reply(kErrorFile)},
        {qpt.get(), Details(3), Reply(0, "QPT PROM Release 1.8")},
        {qpt.get(), Details(9, Named("QPT_PROM.rel")), Reply(0)},
        {qpt.get(), Details(3), Reply(0, "QPT PROM Release 1.9")},
        {vcl.get(), cable("missing.hex"), Reply(kErrorFile)},
        {vcl.get(), cable("bad.hex"), Reply(kErrorFile)},
        {vcl.get(), Get(kCable), Reply(0, "KLEM_MAC_R3.1")},
        {vcl.get(), cable("HLX_MAC.hex"), Reply(0)},
        {vcl.get(), Get(kCable), Reply(0, "KLEM_MAC_R3.7")},
    });
    WriteRelease("QPT_LC.bin", "QPT Loaded Code Release 3.2.0");
    EXPECT_EQ(Of(qpt->Execute(reset)), Reply(0));
    EXPECT_EQ(Of(qpt->Execute(Details(2))), Reply(0, "QPT Loaded Code Release 3.2.0"));
    EXPECT_EQ(qpt->Release("VCL", "loaded"), "KLEM_12345_R4.2.1");  // a separate device
}

// ---------------------------------------------------------------------------------------------
// Faults

// Each kind's exact answer, whatever room the request claims. A rule counts only requests of its
// card, its request type (every type for "any") and (when given) its builder, and hits the nth of
// them once, or every one from the nth on when it repeats. A faulted request is counted but
// changes no state.
TEST_F(EmulatorUpdate, FaultsHitTheNthMatchingRequestAndChangeNoState) {
    WriteRelease("HLX_LC.bin", "KLEM_12345_R4.3.0");
    auto gateway = MakeHere(R"({"communication": {"releases": {"loaded": "KLEM_1_R1"},
        "serial": "HX100307"}, "measurement": {"serial": "QP1"}, "faults": [
        {"card": "VCL", "request": "0x20000000", "nth": 1, "kind": "error", "error": 9},
        {"card": "VCL", "request": "0x20000000", "nth": 2, "kind": "short"},
        {"card": "VCL", "request": "0x20000000", "nth": 3, "kind": "oversize"},
        {"card": "VCL", "request": "0x20000000", "nth": 4, "kind": "disconnect"},
        {"card": "VCL", "request": "0x20000000", "nth": 5, "kind": "throw"},
        {"card": "VCL", "request": "0x20000000", "nth": 6, "kind": "timeout"},
        {"card": "VCL", "request": "0x20000000", "nth": 7, "kind": "oversize"},
        {"card": "VCL", "request": "0x00400000", "kind": "short"},
        {"card": "VCL", "request": "0x40000000", "kind": "oversize"},
        {"card": "VCL", "request": "0x80000000", "builder": "reset", "nth": 2, "kind": "throw",
         "error": 42},
        {"card": "QPT", "request": "1", "nth": 2, "repeat": true, "kind": "timeout"},
        {"card": "VCL", "request": "0xabCD", "kind": "error", "error": 3},
        {"card": "VCL", "request": "43981", "kind": "short"},
        {"card": "VCL", "request": "any", "builder": "set", "nth": 2, "kind": "error",
         "error": 8}]})");
    const std::string loaded = "KLEM_1_R1";
    const std::string padded = loaded + std::string(kMaxReplyBytes + 16 - 9, '#');
    const Request reset = Req(Builder::VsiReset, kReset);
    const std::tuple<const char*, Request, Answer> cases[] = {
        {"QPT", Details(kLoaded), Reply(kErrorUnknownRequest)},  // another card
        {"VCL", Get(kLoaded), Reply(9)},
        {"VCL", Get(kLoaded), Reply(0)},
        {"VCL", Get(kLoaded, 12), {Outcome::Reply, 0, loaded + std::string(19, '#'), 28, 0}},
        {"VCL", Get(kLoaded), {Outcome::Disconnect, 0, "", std::nullopt, 0}},
        {"VCL", Get(kLoaded), {Outcome::Throw, 0, "", std::nullopt, 1}},
        {"VCL", Get(kLoaded), timeout},
        {"VCL", Get(kLoaded, 0x7FFFFFFF), {Outcome::Reply, 0, padded, 0x7FFFFFFF, 0}},
        {"VCL", Get(kLoaded), Reply(0, loaded)},
        {"VCL", Get(kUpdate, 1), Reply(0)},
        {"VCL",
         Set(kSetSerial, "HX999999", kToStorage),
         {Outcome::Reply, 0, std::string(24, '#'), 24, 0}},
        {"VCL", Set(kSetMac, "0050C2A1B239", kEthernet), Reply(8)},  // the second write of any type
        {"VCL", Get(kSerial), Reply(0, "HX100307")},                 // not the reset rule's builder
        {"VCL", reset, Reply(0)},
        {"QPT", Details(1), Reply(0, "QP1")},
        {"QPT", Details(1), timeout},
        {"QPT", Details(1), timeout},
        {"VCL", reset, {Outcome::Throw, 0, "", std::nullopt, 42}},
        {"VCL", reset, Reply(0)},
        {"VCL", Get(kLoaded), Reply(0, loaded)},  // the faulted update armed nothing
        {"VCL", Get(0xABCD), Reply(3)},           // the first rule listed that is due
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [card, request, expected] = cases[i];
        gateway->SelectCard(card);
        EXPECT_EQ(Of(gateway->Execute(request)), expected) << "case " << i;
    }
    EXPECT_EQ(gateway->RequestCount(), static_cast<int>(std::size(cases)));
}

// Random faults: a listed rule that is due wins; the other requests are faulted as the seed
// draws, every kind alike and about as often as asked; the same seed gives the same faults; the
// observer sees each one.
TEST(EmulatorFaults, RandomFaultsFollowTheSeedAndTheObserverSeesEach) {
    const auto run = [](int seed, double probability) {
        auto gateway =
            Make(R"({"communication": {"releases": {"loaded": "KLEM_1_R1"}},
            "faults": [{"card": "VCL", "request": "any", "kind": "short"}],
            "random_faults": {"probability": )" +
                 std::to_string(probability) + R"(, "seed": )" + std::to_string(seed) + "}}");
        std::map<std::string, int> kinds;
        gateway->SetFaultObserver([&kinds](const FaultRule& fault, const Request&, bool) {
            ++kinds[FaultKindName(fault.kind)];
        });
        std::string answers;  // '.' the device's own answer, 'x' a fault's
        for (int i = 0; i < 3000; ++i) {
            answers += Of(gateway->Execute(Get(kLoaded))) == Reply(0, "KLEM_1_R1") ? '.' : 'x';
        }
        return std::pair(kinds, answers);
    };
    auto [kinds, answers] = run(7, 0.1);
    EXPECT_EQ(run(7, 0.1), std::pair(kinds, answers));
    EXPECT_NE(run(8, 0.1).second, answers);
    EXPECT_EQ(answers[0], 'x');  // the listed rule
    int observed = 0;
    for (const char* kind : {"throw", "error", "timeout", "short", "oversize", "disconnect"}) {
        EXPECT_GT(kinds[kind], 20) << kind;
        observed += kinds[kind];
    }
    EXPECT_EQ(observed, std::count(answers.begin(), answers.end(), 'x'));
    EXPECT_GT(observed, 200);
    EXPECT_LT(observed, 400);
    EXPECT_EQ(run(7, 0).second, "x" + std::string(2999, '.'));
    EXPECT_EQ(run(7, 1).second, std::string(3000, 'x'));
}

// Every request of either card waits the scenario's latency, or its type's own; one whose
// latency is above its (non-zero) timeout times out after the timeout and changes nothing. A
// fault keeps its outcome and waits too, at most the timeout; a timeout fault is silent at once.
TEST(EmulatorLatency, RequestsWaitTheirLatencyOrTimeOut) {
    auto gateway = Make(R"({"communication": {"serial": "HX1"}, "measurement": {"serial": "QP1"},
        "latency_ms": 150, "request_latency_ms": {"0x40000000": 20000, "1": 40}, "faults": [
        {"card": "VCL", "request": "0x00400000", "repeat": true, "kind": "error", "error": 9},
        {"card": "VCL", "request": "0x00008000", "kind": "timeout"}]})");
    const std::tuple<const char*, Request, std::uint32_t, Answer, std::uint32_t> cases[] = {
        {"VCL", Get(kSerial, 16), 10000, Reply(0, "HX1"), 150},
        {"VCL", Get(kSerial, 16), 150, Reply(0, "HX1"), 150},
        {"VCL", Get(kSerial, 16), 149, timeout, 149},
        {"VCL", Set(kSetSerial, "HX2", 0), 0, Reply(0), 20000},  // no timeout to exceed
        {"VCL", Set(kSetSerial, "HX3", 0), 10000, timeout, 10000},
        {"VCL", Get(kSerial, 16), 10000, Reply(0, "HX2"), 150},  // HX3 never written
        {"VCL", Get(kUpdate, 1), 10000, Reply(9), 150},
        {"VCL", Get(kUpdate, 1), 100, Reply(9), 100},
        {"VCL", Get(kDeviceString), 10000, timeout, 0},
        {"QPT", Details(1), 10000, Reply(0, "QP1"), 40},
        {"QPT", Details(1), 39, timeout, 39},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto [card, request, timeoutMs, expected, delayMs] = cases[i];
        request.timeoutMs = timeoutMs;
        gateway->SelectCard(card);
        const Response response = gateway->Execute(request);
        EXPECT_EQ(std::pair(Of(response), response.delayMs), std::pair(expected, delayMs))
            << "case " << i;
    }
}

}  // namespace

// Every device operation (of the communication module's five updates, which send the same
// requests, two) with a fault at every request position, placed by the emulated gateway's
// scenario: a comms exception, an error code, a timeout, a reply of length 0, a reply longer than
// the buffer and a connection that drops for good. Each run goes both in process and over
// loopback TCP to the gateway as gwemu serves it, and ends alike on both. Whatever happens,
// nothing escapes the library, a connection failure ends the sequence, and the result is the
// documented one.
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "repair/CHLXSerialNumRepair.h"
#include "testsupport/EmulatedDevice.h"
#include "testsupport/Fixtures.h"
#include "testsupport/RecordingFrame.h"

namespace gwu::test {
namespace {

// The kinds of fault, as the scenario names them.
const std::string kFaults[] = {"throw", "error", "timeout", "short", "oversize", "disconnect"};

bool EndsTheSequence(const std::string& fault) {
    return fault == "throw" || fault == "timeout" || fault == "disconnect";
}

// A healthy communication and measurement module, as far as these operations ask. The serial
// number is lost in use: the repair has work to do.
constexpr const char* kHealthyScenario = R"({
  "communication": {
    "releases": {"loaded": "KLEM_1_R1.0", "prom": "KLEM_1_R1.0", "bootstrap": "KLEM_1_R1.0",
                 "cable": "KLEM_1_R1.0"},
    "cpld": {"revision": 7},
    "serial": "", "stored_serial": "HX100234",
    "ethernet_mac": "0050C2A1B234", "usb_mac": "0050C2A1B235"
  },
  "measurement": {"releases": {"loaded": "QPT Release 3.2.0", "prom": "QPT Release 3.2.0"},
                  "serial": "QP1"}
})";

struct Operation {
    const char* name;
    const char* card;  // the card the device is behind ("VCL": the communication module)
    // Runs the operation on a fresh device object; returns its result (true when it has none).
    std::function<bool(CBaseComms&, RecordingFrame&)> run;
    // Whether the result is the documented one for this fault at this position.
    std::function<bool(bool result, const std::string& fault, size_t position, RecordingFrame&)>
        expected;
    // Within its first requests a connection failure ends the operation's sequence: nothing
    // is sent after it. (The repair's own commands go through a callback that turns a failure
    // into a failed command, so the repair goes on.)
    size_t endsOnFailureWithin = std::numeric_limits<size_t>::max();
};

bool AllUnknown(const RecordingFrame& frame, const std::string& family) {
    return frame.Values(family) == Lines(PublishedNames(family).size(), "Unknown");
}

// The device object's own operation, with its arguments; true for one without a result.
template <typename Result, typename Device, typename... Arguments>
std::function<bool(CBaseComms&, RecordingFrame&)> Call(Result (Device::*operation)(Arguments...),
                                                       Arguments... arguments) {
    return [=](CBaseComms& comms, RecordingFrame& frame) {
        Device device(&comms, &frame);
        if constexpr (std::is_void_v<Result>) {
            (device.*operation)(arguments...);
            return true;
        } else {
            return (device.*operation)(arguments...);
        }
    };
}

// An update: a connection failure at the update command or the reset is false; anything the
// device answers is not looked at.
bool UpdateResult(bool result, const std::string& fault, size_t, RecordingFrame&) {
    return result == !EndsTheSequence(fault);
}

// The operations, each with its documented outcome of each fault at each position.
const std::vector<Operation>& Operations() {
    static const std::vector<Operation> operations = {
        {"HLX SetReleaseIds", "VCL", Call(&CHLXUtils::SetReleaseIds, true),
         [](bool result, const std::string& fault, size_t position, RecordingFrame& frame) {
             if (EndsTheSequence(fault) && position <= 5) {  // the reading's own requests
                 return AllUnknown(frame, "HLX") && result == (position >= 2);
             }
             if (fault == "error" && position == 0) {
                 return AllUnknown(frame, "HLX") && !result;
             }
             return result;
         },
         6},
        {"QPT SetReleaseIds", "QPT", Call(&CQPTUtils::SetReleaseIds, true),
         [](bool result, const std::string& fault, size_t position, RecordingFrame& frame) {
             if (EndsTheSequence(fault) || (fault == "error" && position == 0)) {
                 return AllUnknown(frame, "QPT") && !result;
             }
             return result;
         },
         3},
        // The other three updates of the communication module differ from these two only in the
        // release they place before the same two requests.
        {"HLX UpdateBCF", "VCL", Call(&CHLXUtils::UpdateBCF), UpdateResult},
        {"HLX UpdatePROM", "VCL", Call(&CHLXUtils::UpdatePROM), UpdateResult},
        {"QPT UpdateBCF", "QPT", Call(&CQPTUtils::UpdateBCF), UpdateResult},
        {"QPT UpdatePROM", "QPT", Call(&CQPTUtils::UpdatePROM),
         [](bool result, const std::string& fault, size_t, RecordingFrame&) {
             return result == (fault == "short" || fault == "oversize");
         }},
        {"HLX UpdateActiveCableFirmware", "VCL", Call(&CHLXUtils::UpdateActiveCableFirmware),
         [](bool, const std::string&, size_t, RecordingFrame&) { return true; }},
        {"repair", "VCL",
         [](CBaseComms& comms, RecordingFrame& frame) {
             CHLXUtils device(&comms, &frame);  // its comms callback, as its reading repairs
             CHLXSerialNumRepair repair(
                 nullptr, [&device](CSubStream& command, int timeout, bool first, bool second) {
                     return device.HLXCommsCallback(command, timeout, first, second);
                 });
             return repair.RepairSerialNumber();
         },
         [](bool result, const std::string& fault, size_t position, RecordingFrame&) {
             // The silent repair reads four items (the serial in use fails by design, the
             // stored copy answers) and writes the serial number. A failed read ends it.
             if (position >= 1 && position <= 3 && fault != "oversize") {
                 return !result;
             }
             if (fault == "disconnect" && position == 0) {
                 return !result;  // nothing after it answers
             }
             return result;
         },
         0},
    };
    return operations;
}

// What a run of an operation did: its result, how many requests reached the device, the values
// it published.
struct RunResult {
    bool result = false;
    size_t requests = 0;
    Lines values;
};

class FaultMatrixTest : public FolderFixture {
protected:
    void SetUp() override {
        CopySampleFirmware();
        WriteFile(Runtime() / "DeployedHLXs.ini", "[HLXSerialNumbers]\nHX100234,0050C2A1B234\n");
    }

    // Runs the operation on a fresh gateway with the fault, if any, at the position.
    RunResult Run(const Operation& operation, const std::optional<std::string>& fault,
                  size_t position, bool tcp) const {
        nlohmann::json scenario = nlohmann::json::parse(kHealthyScenario);
        if (fault) {  // at the card's request at that position, whatever its type
            nlohmann::json rule = {{"card", operation.card},
                                   {"request", "any"},
                                   {"nth", position + 1},
                                   {"repeat", *fault == "disconnect"},  // every later one too
                                   {"kind", *fault}};
            if (*fault == "throw" || *fault == "error") {
                rule["error"] = *fault == "throw" ? 5 : 6;
            }
            scenario["faults"] = {rule};
        }
        EmulatedDevice device(scenario.dump(), tcp, Firmware().string());
        device.Comms().SelectCard(operation.card);
        RecordingFrame frame;
        CHLXSerialNumRepair::ResetRepairCountForTesting();  // every run may repair
        const bool result = operation.run(device.Comms(), frame);
        if (fault) {
            EXPECT_TRUE(operation.expected(result, *fault, position, frame)) << result;
        }
        return {result, static_cast<size_t>(device.Gateway().RequestCount()),
                frame.Values(*operation.card == 'V' ? "HLX" : "QPT")};
    }
};

// Over TCP the socket shows what the in-process connection only reports: a timeout is a reply
// that never comes (the connection waits out the request's timeout, scaled down here, then drops
// the socket), a drop closes the socket, and the connection opens a new one, with the card
// selected again, for the next request. The outcomes stay the documented ones: the repair, which
// goes on after a failed command, reaches the same device anew.
TEST_F(FaultMatrixTest, EveryOperationSurvivesEveryFaultAtEveryRequest) {
    const ScopedEnv timeoutScale("GWU_TIMEOUT_SCALE", "0.01");  // 10 s become 100 ms
    for (const Operation& operation : Operations()) {
        SCOPED_TRACE(operation.name);
        const RunResult healthy = Run(operation, std::nullopt, 0, false);
        ASSERT_TRUE(healthy.result);
        ASSERT_GT(healthy.requests, 0u);
        // Whatever the connection, the device sees the same requests: the positions match.
        ASSERT_EQ(Run(operation, std::nullopt, 0, true).requests, healthy.requests);
        for (size_t position = 0; position < healthy.requests; ++position) {
            for (const std::string& fault : kFaults) {
                SCOPED_TRACE("request " + std::to_string(position) + ", " + fault);
                // An exception out of the library fails the test as it escapes Run.
                const RunResult inProcess = Run(operation, fault, position, false);
                const RunResult overTcp = Run(operation, fault, position, true);
                EXPECT_GT(inProcess.requests, position) << "the fault was never reached";
                if (EndsTheSequence(fault) && position < operation.endsOnFailureWithin) {
                    EXPECT_EQ(inProcess.requests, position + 1)
                        << "requests sent after a connection failure";
                }
                EXPECT_EQ(overTcp.result, inProcess.result);
                EXPECT_EQ(overTcp.requests, inProcess.requests);
                EXPECT_EQ(overTcp.values, inProcess.values);
            }
        }
    }
}

}  // namespace
}  // namespace gwu::test

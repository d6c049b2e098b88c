// Every device operation with a fault at every request position: a comms exception, an error
// code, a timeout, a reply of length 0, a reply longer than the buffer and a connection that
// drops for good. The same operations and expectations run twice: through the scripted
// connection, and over loopback TCP to the emulated gateway as gwemu serves it, the fault placed
// by the gateway's scenario. Whatever happens, nothing escapes the library, a connection failure
// ends the sequence, and the result is the documented one.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "connections/EmulatorConnection.h"
#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "emulator/TcpServer.h"
#include "host/MemoryValueStore.h"
#include "repair/CHLXSerialNumRepair.h"
#include "testsupport/Fixtures.h"
#include "testsupport/ScriptedComms.h"

namespace gwu::test {
namespace {

enum class Fault { Throw, Error, Timeout, Short, Oversize, Disconnect };
constexpr Fault kFaults[] = {Fault::Throw, Fault::Error,    Fault::Timeout,
                             Fault::Short, Fault::Oversize, Fault::Disconnect};
// The emulated gateway's names of the kinds.
constexpr const char* kFaultNames[] = {"throw", "error",    "timeout",
                                       "short", "oversize", "disconnect"};

bool EndsTheSequence(Fault fault) {
    return fault == Fault::Throw || fault == Fault::Timeout || fault == Fault::Disconnect;
}

// A healthy communication and measurement module, as far as these operations ask.
std::optional<Reply> HealthyDevice(const RecordedRequest& request) {
    switch (request.kind) {
        case SubRequestKind::VsiReset:
        case SubRequestKind::MsiReset:
        case SubRequestKind::VsiSetSerialNumber:
            return Reply{};
        case SubRequestKind::MsiGetCardDetails:
            return request.requestType == 1 ? Reply::Text("QP1") : Reply::Text("QPT Release 3.2.0");
        case SubRequestKind::VsiGetSerialNumber:
            break;
    }
    switch (static_cast<unsigned>(request.requestType)) {
        case 0x00000800u:
            return Reply::Value32(7);
        case 0x80000000u:  // the serial number, lost in use: the repair has work to do
            return request.flags == 0 ? Reply::Text("") : Reply::Text("HX100234");
        case 0x00020000u:
            return Reply::Text((request.flags & 0x40000000) != 0 ? "0050C2A1B235" : "0050C2A1B234");
        default:
            return Reply::Text("KLEM_1_R1.0");
    }
}

// The same healthy device as a scenario of the emulated gateway.
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

constexpr int kThrownCode = 5;  // the comms exception of Fault::Throw
constexpr int kErrorCode = 6;   // the device error of Fault::Error

// The scripted answer that puts the fault on one request, as the real connections report it.
Reply Faulty(Fault fault, const RecordedRequest& request) {
    switch (fault) {
        case Fault::Throw:
            return Reply::Throw(kThrownCode);
        case Fault::Error:
            return Reply::Error(kErrorCode);
        case Fault::Timeout:
            return Reply::Throw(host::kCommsTimeout);
        case Fault::Short:
            return Reply{};
        case Fault::Oversize: {
            Reply reply = *HealthyDevice(request);
            reply.bytes.resize(static_cast<size_t>(request.length) + 16, '#');
            reply.length = request.length + 16;
            return reply;
        }
        case Fault::Disconnect:
            return Reply::Throw(host::kCommsReset);
    }
    return Reply{};
}

// The emulated gateway's fault rule with the same effect: the request of the card at that
// position, whatever its type. A drop for good drops every later request too.
nlohmann::json FaultRule(const char* card, Fault fault, size_t position) {
    nlohmann::json rule = {{"card", card},
                           {"request", "any"},
                           {"nth", position + 1},
                           {"repeat", fault == Fault::Disconnect},
                           {"kind", kFaultNames[static_cast<int>(fault)]}};
    if (fault == Fault::Throw || fault == Fault::Error) {
        rule["error"] = fault == Fault::Throw ? kThrownCode : kErrorCode;
    }
    return rule;
}

struct Operation {
    const char* name;
    const char* card;  // the card the device is behind ("VCL": the communication module)
    // Runs the operation on a fresh device object; returns its result (true when it has none).
    std::function<bool(CBaseComms&, host::Frame&)> run;
    // Whether the result is the documented one for this fault at this position.
    std::function<bool(bool result, Fault fault, size_t position, host::Frame&)> expected;
    // Within its first requests a connection failure ends the operation's sequence: nothing
    // is sent after it. (The repair's own commands go through a callback that turns a failure
    // into a failed command, so the repair goes on.)
    size_t endsOnFailureWithin = std::numeric_limits<size_t>::max();
};

bool AllUnknown(host::Frame& frame, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        CString value;
        frame.Store().GetValue(name, &value, 512);
        if (value != "Unknown") {
            return false;
        }
    }
    return true;
}

const std::vector<std::string> kHlxNames = {"HLX_SerialNum",    "HLX_Release",
                                            "HLX_PROM_Release", "HLX_Bootstrap_Release",
                                            "HLX_CPLD_Release", "HLX_MAC_Firmware_Release"};
const std::vector<std::string> kQptNames = {"QPT_SerialNum", "QPT_Release", "QPT_PROM_Release"};

template <typename Device>
std::function<bool(CBaseComms&, host::Frame&)> RunUpdate(bool (Device::*operation)()) {
    return [operation](CBaseComms& comms, host::Frame& frame) {
        Device device(&comms, &frame);
        return (device.*operation)();
    };
}

// An update: a connection failure at the update command or the reset is false; anything the
// device answers is not looked at.
bool UpdateResult(bool result, Fault fault, size_t, host::Frame&) {
    return result == !EndsTheSequence(fault);
}

// The operations, each with its documented outcome of each fault at each position.
const std::vector<Operation>& Operations() {
    static const std::vector<Operation> operations = {
        {"HLX SetReleaseIds", "VCL",
         [](CBaseComms& comms, host::Frame& frame) {
             CHLXSerialNumRepair::ResetRepairCountForTesting();
             CHLXUtils hlx(&comms, &frame);
             return hlx.SetReleaseIds(true);
         },
         [](bool result, Fault fault, size_t position, host::Frame& frame) {
             if (EndsTheSequence(fault) && position <= 5) {  // the reading's own requests
                 return AllUnknown(frame, kHlxNames) && result == (position >= 2);
             }
             if (fault == Fault::Error && position == 0) {
                 return AllUnknown(frame, kHlxNames) && !result;
             }
             return result;
         },
         6},
        {"QPT SetReleaseIds", "QPT",
         [](CBaseComms& comms, host::Frame& frame) {
             CQPTUtils qpt(&comms, &frame);
             return qpt.SetReleaseIds(true);
         },
         [](bool result, Fault fault, size_t position, host::Frame& frame) {
             if (EndsTheSequence(fault) || (fault == Fault::Error && position == 0)) {
                 return AllUnknown(frame, kQptNames) && !result;
             }
             return result;
         },
         3},
        {"HLX UpdateBCF", "VCL", RunUpdate(&CHLXUtils::UpdateBCF), UpdateResult},
        {"HLX UpdatePROM", "VCL", RunUpdate(&CHLXUtils::UpdatePROM), UpdateResult},
        {"HLX UpdateBootstrap", "VCL", RunUpdate(&CHLXUtils::UpdateBootstrap), UpdateResult},
        {"HLX UpdateCPLD", "VCL", RunUpdate(&CHLXUtils::UpdateCPLD), UpdateResult},
        {"HLX UpdateMACFirmware", "VCL", RunUpdate(&CHLXUtils::UpdateMACFirmware), UpdateResult},
        {"QPT UpdateBCF", "QPT", RunUpdate(&CQPTUtils::UpdateBCF), UpdateResult},
        {"QPT UpdatePROM", "QPT", RunUpdate(&CQPTUtils::UpdatePROM),
         [](bool result, Fault fault, size_t, host::Frame&) {
             return result == (fault == Fault::Short || fault == Fault::Oversize);
         }},
        {"HLX UpdateActiveCableFirmware", "VCL",
         [](CBaseComms& comms, host::Frame& frame) {
             CHLXUtils hlx(&comms, &frame);
             hlx.UpdateActiveCableFirmware();
             return true;
         },
         [](bool, Fault, size_t, host::Frame&) { return true; }},
        {"repair", "VCL",
         [](CBaseComms& comms, host::Frame&) {
             CHLXSerialNumRepair::ResetRepairCountForTesting();
             CHLXSerialNumRepair repair(nullptr,
                                        [&comms](CSubStream& command, int timeout, bool, bool) {
                                            try {
                                                comms.ExecuteSubCommand(command, timeout, 0);
                                                return 0;
                                            } catch (const CBaseCommsException&) {
                                                return -1;
                                            }
                                        });
             return repair.RepairSerialNumber();
         },
         [](bool result, Fault fault, size_t position, host::Frame&) {
             // The silent repair reads four items (the serial in use fails by design, the
             // stored copy answers) and writes the serial number. A failed read ends it.
             if (position >= 1 && position <= 3 && fault != Fault::Oversize) {
                 return !result;
             }
             if (fault == Fault::Disconnect && position == 0) {
                 return !result;  // nothing after it answers
             }
             return result;
         },
         0},
    };
    return operations;
}

// Where a run puts its fault: on the request at the position (0 is the first).
struct Placement {
    size_t position;
    Fault fault;
};

// What a run of an operation did: its result, and how many requests reached the device.
struct RunResult {
    bool result = false;
    size_t requests = 0;
};

using Runner =
    std::function<RunResult(const Operation&, const std::optional<Placement>&, host::Frame&)>;

RunResult Scripted(const Operation& operation, const std::optional<Placement>& placed,
                   host::Frame& frame) {
    ScriptedComms comms;
    size_t seen = 0;
    comms.SetResponder([&seen, &placed](const RecordedRequest& request) -> std::optional<Reply> {
        const size_t at = seen++;
        if (placed && (at == placed->position ||
                       (placed->fault == Fault::Disconnect && at > placed->position))) {
            return Faulty(placed->fault, request);
        }
        return HealthyDevice(request);
    });
    const bool result = operation.run(comms, frame);
    return {result, seen};
}

class FaultMatrixTest : public FolderFixture {
protected:
    void SetUp() override {
        CopySampleFirmware();
        WriteFile(Runtime() / "DeployedHLXs.ini", "[HLXSerialNumbers]\nHX100234,0050C2A1B234\n");
    }

    // Over loopback TCP to a fresh emulated gateway, served as gwemu serves it.
    RunResult OverTcp(const Operation& operation, const std::optional<Placement>& placed,
                      host::Frame& frame) const {
        nlohmann::json scenario = nlohmann::json::parse(kHealthyScenario);
        if (placed) {
            scenario["faults"] =
                nlohmann::json::array({FaultRule(operation.card, placed->fault, placed->position)});
        }
        const auto gateway =
            emu::Gateway::FromScenarioText(scenario.dump(), "matrix.json", Firmware().string());
        emu::TcpServer server(*gateway);
        host::TcpConnection comms(server.Host(), server.Port());
        comms.SelectCard(operation.card);
        const bool result = operation.run(comms, frame);
        return {result, static_cast<size_t>(gateway->RequestCount())};
    }

    // Runs each operation on a healthy device, then once per request position with each fault
    // there, and checks each outcome. Records the runs and the requests that met a fault.
    void CheckEveryFaultAtEveryRequest(const Runner& run) {
        int runs = 0;
        int faults = 0;
        for (const Operation& operation : Operations()) {
            host::Frame healthyFrame;
            const RunResult healthy = run(operation, std::nullopt, healthyFrame);
            ++runs;
            ASSERT_TRUE(healthy.result) << operation.name;
            ASSERT_GT(healthy.requests, 0u) << operation.name;
            // Whatever the connection, the device sees the same requests: the positions match.
            host::Frame scriptedFrame;
            ASSERT_EQ(healthy.requests, Scripted(operation, std::nullopt, scriptedFrame).requests)
                << operation.name;

            for (size_t position = 0; position < healthy.requests; ++position) {
                for (const Fault fault : kFaults) {
                    SCOPED_TRACE(std::string(operation.name) + ", request " +
                                 std::to_string(position) + ", " +
                                 kFaultNames[static_cast<int>(fault)]);
                    host::Frame frame;
                    RunResult faulty;
                    ++runs;
                    ASSERT_NO_THROW(faulty = run(operation, Placement{position, fault}, frame));
                    // A drop for good meets every request from its position on.
                    faults +=
                        static_cast<int>(fault == Fault::Disconnect && faulty.requests > position
                                             ? faulty.requests - position
                                             : 1);
                    EXPECT_TRUE(operation.expected(faulty.result, fault, position, frame))
                        << faulty.result;
                    EXPECT_GT(faulty.requests, position) << "the fault was never reached";
                    if (EndsTheSequence(fault) && position < operation.endsOnFailureWithin) {
                        EXPECT_EQ(faulty.requests, position + 1)
                            << "requests sent after a connection failure";
                    }
                }
            }
        }
        RecordProperty("runs", runs);
        RecordProperty("faults", faults);
    }
};

TEST_F(FaultMatrixTest, EveryOperationSurvivesEveryFaultAtEveryRequest) {
    CheckEveryFaultAtEveryRequest(Scripted);
}

// The same over TCP, where the socket shows what the scripted connection only reports: a
// timeout is a reply that never comes (the connection waits out the request's timeout, scaled
// down here, then drops the socket), a drop closes the socket, and the connection opens a new
// one, with the card selected again, for the next request. The outcomes stay the documented
// ones: the repair, which goes on after a failed command, reaches the same device anew.
TEST_F(FaultMatrixTest, EveryOperationSurvivesEveryFaultAtEveryRequestOverTcp) {
    const ScopedEnv timeoutScale("GWU_TIMEOUT_SCALE", "0.01");  // 10 s become 100 ms
    CheckEveryFaultAtEveryRequest(
        [this](const Operation& operation, const std::optional<Placement>& placed,
               host::Frame& frame) { return OverTcp(operation, placed, frame); });
}

}  // namespace
}  // namespace gwu::test

// Every device operation with a fault at every request position, through the scripted
// connection: a comms exception, an error code, a timeout, a reply of length 0, a reply longer
// than the buffer and a connection that drops for good. Whatever happens, nothing escapes the
// library, a connection failure ends the sequence, and the result is the documented one.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "ScriptedComms.h"
#include "ValueStore.h"
#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "repair/CHLXSerialNumRepair.h"

namespace gwu::test {
namespace {

enum class Fault { Throw, Error, Timeout, Short, Oversize, Disconnect };
constexpr Fault kFaults[] = {Fault::Throw, Fault::Error,    Fault::Timeout,
                             Fault::Short, Fault::Oversize, Fault::Disconnect};

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

// The scripted answer that puts the fault on one request.
Reply Faulty(Fault fault, const RecordedRequest& request) {
    switch (fault) {
        case Fault::Throw:
            return Reply::Throw(5);
        case Fault::Error:
            return Reply::Error(6);
        case Fault::Timeout:
            return Reply::Throw(1002);
        case Fault::Short:
            return Reply{};
        case Fault::Oversize: {
            Reply reply = *HealthyDevice(request);
            reply.bytes.resize(static_cast<size_t>(request.length) + 16, '#');
            reply.length = request.length + 16;
            return reply;
        }
        case Fault::Disconnect:
            return Reply::Throw(1003);
    }
    return Reply{};
}

struct Operation {
    const char* name;
    // Runs the operation on a fresh device object; returns its result (true when it has none).
    std::function<bool(ScriptedComms&, host::Frame&)> run;
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
std::function<bool(ScriptedComms&, host::Frame&)> RunUpdate(bool (Device::*operation)()) {
    return [operation](ScriptedComms& comms, host::Frame& frame) {
        Device device(&comms, &frame);
        return (device.*operation)();
    };
}

// An update: a connection failure at the update command or the reset is false; anything the
// device answers is not looked at.
bool UpdateResult(bool result, Fault fault, size_t, host::Frame&) {
    return result == !EndsTheSequence(fault);
}

class FaultMatrixTest : public FolderFixture {
protected:
    void SetUp() override {
        CopySampleFirmware();
        WriteFile(Runtime() / "DeployedHLXs.ini", "[HLXSerialNumbers]\nHX100234,0050C2A1B234\n");
    }
};

TEST_F(FaultMatrixTest, EveryOperationSurvivesEveryFaultAtEveryRequest) {
    const std::vector<Operation> operations = {
        {"HLX SetReleaseIds",
         [](ScriptedComms& comms, host::Frame& frame) {
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
        {"QPT SetReleaseIds",
         [](ScriptedComms& comms, host::Frame& frame) {
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
        {"HLX UpdateBCF", RunUpdate(&CHLXUtils::UpdateBCF), UpdateResult},
        {"HLX UpdatePROM", RunUpdate(&CHLXUtils::UpdatePROM), UpdateResult},
        {"HLX UpdateBootstrap", RunUpdate(&CHLXUtils::UpdateBootstrap), UpdateResult},
        {"HLX UpdateCPLD", RunUpdate(&CHLXUtils::UpdateCPLD), UpdateResult},
        {"HLX UpdateMACFirmware", RunUpdate(&CHLXUtils::UpdateMACFirmware), UpdateResult},
        {"QPT UpdateBCF", RunUpdate(&CQPTUtils::UpdateBCF), UpdateResult},
        {"QPT UpdatePROM", RunUpdate(&CQPTUtils::UpdatePROM),
         [](bool result, Fault fault, size_t, host::Frame&) {
             return result == (fault == Fault::Short || fault == Fault::Oversize);
         }},
        {"HLX UpdateActiveCableFirmware",
         [](ScriptedComms& comms, host::Frame& frame) {
             CHLXUtils hlx(&comms, &frame);
             hlx.UpdateActiveCableFirmware();
             return true;
         },
         [](bool, Fault, size_t, host::Frame&) { return true; }},
        {"repair",
         [](ScriptedComms& comms, host::Frame&) {
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

    int runs = 0;
    for (const Operation& operation : operations) {
        // How many requests the operation makes on a healthy device.
        ScriptedComms healthy;
        healthy.SetResponder(HealthyDevice);
        host::Frame healthyFrame;
        ASSERT_TRUE(operation.run(healthy, healthyFrame)) << operation.name;
        const size_t requests = healthy.Requests().size();
        ASSERT_GT(requests, 0u) << operation.name;

        for (size_t position = 0; position < requests; ++position) {
            for (const Fault fault : kFaults) {
                SCOPED_TRACE(std::string(operation.name) + ", request " + std::to_string(position) +
                             ", fault " + std::to_string(static_cast<int>(fault)));
                ScriptedComms comms;
                size_t seen = 0;
                comms.SetResponder([&seen, position,
                                    fault](const RecordedRequest& request) -> std::optional<Reply> {
                    const size_t at = seen++;
                    if (at == position || (fault == Fault::Disconnect && at > position)) {
                        return Faulty(fault, request);
                    }
                    return HealthyDevice(request);
                });
                host::Frame frame;
                bool result = false;
                ++runs;
                ASSERT_NO_THROW(result = operation.run(comms, frame));
                EXPECT_TRUE(operation.expected(result, fault, position, frame)) << result;
                if (EndsTheSequence(fault) && position < operation.endsOnFailureWithin) {
                    EXPECT_EQ(seen, position + 1) << "requests sent after a connection failure";
                }
            }
        }
    }
    RecordProperty("runs", runs);
}

}  // namespace
}  // namespace gwu::test

// A device object of either family (CHLXUtils, CQPTUtils) on its own scripted connection, with
// its own recording frame, and standing answers to the communication module's release reading.
#pragma once

#include "testsupport/RecordingFrame.h"
#include "testsupport/ScriptedComms.h"

namespace gwu::test {

template <typename Device>
struct DeviceBench {
    ScriptedComms comms;
    RecordingFrame frame;
    Device device{&comms, &frame};
};

// Answers the communication module's release requests: loaded code KLEM_12345_R0.6.2, PROM
// KLEM_PROM_R1.4, bootstrap KLEM_BOOT_ER12, CPLD revision 7, cable firmware KLEM_MAC_R3.1. The
// serial number is the test's.
inline void AnswerHlxReleases(ScriptedComms& comms) {
    const auto transfer = SubRequestKind::VsiGetSerialNumber;
    comms.Answer(transfer, 0x20000000, Reply::Text("KLEM_12345_R0.6.2"));
    comms.Answer(transfer, 0x10000000, Reply::Text("KLEM_PROM_R1.4"));
    comms.Answer(transfer, 0x01000000, Reply::Text("KLEM_BOOT_ER12"));
    comms.Answer(transfer, 0x00000800, Reply::Value32(7));
    comms.Answer(transfer, 0x00000200, Reply::Text("KLEM_MAC_R3.1"));
}

}  // namespace gwu::test

// How the process's serial-number repair ended, for a host's or a tool's records. The repair
// itself stays inside the library; this is what it tells its host.
#pragma once

#include "gatewayutils/base/Export.h"

namespace gwu {

enum class RepairOutcome {
    None,     // no repair ran in this process
    Silent,   // the deployed-unit list decided alone
    Typed,    // the user's entry decided
    Refused,  // the user was asked and no serial number was chosen
    Failed,   // otherwise: the device's data could not be read, the list holds no candidate, or
              // the device did not keep what was written
};

// The outcome of the process's last repair; any thread.
GWU_API RepairOutcome LastRepairOutcome();
// "none", "silent", "typed", "refused", "failed".
GWU_API const char* RepairOutcomeWord(RepairOutcome outcome);

}  // namespace gwu

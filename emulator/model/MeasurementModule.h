// The emulated measurement module (any card name but "VCL"): serial number, releases, PROM
// update and reset.
#pragma once

#include <string>
#include <utility>

#include "emulator/model/Gateway.h"
#include "emulator/scenario/Scenario.h"

namespace gwu::emu {

// Not thread-safe: Gateway serialises all access.
class MeasurementModule {
public:
    // The folder is where the module loads its loaded code from on reset.
    MeasurementModule(MeasurementState state, std::string firmwareFolder)
        : m_state(std::move(state)), m_firmwareFolder(std::move(firmwareFolder)) {}

    Response Execute(const Request& request);
    const MeasurementState& State() const { return m_state; }

private:
    MeasurementState m_state;
    std::string m_firmwareFolder;
};

}  // namespace gwu::emu

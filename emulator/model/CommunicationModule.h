// The emulated communication module (card "VCL"): its releases, CPLD, identity items, update
// and reset, answered from its state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "emulator/model/Gateway.h"
#include "emulator/scenario/Scenario.h"

namespace gwu::emu {

// Not thread-safe: Gateway serialises all access.
class CommunicationModule {
public:
    // The folder is where the module loads its releases from on update and reset.
    CommunicationModule(CommunicationState state, std::string firmwareFolder)
        : m_state(std::move(state)), m_firmwareFolder(std::move(firmwareFolder)) {}

    Response Execute(const Request& request);
    const CommunicationState& State() const { return m_state; }
    const std::string& LastDeviceString() const { return m_lastDeviceString; }

private:
    Response CommunicationGet(const Request& request, std::uint32_t type);
    Response CpldReply(const Request& request) const;
    Response CommunicationSet(const Request& request, std::uint32_t type);
    // An item the device does not hold in use leaves its stored copy as it was.
    static void CommitToStorage(const std::optional<std::string>& inUse,
                                std::optional<std::string>& stored);
    // An update armed before the reset: each code type whose device-load file is present and
    // readable takes that file's release; the others keep theirs.
    void LoadDeviceFiles();

    CommunicationState m_state;
    std::string m_firmwareFolder;
    std::string m_lastDeviceString;
    bool m_updateArmed = false;
};

}  // namespace gwu::emu

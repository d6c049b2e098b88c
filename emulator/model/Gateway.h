// An emulated gateway: the two cards (the communication module, selected by the card name
// "VCL", and the measurement module, any other name) answering requests as the devices would.
// It knows nothing of the library that talks to it; its only inputs are requests and the
// scenario file that describes the devices.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "gatewayutils/emulator/scenario/Scenario.h"
#include "gatewayutils/wire/DeviceMessages.h"

namespace gwu::emu {

// Requests and answers are the wire's (DeviceMessages.h): the TCP server and the connections pass
// them on as they are.
using wire::Builder;
using wire::Outcome;
using wire::Request;
using wire::Response;

// Error codes the emulated devices answer with (besides a scenario's own CPLD and fault codes).
constexpr std::int32_t kErrorFile = 2;            // an update names a missing or malformed file
constexpr std::int32_t kErrorBadLength = 3;       // a write whose data does not fit the item
constexpr std::int32_t kErrorNotAvailable = 5;    // the scenario does not hold the item
constexpr std::int32_t kErrorUnknownRequest = 7;  // a request the selected card does not know

// Largest reply a device sends, whatever room a request offers.
constexpr std::int32_t kMaxReplyBytes = 16 * 1024;

class GatewayModel;

// Told of every request a fault answers (the scenario's rule, or the random fault drawn), on the
// thread that executes it, under the gateway's lock and before the answer goes out.
using FaultObserver =
    std::function<void(const FaultRule& fault, const Request& request, bool communication)>;

// The emulated gateway. Thread-safe: every operation takes the model's lock.
class Gateway {
public:
    // Loads a scenario (JSON text; the name is used in error messages). The firmware folder is
    // where the devices load their releases from on update and reset. Throw ScenarioError for
    // a scenario that cannot be used.
    static std::unique_ptr<Gateway> FromScenarioText(const std::string& json,
                                                     const std::string& name,
                                                     const std::string& firmwareFolder);
    static std::unique_ptr<Gateway> FromScenarioFile(const std::string& path,
                                                     const std::string& firmwareFolder);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Requests go to the card selected last: "VCL" is the communication module, any other name
    // (and no selection yet) the measurement module.
    void SelectCard(const std::string& name);
    std::string SelectedCard() const;
    Response Execute(const Request& request);
    // Selects the card and executes the request as one step: no other thread's selection comes
    // between them.
    Response Execute(const Request& request, const std::string& card);
    void SetFaultObserver(FaultObserver observer);

    // The device's current state, for tests and the tools (the names of the scenario file).
    // Empty optional: the device does not answer that item. Release items: loaded, prom,
    // bootstrap, cable and cpld (the revision in decimal) of "VCL"; loaded and prom otherwise.
    std::optional<std::string> Release(const std::string& card, const std::string& item) const;
    std::optional<std::string> Identity(const std::string& item) const;  // serial, stored_serial,
                                                                         // ethernet_mac, usb_mac,
                                                                         // stored_* as committed
    // The communication module's CPLD revision; empty when it answers the request with an error.
    std::optional<std::uint32_t> CpldRevision() const;
    std::string LastDeviceString() const;
    int RequestCount() const;  // requests executed so far, all cards

    // Only the factories above can make a token: a gateway is always built from a scenario.
    class Token {
        friend class Gateway;
        explicit Token() = default;
    };
    Gateway(Token, std::unique_ptr<GatewayModel> model);

private:
    mutable std::mutex m_mutex;
    std::unique_ptr<GatewayModel> m_model;
};

}  // namespace gwu::emu

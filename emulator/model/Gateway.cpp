#include "emulator/model/Gateway.h"

#include <map>
#include <utility>

#include "emulator/model/CommunicationModule.h"
#include "emulator/model/FaultInjector.h"
#include "emulator/model/MeasurementModule.h"
#include "emulator/scenario/Scenario.h"
#include "wire/Cards.h"

namespace gwu::emu {

// The devices' state, the faults and the latency. Not thread-safe: Gateway serialises all access.
class GatewayModel {
public:
    GatewayModel(Scenario scenario, const std::string& firmwareFolder)
        : m_communication(std::move(scenario.communication), firmwareFolder),
          m_measurement(std::move(scenario.measurement), firmwareFolder),
          m_faults(std::move(scenario.faults), scenario.randomFaults),
          m_latencyMs(scenario.latencyMs),
          m_requestLatencyMs(std::move(scenario.requestLatencyMs)) {}

    Response Execute(const Request& request) {
        ++m_requestCount;
        const bool communication = wire::IsCommunicationCard(m_selectedCard);
        const FaultRule* fault = m_faults.Match(request, communication);
        const std::uint32_t latency = LatencyOf(request);
        const bool late = request.timeoutMs != 0 && latency > request.timeoutMs;
        Response response;
        if (fault != nullptr && m_faultObserver) {
            m_faultObserver(*fault, request, communication);
        }
        if (fault != nullptr) {
            // A faulted request changes nothing: a normal answer it needs comes from a copy.
            response = FaultInjector::Answer(*fault, request, [&] {
                return communication ? CommunicationModule(m_communication).Execute(request)
                                     : MeasurementModule(m_measurement).Execute(request);
            });
        } else if (late) {
            response.outcome = Outcome::Timeout;  // the host gives up first: nothing changes
        } else {
            response =
                communication ? m_communication.Execute(request) : m_measurement.Execute(request);
        }
        // Nothing waits longer than the host does; a timeout fault is silent at once.
        const bool silentAtOnce = fault != nullptr && fault->kind == FaultKind::Timeout;
        response.delayMs = silentAtOnce ? 0 : late ? request.timeoutMs : latency;
        return response;
    }

    // Read and set by Gateway under its lock.
    std::string m_selectedCard;
    CommunicationModule m_communication;
    MeasurementModule m_measurement;
    int m_requestCount = 0;
    FaultObserver m_faultObserver;

private:
    std::uint32_t LatencyOf(const Request& request) const {
        const auto found = m_requestLatencyMs.find(static_cast<std::uint32_t>(request.type));
        return found != m_requestLatencyMs.end() ? found->second : m_latencyMs;
    }

    FaultInjector m_faults;
    std::uint32_t m_latencyMs;
    std::map<std::uint32_t, std::uint32_t> m_requestLatencyMs;
};

std::unique_ptr<Gateway> Gateway::FromScenarioText(const std::string& json, const std::string& name,
                                                   const std::string& firmwareFolder) {
    return std::make_unique<Gateway>(
        Token{}, std::make_unique<GatewayModel>(ParseScenario(json, name), firmwareFolder));
}

std::unique_ptr<Gateway> Gateway::FromScenarioFile(const std::string& path,
                                                   const std::string& firmwareFolder) {
    return std::make_unique<Gateway>(
        Token{}, std::make_unique<GatewayModel>(LoadScenarioFile(path), firmwareFolder));
}

Gateway::Gateway(Token, std::unique_ptr<GatewayModel> model) : m_model(std::move(model)) {}

Gateway::~Gateway() = default;

void Gateway::SelectCard(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_model->m_selectedCard = name;
}

void Gateway::SetFaultObserver(FaultObserver observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_model->m_faultObserver = std::move(observer);
}

std::string Gateway::SelectedCard() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->m_selectedCard;
}

Response Gateway::Execute(const Request& request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->Execute(request);
}

Response Gateway::Execute(const Request& request, const std::string& card) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_model->m_selectedCard = card;
    return m_model->Execute(request);
}

std::optional<std::string> Gateway::Release(const std::string& card,
                                            const std::string& item) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (wire::IsCommunicationCard(card)) {
        const CommunicationState& state = m_model->m_communication.State();
        if (item == "loaded") {
            return state.loaded;
        }
        if (item == "prom") {
            return state.prom;
        }
        if (item == "bootstrap") {
            return state.bootstrap;
        }
        if (item == "cable") {
            return state.cable;
        }
        if (item == "cpld" && state.cpld.kind == CpldState::Kind::Revision) {
            return std::to_string(state.cpld.revision);
        }
        return std::nullopt;
    }
    const MeasurementState& state = m_model->m_measurement.State();
    if (item == "loaded") {
        return state.loaded;
    }
    if (item == "prom") {
        return state.prom;
    }
    return std::nullopt;
}

std::optional<std::string> Gateway::Identity(const std::string& item) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const CommunicationState& state = m_model->m_communication.State();
    if (item == "serial") {
        return state.serial;
    }
    if (item == "stored_serial") {
        return state.storedSerial;
    }
    if (item == "ethernet_mac") {
        return state.ethernetMac;
    }
    if (item == "usb_mac") {
        return state.usbMac;
    }
    if (item == "stored_ethernet_mac") {
        return state.storedEthernetMac;
    }
    if (item == "stored_usb_mac") {
        return state.storedUsbMac;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Gateway::CpldRevision() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const CpldState& cpld = m_model->m_communication.State().cpld;
    if (cpld.kind != CpldState::Kind::Revision) {
        return std::nullopt;
    }
    return cpld.revision;
}

std::string Gateway::LastDeviceString() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->m_communication.LastDeviceString();
}

int Gateway::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->m_requestCount;
}

}  // namespace gwu::emu

#include "Gateway.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <vector>

#include "Scenario.h"
#include "platform/DeviceRequests.h"

namespace gwu::emu {

namespace {

// The request types and flags the devices answer, as unsigned words for the switches below.
constexpr std::uint32_t Word(int value) {
    return static_cast<std::uint32_t>(value);
}
constexpr std::uint32_t kReqLoadedCode = Word(VSI_GET_LOADED_CODE_RELEASE);
constexpr std::uint32_t kReqProm = Word(VSI_GET_PROM_RELEASE);
constexpr std::uint32_t kReqBootstrap = Word(VSI_GET_BOOTSTRAP_RELEASE);
constexpr std::uint32_t kReqCable = Word(VSI_GET_CABLE_FIRMWARE_RELEASE);
constexpr std::uint32_t kReqCpld = Word(VSI_GET_CPLD_REVISION);
constexpr std::uint32_t kReqSerial = Word(VSI_GET_CARD_SERIAL_NUM);
constexpr std::uint32_t kReqMac = Word(VSI_GET_MAC_ADDRESS);
constexpr std::uint32_t kReqSetSerial = Word(VSI_SET_CARD_SERIAL_NUM);
constexpr std::uint32_t kReqSetMac = Word(VSI_SET_MAC_ADDRESS);
constexpr std::uint32_t kReqUpdate = Word(VSI_UPDATE_FIRMWARE);
constexpr std::uint32_t kReqCableUpdate = Word(VSI_UPDATE_CABLE_FIRMWARE);
constexpr std::uint32_t kReqDeviceString = Word(VSI_SEND_DEVICE_STRING);
constexpr std::uint32_t kReqReset = Word(VSI_RESET_CARD);

constexpr std::uint32_t kFlagEthernet = Word(VSI_ETHERNET_MAC);
constexpr std::uint32_t kFlagUsb = Word(VSI_USB_MAC);
constexpr std::uint32_t kFlagFromStorage = Word(VSI_READ_FROM_STORAGE);
constexpr std::uint32_t kFlagToStorage = Word(VSI_WRITE_TO_STORAGE);

constexpr std::int32_t kDetailSerial = MSI_DETAIL_SERIAL_NUM;
constexpr std::int32_t kDetailLoaded = MSI_DETAIL_LOADED_CODE_RELEASE;
constexpr std::int32_t kDetailProm = MSI_DETAIL_PROM_RELEASE;
constexpr std::int32_t kDetailUpdateProm = MSI_DETAIL_UPDATE_PROM;
constexpr std::uint32_t kMsiReset = Word(MSI_RESET_CARD);

constexpr const char* kCommunicationCard = "VCL";
constexpr std::int32_t kOversizeExtra = 16;
constexpr char kOversizePad = '#';

// The first line of a firmware file is "Release-Id: <identifier>" (LF or CR LF).
constexpr const char* kReleaseIdPrefix = "Release-Id: ";
constexpr size_t kMaxReleaseIdBytes = 127;

std::optional<std::string> ReadReleaseId(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string prefix = kReleaseIdPrefix;
    const size_t limit = prefix.size() + kMaxReleaseIdBytes + 1;  // room for a CR
    std::string line;
    char c = 0;
    while (line.size() <= limit && in.get(c) && c != '\n') {
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.size() > prefix.size() + kMaxReleaseIdBytes ||
        line.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    return line.substr(prefix.size());
}

std::string JoinPath(const std::string& folder, const char* name) {
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The text of a request's data up to its first zero byte.
std::string PathFromData(const std::string& data) {
    return data.substr(0, data.find('\0'));
}

// The decimal number an identifier ends with ("KLEM_CPLD_R7" gives 7).
std::optional<std::uint32_t> TrailingNumber(const std::string& text) {
    size_t start = text.size();
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') {
        --start;
    }
    if (start == text.size() || text.size() - start > 10) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

Response Reply(std::int32_t error, std::string bytes = {}) {
    Response response;
    response.error = error;
    response.bytes = std::move(bytes);
    return response;
}

// The room a request offers for its reply, within what a device ever sends.
size_t Room(const Request& request) {
    return static_cast<size_t>(std::clamp(request.capacity, 0, kMaxReplyBytes));
}

// An item as the device sends it: its bytes up to the room, error 5 when there is none.
Response ItemReply(const std::optional<std::string>& item, const Request& request) {
    if (!item) {
        return Reply(kErrorNotAvailable);
    }
    return Reply(0, item->substr(0, Room(request)));
}

}  // namespace

// The devices' state and the fault counters. Not thread-safe: Gateway serialises all access.
class GatewayModel {
public:
    GatewayModel(Scenario scenario, std::string firmwareFolder)
        : m_communication(std::move(scenario.communication)),
          m_measurement(std::move(scenario.measurement)),
          m_faults(std::move(scenario.faults)),
          m_faultCounts(m_faults.size(), 0),
          m_latencyMs(scenario.latencyMs),
          m_requestLatencyMs(std::move(scenario.requestLatencyMs)),
          m_firmwareFolder(std::move(firmwareFolder)) {}

    Response Execute(const Request& request) {
        ++m_requestCount;
        const bool communication = m_selectedCard == kCommunicationCard;
        const FaultRule* fault = MatchFault(request, communication);
        const std::uint32_t latency = LatencyOf(request);
        const bool late = request.timeoutMs != 0 && latency > request.timeoutMs;
        Response response;
        if (fault != nullptr) {
            response = Faulted(*fault, request, communication);
        } else if (late) {
            response.outcome = Outcome::Timeout;  // the host gives up first: nothing changes
        } else {
            response = communication ? Communication(request) : Measurement(request);
        }
        // Nothing waits longer than the host does; a timeout fault is silent at once.
        const bool silentAtOnce = fault != nullptr && fault->kind == FaultKind::Timeout;
        response.delayMs = silentAtOnce ? 0 : late ? request.timeoutMs : latency;
        return response;
    }

    // Read and set by Gateway under its lock.
    std::string m_selectedCard;
    CommunicationState m_communication;
    MeasurementState m_measurement;
    std::string m_lastDeviceString;
    int m_requestCount = 0;

private:
    std::uint32_t LatencyOf(const Request& request) const {
        const auto found = m_requestLatencyMs.find(static_cast<std::uint32_t>(request.type));
        return found != m_requestLatencyMs.end() ? found->second : m_latencyMs;
    }

    // The answer a fault rule puts in place of the device's; it changes no state.
    Response Faulted(const FaultRule& fault, const Request& request, bool communication) {
        Response response;
        switch (fault.kind) {
            case FaultKind::Throw:
                response.outcome = Outcome::Throw;
                response.exceptionCode = fault.error;
                break;
            case FaultKind::Error:
                response.error = fault.error;
                break;
            case FaultKind::Timeout:
                response.outcome = Outcome::Timeout;
                break;
            case FaultKind::Short:
                break;
            case FaultKind::Oversize:
                response = OversizeReply(request, communication);
                break;
            case FaultKind::Disconnect:
                response.outcome = Outcome::Disconnect;
                break;
        }
        return response;
    }

    // Counts the request against every rule it matches; the first rule listed that is due wins.
    const FaultRule* MatchFault(const Request& request, bool communication) {
        const FaultRule* due = nullptr;
        for (size_t i = 0; i < m_faults.size(); ++i) {
            const FaultRule& rule = m_faults[i];
            if (rule.communication != communication ||
                (rule.request && *rule.request != static_cast<std::uint32_t>(request.type)) ||
                (rule.builder && *rule.builder != request.builder)) {
                continue;
            }
            const std::int64_t count = ++m_faultCounts[i];
            const bool hit = rule.repeat ? count >= rule.nth : count == rule.nth;
            if (hit && due == nullptr) {
                due = &rule;
            }
            // Counts beyond the nth decide nothing more; capping them keeps long runs in range.
            m_faultCounts[i] = std::min<std::int64_t>(count, rule.nth);
        }
        return due;
    }

    // The normal answer, computed on a copy of the state so that the faulted request changes
    // nothing, then padded beyond the request's room with a length that claims the excess.
    Response OversizeReply(const Request& request, bool communication) {
        GatewayModel scratch(*this);
        Response normal =
            communication ? scratch.Communication(request) : scratch.Measurement(request);
        const size_t padded = Room(request) + kOversizeExtra;
        normal.outcome = Outcome::Reply;
        normal.error = 0;
        normal.bytes.resize(std::max(normal.bytes.size(), padded), kOversizePad);
        normal.claimedLength = static_cast<std::int32_t>(std::min<std::int64_t>(
            std::int64_t{request.capacity < 0 ? 0 : request.capacity} + kOversizeExtra,
            std::numeric_limits<std::int32_t>::max()));
        return normal;
    }

    Response Communication(const Request& request) {
        const auto type = static_cast<std::uint32_t>(request.type);
        switch (request.builder) {
            case Builder::VsiGetSerialNumber:
                return CommunicationGet(request, type);
            case Builder::VsiSetSerialNumber:
                return CommunicationSet(request, type);
            case Builder::VsiReset:
                if (type != kReqReset) {
                    return Reply(kErrorUnknownRequest);
                }
                if (m_updateArmed) {
                    LoadDeviceFiles();
                    m_updateArmed = false;
                }
                return Reply(0);
            case Builder::MsiReset:
            case Builder::MsiGetCardDetails:
                break;
        }
        return Reply(kErrorUnknownRequest);
    }

    Response CommunicationGet(const Request& request, std::uint32_t type) {
        CommunicationState& state = m_communication;
        const auto flags = static_cast<std::uint32_t>(request.flags);
        const bool fromStorage = (flags & kFlagFromStorage) != 0;
        switch (type) {
            case kReqLoadedCode:
                return ItemReply(state.loaded, request);
            case kReqProm:
                return ItemReply(state.prom, request);
            case kReqBootstrap:
                return ItemReply(state.bootstrap, request);
            case kReqCable:
                return ItemReply(state.cable, request);
            case kReqCpld:
                return CpldReply(request);
            case kReqSerial:
                return ItemReply(fromStorage ? state.storedSerial : state.serial, request);
            case kReqMac: {
                const bool ethernet = (flags & kFlagEthernet) != 0;
                const bool usb = (flags & kFlagUsb) != 0;
                if (ethernet == usb) {
                    return Reply(kErrorUnknownRequest);
                }
                if (ethernet) {
                    return ItemReply(fromStorage ? state.storedEthernetMac : state.ethernetMac,
                                     request);
                }
                return ItemReply(fromStorage ? state.storedUsbMac : state.usbMac, request);
            }
            case kReqUpdate:
                m_updateArmed = true;
                return Reply(0);
            case kReqCableUpdate: {
                const auto release = ReadReleaseId(PathFromData(request.data));
                if (!release) {
                    return Reply(kErrorFile);
                }
                state.cable = *release;
                return Reply(0);
            }
            case kReqDeviceString:
                m_lastDeviceString = PathFromData(request.data);
                return Reply(0);
            default:
                return Reply(kErrorUnknownRequest);
        }
    }

    Response CpldReply(const Request& request) const {
        const CpldState& cpld = m_communication.cpld;
        switch (cpld.kind) {
            case CpldState::Kind::Revision: {
                std::string bytes(4, '\0');
                for (size_t i = 0; i < 4; ++i) {
                    bytes[i] = static_cast<char>((cpld.revision >> (8 * i)) & 0xFFu);
                }
                bytes.resize(std::min(bytes.size(), Room(request)));
                return Reply(0, bytes);
            }
            case CpldState::Kind::Error:
                return Reply(cpld.error);
            case CpldState::Kind::Missing:
                break;
        }
        return Reply(kErrorNotAvailable);
    }

    Response CommunicationSet(const Request& request, std::uint32_t type) {
        CommunicationState& state = m_communication;
        const auto flags = static_cast<std::uint32_t>(request.flags);
        const std::string& data = request.data;
        if (type == kReqSetSerial) {
            if (data.size() > kMaxSerialBytes) {
                return Reply(kErrorBadLength);
            }
            state.serial = data;
        } else if (type == kReqSetMac) {
            const bool ethernet = (flags & kFlagEthernet) != 0;
            const bool usb = (flags & kFlagUsb) != 0;
            if (ethernet == usb) {
                return Reply(kErrorUnknownRequest);
            }
            if (data.size() != kMaxMacBytes) {
                return Reply(kErrorBadLength);
            }
            (ethernet ? state.ethernetMac : state.usbMac) = data;
        } else {
            return Reply(kErrorUnknownRequest);
        }
        if ((flags & kFlagToStorage) != 0) {
            CommitToStorage(state.serial, state.storedSerial);
            CommitToStorage(state.ethernetMac, state.storedEthernetMac);
            CommitToStorage(state.usbMac, state.storedUsbMac);
        }
        return Reply(0);
    }

    // An item the device does not hold in use leaves its stored copy as it was.
    static void CommitToStorage(const std::optional<std::string>& inUse,
                                std::optional<std::string>& stored) {
        if (inUse) {
            stored = inUse;
        }
    }

    // An update armed before the reset: each code type whose device-load file is present and
    // readable takes that file's release; the others keep theirs.
    void LoadDeviceFiles() {
        CommunicationState& state = m_communication;
        LoadRelease("HLX_LC.bin", state.loaded);
        LoadRelease("HLX_PROM.bin", state.prom);
        LoadRelease("HLX_BOOT.bin", state.bootstrap);
        LoadRelease("HLX_MAC.bin", state.cable);
        if (const auto release = ReadReleaseId(JoinPath(m_firmwareFolder, "HLX_CPLD.bin"))) {
            if (const auto revision = TrailingNumber(*release)) {
                state.cpld.kind = CpldState::Kind::Revision;
                state.cpld.revision = *revision;
                state.cpld.error = 0;
            }
        }
    }

    void LoadRelease(const char* fileName, std::optional<std::string>& release) const {
        if (auto loaded = ReadReleaseId(JoinPath(m_firmwareFolder, fileName))) {
            release = std::move(loaded);
        }
    }

    Response Measurement(const Request& request) {
        MeasurementState& state = m_measurement;
        if (request.builder == Builder::MsiReset) {
            if (static_cast<std::uint32_t>(request.type) != kMsiReset) {
                return Reply(kErrorUnknownRequest);
            }
            LoadRelease("QPT_LC.bin", state.loaded);
            return Reply(0);
        }
        if (request.builder != Builder::MsiGetCardDetails) {
            return Reply(kErrorUnknownRequest);
        }
        switch (request.type) {
            case kDetailSerial:
                return ItemReply(state.serial, request);
            case kDetailLoaded:
                return ItemReply(state.loaded, request);
            case kDetailProm:
                return ItemReply(state.prom, request);
            case kDetailUpdateProm: {
                const auto release = ReadReleaseId(PathFromData(request.data));
                if (!release) {
                    return Reply(kErrorFile);
                }
                state.prom = *release;
                return Reply(0);
            }
            default:
                return Reply(kErrorUnknownRequest);
        }
    }

    std::vector<FaultRule> m_faults;
    std::vector<std::int64_t> m_faultCounts;  // matching requests seen, capped at the nth
    std::uint32_t m_latencyMs;
    std::map<std::uint32_t, std::uint32_t> m_requestLatencyMs;
    std::string m_firmwareFolder;
    bool m_updateArmed = false;
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

std::string Gateway::SelectedCard() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->m_selectedCard;
}

Response Gateway::Execute(const Request& request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->Execute(request);
}

std::optional<std::string> Gateway::Release(const std::string& card,
                                            const std::string& item) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (card == kCommunicationCard) {
        const CommunicationState& state = m_model->m_communication;
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
    const MeasurementState& state = m_model->m_measurement;
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
    const CommunicationState& state = m_model->m_communication;
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
    const CpldState& cpld = m_model->m_communication.cpld;
    if (cpld.kind != CpldState::Kind::Revision) {
        return std::nullopt;
    }
    return cpld.revision;
}

std::string Gateway::LastDeviceString() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->m_lastDeviceString;
}

int Gateway::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model->m_requestCount;
}

}  // namespace gwu::emu

#include "emulator/model/CommunicationModule.h"

#include <algorithm>
#include <limits>

#include "emulator/model/DeviceReplies.h"
#include "firmware/ReleaseFile.h"
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

}  // namespace

Response CommunicationModule::Execute(const Request& request) {
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

Response CommunicationModule::CommunicationGet(const Request& request, std::uint32_t type) {
    CommunicationState& state = m_state;
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
        case kReqCableUpdate:
            return TakeRelease(request, state.cable);
        case kReqDeviceString:
            m_lastDeviceString = PathFromData(request.data);
            return Reply(0);
        default:
            return Reply(kErrorUnknownRequest);
    }
}

Response CommunicationModule::CpldReply(const Request& request) const {
    const CpldState& cpld = m_state.cpld;
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

Response CommunicationModule::CommunicationSet(const Request& request, std::uint32_t type) {
    CommunicationState& state = m_state;
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

void CommunicationModule::CommitToStorage(const std::optional<std::string>& inUse,
                                          std::optional<std::string>& stored) {
    if (inUse) {
        stored = inUse;
    }
}

void CommunicationModule::LoadDeviceFiles() {
    CommunicationState& state = m_state;
    LoadRelease(m_firmwareFolder, "HLX_LC.bin", state.loaded);
    LoadRelease(m_firmwareFolder, "HLX_PROM.bin", state.prom);
    LoadRelease(m_firmwareFolder, "HLX_BOOT.bin", state.bootstrap);
    LoadRelease(m_firmwareFolder, "HLX_MAC.bin", state.cable);
    if (const auto release = firmware::ReadReleaseId(JoinPath(m_firmwareFolder, "HLX_CPLD.bin"))) {
        if (const auto revision = TrailingNumber(*release)) {
            state.cpld.kind = CpldState::Kind::Revision;
            state.cpld.revision = *revision;
            state.cpld.error = 0;
        }
    }
}

}  // namespace gwu::emu

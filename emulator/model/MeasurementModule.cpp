#include "emulator/model/MeasurementModule.h"

#include "emulator/model/DeviceReplies.h"
#include "platform/DeviceRequests.h"

namespace gwu::emu {

namespace {

constexpr std::uint32_t Word(int value) {
    return static_cast<std::uint32_t>(value);
}
constexpr std::int32_t kDetailSerial = MSI_DETAIL_SERIAL_NUM;
constexpr std::int32_t kDetailLoaded = MSI_DETAIL_LOADED_CODE_RELEASE;
constexpr std::int32_t kDetailProm = MSI_DETAIL_PROM_RELEASE;
constexpr std::int32_t kDetailUpdateProm = MSI_DETAIL_UPDATE_PROM;
constexpr std::uint32_t kMsiReset = Word(MSI_RESET_CARD);

}  // namespace

Response MeasurementModule::Execute(const Request& request) {
    MeasurementState& state = m_state;
    if (request.builder == Builder::MsiReset) {
        if (static_cast<std::uint32_t>(request.type) != kMsiReset) {
            return Reply(kErrorUnknownRequest);
        }
        LoadRelease(m_firmwareFolder, "QPT_LC.bin", state.loaded);
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
        case kDetailUpdateProm:
            return TakeRelease(request, state.prom);
        default:
            return Reply(kErrorUnknownRequest);
    }
}

}  // namespace gwu::emu

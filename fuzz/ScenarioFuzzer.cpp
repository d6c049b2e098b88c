// The emulator's scenario loader on any text: a scenario it cannot use is refused with
// ScenarioError and nothing else; a scenario it takes answers every request the library
// makes, faults included, and never takes longer to answer than the request's timeout.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/model/Gateway.h"
#include "fuzz/FuzzCheck.h"

namespace {

using gwu::wire::Builder;
using gwu::wire::Request;

Request Make(Builder builder, std::uint32_t type, std::uint32_t flags, std::int32_t capacity,
             std::string data = {}) {
    const auto number = [](std::uint32_t value) { return static_cast<std::int32_t>(value); };
    return {builder, number(type), number(flags), capacity, std::move(data), 10000};
}

// What the library asks of each card: of the communication module releases, CPLD, identity items
// in use and in storage, writes, update and reset, the device string; of the measurement module
// its details, a PROM from a file and a reset.
const std::vector<std::pair<const char*, Request>>& Requests() {
    static const std::vector<std::pair<const char*, Request>> requests = {
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x20000000, 0, 128)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x10000000, 0, 128)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x01000000, 0, 128)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x00000800, 0, 4)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x00000200, 0, 128)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x80000000, 0, 16)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x80000000, 0x08000000, 16)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x00020000, 0x88000000, 12)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x00020000, 0x48000000, 12)},
        {"VCL", Make(Builder::VsiSetSerialNumber, 0x40000000, 0, 8, "HX100241")},
        {"VCL", Make(Builder::VsiSetSerialNumber, 0x00001000, 0x84000000, 12, "0050C2A1D307")},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x00400000, 0, 1)},
        {"VCL", Make(Builder::VsiReset, 0x80000000, 0, 0)},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x00008000, 0, 128, "text")},
        {"VCL", Make(Builder::VsiGetSerialNumber, 0x00000400, 0, 128, "/nonexistent/HLX_MAC.hex")},
        {"QPT", Make(Builder::MsiGetCardDetails, 2, 0, 128)},
        {"QPT", Make(Builder::MsiGetCardDetails, 3, 0, 128)},
        {"QPT", Make(Builder::MsiGetCardDetails, 1, 0, 128)},
        {"QPT", Make(Builder::MsiGetCardDetails, 9, 0, 128, "/nonexistent/QPT_PROM.rel")},
        {"QPT", Make(Builder::MsiReset, 0x01000000, 0, 0)},
    };
    return requests;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<gwu::emu::Gateway> gateway;
    try {
        gateway = gwu::emu::Gateway::FromScenarioText(text, "fuzz.json", "/nonexistent");
    } catch (const gwu::emu::ScenarioError&) {
        return 0;
    }
    GWU_FUZZ_CHECK(gateway != nullptr);
    // Twice over, so that faults due on a later request come round.
    for (int round = 0; round < 2; ++round) {
        for (const auto& [card, request] : Requests()) {
            gateway->SelectCard(card);
            const gwu::wire::Response response = gateway->Execute(request);
            GWU_FUZZ_CHECK(response.bytes.size() <= static_cast<size_t>(request.capacity) + 16);
            GWU_FUZZ_CHECK(response.delayMs <= request.timeoutMs);  // never outwaits the host
        }
    }
    return 0;
}

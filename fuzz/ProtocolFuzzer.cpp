// The emulator's wire protocol on any byte stream: the frame decoder, cut into pieces at any
// boundaries, and the message decoders. What decodes encodes back to the same message.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "wire/Protocol.h"

namespace {

using namespace gwu::wire;

// The payload of an encoded frame, read back through a fresh decoder.
std::string PayloadOf(const std::string& frame) {
    FrameDecoder decoder;
    decoder.Feed(frame);
    std::optional<std::string> payload = decoder.Next();
    GWU_FUZZ_CHECK(payload.has_value());
    GWU_FUZZ_CHECK(decoder.Pending() == 0 && !decoder.Next().has_value());
    return *payload;
}

// What decodes as the message type encodes back to a frame that decodes and encodes alike: the
// encoding holds every field.
template <typename Decode, typename Encode>
void RoundTrip(const std::string& payload, Decode decode, Encode encode) {
    try {
        const std::string frame = encode(decode(payload));
        GWU_FUZZ_CHECK(encode(decode(PayloadOf(frame))) == frame);
    } catch (const ProtocolError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    // The first bytes say where the stream is cut; the rest is the stream.
    std::vector<size_t> cuts(input.ConsumeIntegralInRange<size_t>(0, 8));
    for (size_t& cut : cuts) {
        cut = input.ConsumeIntegralInRange<size_t>(0, 64);
    }
    const std::string stream = input.ConsumeRemainingBytesAsString();

    FrameDecoder decoder;
    std::string_view rest = stream;
    size_t fed = 0;
    size_t taken = 0;  // frame bytes handed out as payloads, length prefixes included
    bool refused = false;
    for (size_t i = 0; !refused && !rest.empty(); ++i) {
        const size_t length = i < cuts.size() ? std::min(cuts[i], rest.size()) : rest.size();
        try {
            decoder.Feed(rest.substr(0, length));
        } catch (const ProtocolError&) {
            refused = true;  // an oversized frame: the connection would be closed
        }
        rest.remove_prefix(length);
        fed += length;
        while (std::optional<std::string> payload = decoder.Next()) {
            GWU_FUZZ_CHECK(payload->size() <= kMaxFramePayload);
            taken += 4 + payload->size();
            RoundTrip(*payload, DecodeClientMessage, EncodeClientMessage);
            RoundTrip(*payload, DecodeResponse, EncodeResponse);
            RoundTrip(*payload, DecodeFlag, EncodeFlag);
        }
    }
    // Every byte fed is either part of a frame handed out or still pending.
    if (!refused) {
        GWU_FUZZ_CHECK(taken + decoder.Pending() == fed);
    }
    return 0;
}

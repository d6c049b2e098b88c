// The collector's reading of a tester's batch on any bytes: a batch is refused as a whole, or
// every event it keeps is one the database can store as it came (its line readable as that
// event, valid UTF-8 without a NUL or a line end), each id once, within the batch limits, and
// the acknowledged number the highest sequence of the batch.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fleet/Ingest.h"
#include "fuzz/FuzzCheck.h"

namespace {

bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3
                                            : (byte >> 3) == 30  ? 4
                                                                 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    gwu::fleet::Batch batch;
    const auto refusal = gwu::fleet::ReadBatch(body, batch);
    if (refusal) {
        GWU_FUZZ_CHECK(refusal->status == 400 || refusal->status == 413);
        GWU_FUZZ_CHECK(!refusal->error.empty());
        return 0;
    }
    GWU_FUZZ_CHECK(!batch.events.empty() && batch.events.size() <= gwu::fleet::kMaxBatchEvents);
    std::set<std::string> ids;
    std::uint64_t highest = 0;
    for (const gwu::fleet::IncomingEvent& incoming : batch.events) {
        GWU_FUZZ_CHECK(ids.insert(incoming.event.id).second);
        GWU_FUZZ_CHECK(incoming.content.find_first_of(std::string("\n\0", 2)) == std::string::npos);
        GWU_FUZZ_CHECK(ValidUtf8(incoming.content));
        const gwu::history::EventReading again = gwu::history::ParseJsonLine(incoming.content);
        GWU_FUZZ_CHECK(again.event && *again.event == incoming.event);
        highest = std::max(highest, incoming.event.sequence);
    }
    GWU_FUZZ_CHECK(batch.acknowledged == highest);
    return 0;
}

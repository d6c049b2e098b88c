// The deployed-unit list as read from the runtime folder, the search key of a merged MAC
// address and the repair's partial matching of the entries found.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "repair/CDeployedUnitList.h"
#include "repair/CHLXSerialNumRepair.h"

namespace {

constexpr size_t kSerialLength = 16;
constexpr size_t kMacLength = gwu::CDeployedUnitList::kMacLength;

// The key is the longest run of non-zero bytes of the address.
void CheckSearchKey(const char (&mac)[kMacLength], const std::string& key) {
    GWU_FUZZ_CHECK(key.size() <= kMacLength);
    GWU_FUZZ_CHECK(key.find('\0') == std::string::npos);
    GWU_FUZZ_CHECK(std::search(mac, mac + kMacLength, key.begin(), key.end()) != mac + kMacLength ||
                   key.empty());
    const bool allZero = std::all_of(mac, mac + kMacLength, [](char c) { return c == '\0'; });
    GWU_FUZZ_CHECK(key.empty() == allZero);
}

// Every entry's serial number and MAC text lie inside the content, in order, one line each:
// the serial number ends at the line's first comma and neither text holds a line feed.
void CheckEntries(const gwu::CDeployedUnitList& list, const std::string& content) {
    const char* previousEnd = nullptr;
    for (size_t k = 0; k < list.Count(); ++k) {
        const std::string_view serial = list.SerialNumber(k);
        const std::string_view mac = list.MACAddress(k);
        GWU_FUZZ_CHECK(serial.find_first_of(",\n") == std::string_view::npos);
        GWU_FUZZ_CHECK(mac.find('\n') == std::string_view::npos);
        GWU_FUZZ_CHECK(mac.data() == serial.data() + serial.size() + 1);
        GWU_FUZZ_CHECK(mac.data()[-1] == ',');
        GWU_FUZZ_CHECK(previousEnd == nullptr || serial.data() > previousEnd);
        previousEnd = mac.data() + mac.size();
    }
    if (list.Count() > 0) {
        // The stretch from the first entry to the end of the last is a piece of the content.
        const char* first = list.SerialNumber(0).data();
        const std::string span(first, static_cast<size_t>(previousEnd - first));
        GWU_FUZZ_CHECK(span.size() <= content.size());
        GWU_FUZZ_CHECK(content.find(span) != std::string::npos);
    }
}

// The repair's matching takes exactly the entries that PartialCompare accepts on both texts,
// in list order. A pattern of zeros matches any text, and so does one taken from the text.
void CheckMatching(const gwu::CDeployedUnitList& list, const char (&serialPattern)[kSerialLength],
                   const char (&macPattern)[kMacLength]) {
    std::vector<int> expected;
    const char zeros[kSerialLength] = {};
    for (size_t k = 0; k < list.Count(); ++k) {
        const std::string_view serial = list.SerialNumber(k);
        const std::string_view mac = list.MACAddress(k);
        if (CHLXSerialNumRepair::PartialCompare(serial, serialPattern, kSerialLength) &&
            CHLXSerialNumRepair::PartialCompare(mac, macPattern, kMacLength)) {
            expected.push_back(static_cast<int>(k));
        }
        GWU_FUZZ_CHECK(CHLXSerialNumRepair::PartialCompare(serial, zeros, kSerialLength));
        char own[kSerialLength] = {};
        std::memcpy(own, serial.data(), std::min(serial.size(), kSerialLength));
        GWU_FUZZ_CHECK(CHLXSerialNumRepair::PartialCompare(serial, own, kSerialLength));
    }
    GWU_FUZZ_CHECK(CHLXSerialNumRepair::PartialMatches(list, serialPattern, macPattern) ==
                   expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    char serialPattern[kSerialLength] = {};
    char mac[kMacLength] = {};
    input.ConsumeData(serialPattern, sizeof serialPattern);
    input.ConsumeData(mac, sizeof mac);
    // The repair searches with the key of the merged address; any key is tried as well.
    const bool keyFromMac = input.ConsumeBool();
    const std::string key = keyFromMac ? gwu::CDeployedUnitList::SearchKey(mac)
                                       : input.ConsumeRandomLengthString(kMacLength + 4);
    if (keyFromMac) {
        CheckSearchKey(mac, key);
    }
    const std::string content = input.ConsumeRemainingBytesAsString();

    gwu::CDeployedUnitList list;
    const bool found = list.Parse(content, key);
    GWU_FUZZ_CHECK(found == list.EntryAreaFound());
    GWU_FUZZ_CHECK(found || list.Count() == 0);
    CheckEntries(list, content);
    CheckMatching(list, serialPattern, mac);
    return 0;
}

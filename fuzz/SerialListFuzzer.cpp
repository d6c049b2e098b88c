// The serial-number list rewrite on any list content: the lines whose first field is the serial
// number are replaced by the record's line, every other line stays as it was, each with a CR LF; the
// check for a list that needs no rewrite agrees with the rewrite.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/SerialNumList.h"
#include "fuzz/FuzzCheck.h"

namespace {

// The lines of a content: split at LF, the CR before an LF dropped, a last line without LF
// counted.
std::vector<std::string_view> InputLines(std::string_view content) {
    std::vector<std::string_view> lines;
    while (!content.empty()) {
        const size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view{} : content.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
    }
    return lines;
}

// A record field as the communication module stores it: device text without line ends.
std::string Field(FuzzedDataProvider& input) {
    std::string text = input.ConsumeRandomLengthString(64);
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    gwu::SerialNumRecord record;
    record.serial = Field(input);
    record.release = Field(input);
    record.prom = Field(input);
    record.bootstrap = Field(input);
    const std::string content = input.ConsumeRemainingBytesAsString();

    const std::string newLine = gwu::FormatSerialNumLine(record);
    GWU_FUZZ_CHECK(newLine.size() >= 2 && newLine.compare(newLine.size() - 2, 2, "\r\n") == 0);
    GWU_FUZZ_CHECK(std::count(newLine.begin(), newLine.end(), '\n') == 1);
    GWU_FUZZ_CHECK(newLine.rfind(record.serial + ",", 0) == 0);

    const std::string output = gwu::RewriteSerialNumList(content, record.serial, newLine);
    const std::vector<std::string_view> before = InputLines(content);
    std::string_view rest = output;
    for (const std::string_view line : before) {
        const size_t end = rest.find('\n');
        GWU_FUZZ_CHECK(end != std::string_view::npos);  // as many lines as the input
        GWU_FUZZ_CHECK(end > 0 && rest[end - 1] == '\r');
        const std::string_view written = rest.substr(0, end + 1);
        rest.remove_prefix(end + 1);
        if (!gwu::LineBelongsTo(line, record.serial)) {
            GWU_FUZZ_CHECK(written.substr(0, written.size() - 2) == line);
        } else {
            GWU_FUZZ_CHECK(written == newLine);
        }
    }
    GWU_FUZZ_CHECK(rest.empty());
    // The shortcut for a device met again unchanged never skips a rewrite that would change
    // the list. (It may miss an unchanged one, for a serial number holding a CR, which the
    // list never stores: that only costs a rewrite.)
    if (gwu::AlreadyRecorded(content, record.serial, newLine)) {
        GWU_FUZZ_CHECK(output == content);
    }
    // Serial numbers as the list stores them, without CR or LF: the shortcut is exact.
    if (record.serial.find_first_of("\r\n") == std::string::npos) {
        GWU_FUZZ_CHECK(gwu::AlreadyRecorded(content, record.serial, newLine) ==
                       (output == content));
    }
    return 0;
}

// The serial-number list rewrite on any list content: the lines whose first field is the serial
// number are replaced by the record's line, every other line stays as it was, each with a CR LF;
// the check for a list that needs no rewrite agrees with the rewrite.
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
    // (A braced list is evaluated in order: serial number, release, PROM, bootstrap.)
    const gwu::SerialNumRecord record{Field(input), Field(input), Field(input), Field(input)};
    const std::string content = input.ConsumeRemainingBytesAsString();

    const std::string newLine = gwu::FormatSerialNumLine(record);
    GWU_FUZZ_CHECK(newLine.size() >= 2 && newLine.compare(newLine.size() - 2, 2, "\r\n") == 0);
    GWU_FUZZ_CHECK(std::count(newLine.begin(), newLine.end(), '\n') == 1);
    GWU_FUZZ_CHECK(newLine.rfind(record.serial + ",", 0) == 0);

    const std::string output = gwu::RewriteSerialNumList(content, record.serial, newLine);
    std::string expected;  // each line kept, or replaced by the record's line, with a CR LF
    for (const std::string_view line : InputLines(content)) {
        expected += gwu::LineBelongsTo(line, record.serial) ? newLine : std::string(line) + "\r\n";
    }
    GWU_FUZZ_CHECK(output == expected);
    // The shortcut for a device met again unchanged skips exactly the rewrites that would not
    // change the list (the fields, as the module stores them, hold no CR or LF).
    GWU_FUZZ_CHECK(gwu::AlreadyRecorded(content, record.serial, newLine) == (output == content));
    return 0;
}

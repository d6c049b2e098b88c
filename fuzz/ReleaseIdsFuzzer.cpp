// Release identifiers as devices and firmware files give them: the trimming of both families
// and the comparison of two identifiers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "fuzz/FuzzCheck.h"
#include "gateway/ReleaseCompare.h"
#include "host/MemoryValueStore.h"
#include "testsupport/ScriptedComms.h"

namespace {

DIFFTYPE Mirrored(DIFFTYPE verdict) {
    return verdict == DIFF_NEWER ? DIFF_OLDER : verdict == DIFF_OLDER ? DIFF_NEWER : verdict;
}

// An identifier equals itself, and swapping the two sides swaps newer and older.
void CheckComparison(const std::string& device, const std::string& disk) {
    GWU_FUZZ_CHECK(gwu::CompareReleaseIds(device, device) == DIFF_SAME);
    const DIFFTYPE verdict = gwu::CompareReleaseIds(device, disk);
    GWU_FUZZ_CHECK(verdict == DIFF_SAME || verdict == DIFF_NEWER || verdict == DIFF_OLDER);
    GWU_FUZZ_CHECK(gwu::CompareReleaseIds(disk, device) == Mirrored(verdict));
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Families {
    gwu::host::Frame frame;
    gwu::test::ScriptedComms comms;
    CHLXUtils hlx{&comms, &frame};
    CQPTUtils qpt{&comms, &frame};
};

// The trimmed identifier of each family, or the text itself when it does not trim.
std::string TrimHlx(Families& families, const std::string& text) {
    std::string trimmed = "untouched";
    if (families.hlx.TrimReleaseId(text, trimmed)) {
        // The release part after the last underscore of a KLEM_ identifier.
        GWU_FUZZ_CHECK(text.find("KLEM_") != std::string::npos);
        GWU_FUZZ_CHECK(trimmed.rfind("R", 0) == 0 || trimmed.rfind("ER", 0) == 0);
        GWU_FUZZ_CHECK(EndsWith(text, "_" + trimmed));
        GWU_FUZZ_CHECK(trimmed.find('_') == std::string::npos);
    } else {
        GWU_FUZZ_CHECK(trimmed == text);
    }
    return trimmed;
}

std::string TrimQpt(Families& families, const std::string& text) {
    std::string trimmed;
    if (!families.qpt.TrimReleaseId(text, trimmed)) {
        GWU_FUZZ_CHECK(text.find("Release ") == std::string::npos);
        return text;
    }
    GWU_FUZZ_CHECK(trimmed.rfind("R", 0) == 0);
    GWU_FUZZ_CHECK(EndsWith(text, trimmed.substr(1)));
    return trimmed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    static Families families;
    FuzzedDataProvider input(data, size);
    const std::string device = input.ConsumeRandomLengthString(512);
    const std::string disk = input.ConsumeRemainingBytesAsString();

    CheckComparison(device, disk);
    CheckComparison(TrimHlx(families, device), TrimHlx(families, disk));
    CheckComparison(TrimQpt(families, device), TrimQpt(families, disk));
    return 0;
}

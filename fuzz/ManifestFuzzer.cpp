// The release manifest reader on any bytes: it refuses with a reason or returns a manifest that
// holds only plain file names, each once, and that its writer writes back to a manifest the
// reader reads the same.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "firmware/signing/Manifest.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace gwu::signing;
    const ManifestReading reading =
        ParseManifest(std::string(reinterpret_cast<const char*>(data), size));
    GWU_FUZZ_CHECK(reading.manifest.has_value() == reading.problem.empty());
    if (!reading.manifest) {
        return 0;
    }
    std::set<std::string> names;
    for (const ManifestEntry& entry : reading.manifest->files) {
        GWU_FUZZ_CHECK(IsPlainFileName(entry.name));
        GWU_FUZZ_CHECK(names.insert(entry.name).second);
    }
    GWU_FUZZ_CHECK(reading.manifest->sequence >= 1);
    const std::string written = WriteManifest(*reading.manifest);
    const ManifestReading again = ParseManifest(written);
    GWU_FUZZ_CHECK(again.manifest.has_value());
    GWU_FUZZ_CHECK(WriteManifest(*again.manifest) == written);
    return 0;
}

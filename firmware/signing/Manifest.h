// The manifest of a signed release folder, "RELEASES.json", and its detached signature
// "RELEASES.json.sig" beside it (Crypto.h: ECDSA P-256 over SHA-256, DER, over the manifest's
// exact bytes).
//
// The manifest is one JSON object, UTF-8:
//   {"format": 1, "created": "2026-12-07T10:00:00Z", "sequence": 3,
//    "files": [{"name": "HLX_LC.rel", "size": 42, "sha256": "<64 hex digits>",
//               "release_id": "KLEM_12345_R4.2.1"}, ...]}
// - format: the manifest format's version; a reader refuses a newer one;
// - created: when it was made, UTC;
// - sequence: grows with each publication of the folder by its publisher (1 and up); a tester
//   refuses a set older than one it has accepted from the same publisher;
// - files: every file of the folder a device can load (the release files, the cable's hex image,
//   custom CPLD files), by plain name (no folder), each once, with its size in bytes, its
//   SHA-256, and the Release-Id its first line holds when it holds one.
// Files the tools make (a device-load file ".bin", its ".placing" copy) are not listed: they are
// checked against the entry of the release they copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gatewayutils/firmware/signing/Crypto.h"

namespace gwu::signing {

constexpr const char* kManifestName = "RELEASES.json";
constexpr const char* kSignatureName = "RELEASES.json.sig";
constexpr int kManifestFormat = 1;
// A larger manifest is refused unread: a folder holds a few dozen files.
constexpr std::uint64_t kMaxManifestBytes = std::uint64_t{1024} * 1024;
// A signature file larger than this is no DER ECDSA signature (those are about 72 bytes).
constexpr std::uint64_t kMaxSignatureBytes = 4096;

struct ManifestEntry {
    std::string name;
    std::uint64_t size = 0;
    Digest sha256{};
    std::optional<std::string> releaseId;
};

struct Manifest {
    int format = kManifestFormat;
    std::string created;  // "YYYY-MM-DDTHH:MM:SSZ"
    std::uint64_t sequence = 0;
    std::vector<ManifestEntry> files;  // sorted by name when written

    const ManifestEntry* Find(std::string_view name) const;
};

// The manifest the bytes hold, or the reason they hold none: not JSON, above
// kMaxManifestBytes, a newer format, a member missing or of the wrong type, a sequence below 1,
// a name that is not a plain file name (empty, "." or "..", a folder separator, a drive or
// absolute path, a control character), a name listed twice, a digest that is not 64 hex digits.
struct ManifestReading {
    std::optional<Manifest> manifest;
    std::string problem;
};
ManifestReading ParseManifest(std::string_view bytes);

// The manifest's bytes: the JSON above, members in that order, files sorted by name, one file
// per line, ending with a line feed. ParseManifest reads back what this writes.
std::string WriteManifest(const Manifest& manifest);

// Whether the name is a plain file name a manifest may list (see ParseManifest).
bool IsPlainFileName(std::string_view name);

// Whether a file of the folder is one a manifest lists: every regular file but the manifest,
// its signature, the files the tools make (".bin", ".placing") and hidden files (".name", which
// no device loads: a checkout's or a file manager's own).
bool IsPublishedFile(std::string_view name);

// The manifest of a folder as it is now: every published file with its size, digest and
// Release-Id; the sequence and the creation time as given. The problem names the file that could
// not be read, or a file that is not a plain regular file (a folder, a link).
ManifestReading MakeManifest(const std::string& folder, std::uint64_t sequence,
                             const std::string& created);

// The current time, UTC, as "created" writes it.
std::string UtcNow();

}  // namespace gwu::signing

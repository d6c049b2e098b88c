// A tester's pull of its group's release set from the fleet collector, after its events are sent
// and under the same sync lock (cli/Sync.h).
//
// The collector names the set assigned to the tester's group (GET /api/v1/release: set,
// publication, sequence and the SHA-256 of its manifest). When that manifest is not the one of
// the firmware folder in use, the set is downloaded into "<firmware>.staging" beside it: the
// manifest (at most signing::kMaxManifestBytes, its digest the one named), its signature, then
// every file the manifest lists, each refused as soon as it is longer than listed or its bytes
// differ. The marker ".fleet-set.json" (a hidden file, never a published one) says which set the
// staging folder holds. The staging folder is then judged exactly as a firmware folder is before
// an update, with the tester's trust folder and sequence ledger; a set must be verified, signed
// by a trusted key. A set that passes replaces the folder in use by two renames: the folder in
// use becomes "<firmware>.previous" (an older one removed first), the staging folder the
// firmware folder. Anything that fails removes the staging folder and leaves the folder in use
// as it was; a sync that finds the firmware folder missing beside a complete staging folder (a
// switch stopped between its renames) finishes the switch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "http/Message.h"

namespace gwu::cli {

struct Options;

constexpr const char* kSetMarkerName = ".fleet-set.json";
constexpr const char* kStagingSuffix = ".staging";
constexpr const char* kPreviousSuffix = ".previous";
// A release file of a set is at most this long.
constexpr std::size_t kMaxSetFileBytes = std::size_t{64} * 1024 * 1024;

// The firmware folder a pull may replace: the one named by --firmware or GWU_FIRMWARE_DIR, as
// the command was started (never the sample folder or a working copy of it); empty when none is
// named.
std::string NamedFirmwareFolder(const Options& options);

// A GET of the target (a path below the collector's URL, "/api/v1/release") with the tester's
// token, its response body refused beyond `limit` bytes, within the sync's time; nothing, and
// why in error, when no response came.
using FleetGet = std::function<std::optional<http::Response>(
    const std::string& target, std::size_t limit, std::string& error)>;

struct PullSettings {
    std::string firmware;  // the folder in use; empty: nothing is pulled
    std::string trust;     // the trust folder (the log folder's sequence ledger goes with it)
};

struct PullResult {
    bool switched = false;  // the firmware folder now holds the set
    std::string set, publisher;
    std::uint64_t publication = 0, sequence = 0;
    std::string problem;  // why the folder in use was left as it was, in one line
};

// Finishes a switch that stopped between its two renames: the firmware folder missing, the
// staging folder complete (its marker naming its manifest) and verified again.
PullResult FinishSwitch(const PullSettings& settings);

// Asks for the group's set and installs it when it is another than the folder's.
PullResult PullReleaseSet(const PullSettings& settings, const FleetGet& get);

// The line said when the folder changed.
std::string SwitchedText(const PullResult& result, const std::string& firmware);

// The name of the set a folder holds: its marker's, when the marker names the folder's manifest.
std::optional<std::string> SetOfFolder(const std::string& folder);

}  // namespace gwu::cli

// Sending the tester's history to the fleet collector (gwfleet): the fleet configuration of the
// log folder, the cursor of what the fleet acknowledged, and the sync itself, as the command
// `gwctl sync` and as the automatic sync after check, update and cable.
//
// The sync reads the history's events above the cursor's acknowledged sequence and posts their
// lines, as the files hold them, in batches of at most kBatchEvents events and kBatchBytes bytes
// to POST /api/v1/events, oldest first. After each 200 it records the acknowledged sequence in
// the cursor (replaced atomically), so that a sync that stops resumes where the fleet's
// acknowledgement ended and nothing stored is sent again. A 503 (and any 5xx or 429), a
// connection that fails and a timeout are tried again with a growing pause (0.25 s doubling up
// to 4 s, at least what Retry-After asks) while the sync's time lasts; any other refusal, and a
// collector's certificate refused (not trusted, or not naming the host), ends the sync and is
// said. An answer from another fleet than the cursor's (its database's own id) starts again
// from the first event. Syncs of one log folder take turns on a lock file.
//
// Once every event is acknowledged, the sync pulls the tester's release set into the named
// firmware folder (cli/ReleasePull.h), still under the lock and within the sync's time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/FleetFiles.h"
#include "cli/ReleasePull.h"
#include "cli/Session.h"
#include "http/Message.h"

namespace gwu::cli {

constexpr const char* kFleetLockName = "fleet-sync.lock";
constexpr std::size_t kBatchEvents = 500;
constexpr std::size_t kBatchBytes = 1024 * 1024;
// The automatic sync after a command, in all; and `gwctl sync`'s.
constexpr std::chrono::milliseconds kAutomaticSyncTime{5000};
constexpr std::chrono::milliseconds kSyncTime{30000};

struct SyncSettings {
    std::string folder;  // the log folder: history, cursor, lock
    std::string url;
    std::string tokenFile;
    std::string caFile;
    std::chrono::milliseconds time = kSyncTime;  // for everything, waiting for the lock included
    PullSettings pull;                           // no firmware folder: no set is pulled
};

struct SyncResult {
    bool complete = false;  // every event was acknowledged
    std::uint64_t sent = 0, stored = 0, duplicates = 0, conflicts = 0;
    std::uint64_t acknowledged = 0;  // the cursor's, at the end
    std::string fleet;
    std::string problem;  // why the sync is not complete, in words (one line)
    PullResult pull;      // the release set's pull, when the events all went
};
SyncResult SyncHistory(const SyncSettings& settings);

// gwctl sync: the options, else the log folder's fleet.conf.
int RunSync(Session& session);
// After check, update and cable: a sync when the log folder's fleet.conf names a url, within
// kAutomaticSyncTime; a problem is one warning line on stderr. The firmware folder is the one
// the command was given (NamedFirmwareFolder), empty when none.
void SyncAfterCommand(const Options& options, const std::string& firmware);

// "503 Service Unavailable", or the number alone where no phrase is known here.
std::string StatusText(int status);
// What the collector's error body says, if anything, in one line.
std::string CollectorError(const http::Response& response);

}  // namespace gwu::cli

// Which devices are behind each release set, kept in the table set_devices with their counts in
// set_counts (see migrations/0003_reports.sql), so that the "behind" report reads rows instead
// of comparing the fleet. A device is compared with a set when its inventory holds a release of
// a code type the set holds for the device's family, and behind when the library's verdict of
// any of those code types (gwu::CompareReleaseIds, the device's against the set's) is not Same.
// Each throws DbError.
#pragma once

#include <string>
#include <vector>

#include "fleet/Postgres.h"

namespace gwu::fleet {

// A code type of a device whose release differs from a set's, and the verdict.
struct CodeVerdict {
    std::string code, device, set, verdict;
    bool operator==(const CodeVerdict& other) const;
};

// The family set_releases names for a card: "communication" for the communication module's card,
// "measurement" for any other.
const char* FamilyOfCard(const std::string& card);

// The codes column's text of a device's differing code types, and back.
std::string EncodeCodes(const std::vector<CodeVerdict>& codes);
std::vector<CodeVerdict> DecodeCodes(const std::string& text);

// Brings the rows of these devices up to date for every named set, from the inventory as this
// transaction sees it. Called in the ingest's transaction once it has updated the inventory (so
// with the devices' rows locked by it: two transactions over one device take turns here).
void UpdateBehind(Database& database, const std::vector<std::string>& serials);

// Recomputes every row of the set, for all devices, from device_releases and set_releases; a set
// no longer named (or holding no releases) is left with none. Runs in the caller's transaction,
// the one that changed the set (it fails outside one): it locks set_devices against the ingest
// until that transaction ends, so that no batch's rows are computed from the set's old releases.
void RefreshSet(Database& database, const std::string& set);

}  // namespace gwu::fleet

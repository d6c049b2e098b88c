// What a tester lets reach a gateway from a firmware release folder: the trusted publishers, the
// highest sequence it accepted from each, and the checks built on them that the tools and a
// host install (the library's file verifier, the stand-in host's placement check).
//
// The rules:
// - When the folder has a manifest, every file the device may load must hold the bytes it
//   lists, trusted key or not; a manifest that cannot be read refuses the folder.
// - With a trusted key configured, the manifest must carry a valid signature by one of them,
//   of a sequence no lower than the highest accepted from that key. allowUnsigned lets an
//   unsigned, untrusted or badly signed folder through (its digests are still checked when the
//   manifest can be read); allowRollback lets an older set of a trusted key through.
// - Without a trusted key the folder is unverified: it is used, and the tools say so. A trust
//   folder whose files hold no usable key counts as configured, and verifies nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gatewayutils/firmware/signing/FolderCheck.h"
#include "gatewayutils/platform/FileVerifier.h"

namespace gwu::signing {

// The highest sequence a tester accepted from each trusted key, by the key's fingerprint: the
// file "trusted-sequences.txt" in its log folder, one line "<fingerprint> <sequence>" per key,
// CR LF. Any number of processes may record at once: a record is made under the file's lock and
// replaces the file in one rename. Lines it does not understand are kept as they are.
constexpr const char* kSequenceLedgerName = "trusted-sequences.txt";
class SequenceLedger {
public:
    explicit SequenceLedger(std::string path) : m_path(std::move(path)) {}
    const std::string& Path() const { return m_path; }

    // The highest sequence accepted from the key, 0 when none. When the file cannot be read
    // or its line for the key is malformed, 0 with the reason in problem: nothing is known.
    std::uint64_t Highest(const std::string& fingerprint, std::string& problem) const;
    // Records the sequence when it is higher than the key's on record. Empty, or why it could
    // not be recorded.
    std::string Accept(const std::string& fingerprint, std::uint64_t sequence) const;

private:
    std::string m_path;
};

struct Policy {
    // Whether a trusted key is configured: a key, or a trust file meant as one.
    bool TrustConfigured() const { return !trusted.empty() || !problems.empty(); }

    std::vector<TrustedKey> trusted;  // none: folders are used unverified
    bool allowUnsigned = false;
    bool allowRollback = false;
    std::string ledger;  // the sequence ledger's path; empty: none is kept
    // Trust files that hold no usable key. A trust folder with such a file still counts as
    // configured: whoever put it there meant folders to be verified.
    std::vector<std::string> problems;
    std::string trustFolder;  // where the keys came from, for the messages
};

// A tester's policy: the keys of the trust folder and the ledger in its log folder.
Policy TesterPolicy(const std::string& trustFolder, const std::string& logFolder,
                    bool allowUnsigned = false, bool allowRollback = false);

// What the policy says of a folder as it is now, every file read.
struct FolderVerdict {
    FolderCheck check;      // RolledBack when the ledger knows a higher sequence
    bool verified = false;  // signed by a trusted key, not rolled back, every file matching
    bool usable = false;    // the policy lets its files reach a device
    std::string refusal;    // why not usable: the file and the reason
    std::string warning;    // why a usable folder is not verified, for a line on every run
};
FolderVerdict Evaluate(const std::string& folder, const Policy& policy);

// Records the folder's sequence for its publisher once the tools have used a verified folder.
// Empty, or why it could not be recorded.
std::string RecordAccepted(const FolderVerdict& verdict, const Policy& policy);

// The library's file verifier for this policy (CGatewayChecks::SetFileVerifier): the manifest's
// signature and sequence as above, and each file's bytes against the manifest entry it must
// match. A host installs it with one call:
//   checks.SetFileVerifier(gwu::signing::MakeFileVerifier(
//       gwu::signing::TesterPolicy(trustFolder, logFolder)));
GatewayFileVerifier MakeFileVerifier(std::shared_ptr<const Policy> policy);
GatewayFileVerifier MakeFileVerifier(Policy policy);

// The stand-in host's check of the exact bytes it is about to place as a device-load file
// (host::SetPlacementCheck): empty when the release's bytes may go, else why not.
using PlacementCheck = std::function<std::string(
    const std::string& folder, const std::string& releaseName, std::string_view bytes)>;
PlacementCheck MakePlacementCheck(std::shared_ptr<const Policy> policy);

}  // namespace gwu::signing

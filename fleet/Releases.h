// Release sets on the collector: a publisher's signed release folder stored as it was signed (the
// collector holds no private key and changes no byte), published under a set's name; groups of
// testers assigned a set; and what a tester of a group downloads. A tester verifies what it
// downloads with its own trusted keys: the collector only refuses a folder that could never pass
// (unsigned, a manifest that cannot be read, files that do not match it). Each throws DbError.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fleet/Postgres.h"

namespace gwu::fleet {

// A file above this, or a folder above the other, is refused: a set is a few release files.
constexpr std::uint64_t kMaxPublishedFileBytes = std::uint64_t{64} << 20;
constexpr std::uint64_t kMaxPublishedFolderBytes = std::uint64_t{256} << 20;

// Why the name cannot name a set or a group (letters, digits, '.', '-', '_', at most 64);
// empty when it can.
std::string SetNameProblem(const std::string& name);

struct PublishedFile {
    std::string name;
    std::string content;
    std::string sha256;                    // lower-case hex
    std::optional<std::string> releaseId;  // as the manifest lists it
};

// A signed release folder as read for publishing: the manifest and its signature byte for byte,
// and every file the manifest lists, each checked against its entry.
struct SignedFolder {
    std::string manifest, signature;
    std::string manifestSha256;  // lower-case hex
    std::uint64_t sequence = 0;
    std::vector<PublishedFile> files;
    std::uint64_t Bytes() const;
};

// The folder, or nothing with the reason: no manifest, no signature, a manifest that cannot be
// read or a signature that is malformed, a file that is missing, differs from its entry or is not
// listed, a file or the folder above its size limit.
std::optional<SignedFolder> ReadSignedFolder(const std::string& folder, std::string& problem);

struct Publication {
    long long id = 0;
    std::uint64_t sequence = 0;
    size_t files = 0;
    std::uint64_t bytes = 0;
    // The sequence of the publication the set stood for before, when there was one.
    std::optional<long long> previousSequence;
};

// Stores the folder as a new publication and points the set at it (made when new), with the
// releases its ".rel" files hold: all in one transaction. A set published again keeps its former
// publications' rows.
Publication Publish(Database& database, const std::string& set, const SignedFolder& folder);

// Reads the folder and publishes it as the set; nothing stored, and the reason, when the set's
// name or the folder is refused.
std::optional<Publication> PublishFolder(Database& database, const std::string& folder,
                                         const std::string& set, std::string& problem);

// Assigns the set to the group; false when there is no such set.
bool AssignSet(Database& database, const std::string& set, const std::string& group);
// Puts the tester in the group ("" takes it out of any); false when there is no such tester.
bool SetTesterGroup(Database& database, const std::string& tester, const std::string& group);

// {"sets": [{"name", "publication", "sequence", "published", "manifest_sha256",
// "groups": [G, ...]}]}, by name.
nlohmann::json Sets(Database& database);

// {"set", "publication", "sequence", "manifest_sha256"}: the set of the tester's group; nothing
// when it has no group or its group no set.
std::optional<nlohmann::json> CurrentRelease(Database& database, const std::string& tester);

// The bytes of the file (the manifest, its signature or a file it lists) of the publication,
// when that is the one the tester's group stands for now; else nothing.
std::optional<std::string> ReleaseFile(Database& database, const std::string& tester,
                                       long long publication, const std::string& name);

}  // namespace gwu::fleet

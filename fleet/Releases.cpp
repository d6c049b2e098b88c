#include "fleet/Releases.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "firmware/signing/FolderCheck.h"
#include "firmware/signing/Manifest.h"

namespace gwu::fleet {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr size_t kMaxSetName = 64;

// A ".rel" file's family and code type as the events name them, from its name
// ("HLX_BOOT.rel": communication, BS); nothing for any other file.
struct FileRelease {
    const char* family;
    const char* code;
};
std::optional<FileRelease> ReleaseOfFile(const std::string& name) {
    static const struct {
        const char* prefix;
        const char* family;
    } families[] = {{"HLX_", "communication"}, {"QPT_", "measurement"}};
    static const struct {
        const char* file;
        const char* code;
    } codes[] = {{"LC", "LC"}, {"PROM", "PROM"}, {"BOOT", "BS"}, {"CPLD", "CPLD"}, {"MAC", "MAC"}};
    for (const auto& family : families) {
        for (const auto& code : codes) {
            if (name == std::string(family.prefix) + code.file + ".rel") {
                return FileRelease{family.family, code.code};
            }
        }
    }
    return std::nullopt;
}

// The file's bytes, at most limit of them (one more tells it is larger); nothing when it cannot
// be read.
std::optional<std::string> ReadBytes(const fs::path& path, std::uint64_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes;
    char piece[1 << 16];
    while (bytes.size() <= limit && in.read(piece, sizeof piece).gcount() > 0) {
        bytes.append(piece, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    if (bytes.size() > limit + 1) {
        bytes.resize(static_cast<size_t>(limit) + 1);
    }
    return bytes;
}

// Whether the bytes have the form of a DER ECDSA signature over P-256: SEQUENCE { INTEGER r,
// INTEGER s }, each of at most 33 bytes, nothing after it. The collector trusts no key, so the
// signature itself is the testers' to verify; this only refuses a file that no key could have
// made (a PEM text, another file put in its place).
bool HasSignatureForm(const std::string& der) {
    const auto byte = [&der](size_t at) { return static_cast<unsigned char>(der[at]); };
    if (der.size() < 8 || byte(0) != 0x30 || byte(1) != der.size() - 2) {
        return false;
    }
    size_t at = 2;
    for (int integer = 0; integer < 2; ++integer) {
        if (at + 2 > der.size() || byte(at) != 0x02 || byte(at + 1) == 0 || byte(at + 1) > 33 ||
            at + 2 + byte(at + 1) > der.size()) {
            return false;
        }
        at += 2 + byte(at + 1);
    }
    return at == der.size();
}

// Every file of the check that does not match its entry, in words.
std::string Mismatches(const signing::FolderCheck& check) {
    std::string text;
    for (const signing::FileCheck& file : check.files) {
        if (file.state != signing::FileState::Matches) {
            text += (text.empty() ? "" : "; ") + file.name + ": " +
                    signing::FileStateName(file.state) +
                    (file.problem.empty() ? "" : " (" + file.problem + ")");
        }
    }
    return text;
}

std::string SizeProblem(const signing::Manifest& manifest) {
    std::uint64_t total = 0;
    for (const signing::ManifestEntry& entry : manifest.files) {
        if (entry.size > kMaxPublishedFileBytes) {
            return entry.name + " has " + std::to_string(entry.size) +
                   " bytes, above the limit of " + std::to_string(kMaxPublishedFileBytes);
        }
        total += entry.size;
    }
    if (total > kMaxPublishedFolderBytes) {
        return "the folder's files have " + std::to_string(total) + " bytes, above the limit of " +
               std::to_string(kMaxPublishedFolderBytes);
    }
    return {};
}

std::string Utc(const std::string& column) {
    return "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";
}

// The publication the tester's group stands for now, and its set.
constexpr const char* kTestersPublication =
    "FROM testers t JOIN group_sets g ON g.group_name = t.group_name JOIN release_sets s ON "
    "s.name = g.set_name JOIN publications p ON p.id = s.publication ";

}  // namespace

std::string SetNameProblem(const std::string& name) {
    if (name.empty()) {
        return "it is empty";
    }
    if (name.size() > kMaxSetName) {
        return "it is longer than " + std::to_string(kMaxSetName) + " characters";
    }
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_';
    });
    return plain ? "" : "only letters, digits, '.', '-' and '_' are taken";
}

std::uint64_t SignedFolder::Bytes() const {
    std::uint64_t bytes = 0;
    for (const PublishedFile& file : files) {
        bytes += file.content.size();
    }
    return bytes;
}

std::optional<SignedFolder> ReadSignedFolder(const std::string& folder, std::string& problem) {
    const fs::path root(folder);
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        problem = folder + " is no folder";
        return std::nullopt;
    }
    for (const char* name : {signing::kManifestName, signing::kSignatureName}) {
        if (!fs::is_regular_file(root / name, error)) {
            problem = std::string("the folder has no ") + name +
                      (name == signing::kManifestName ? "" : ": it is unsigned");
            return std::nullopt;
        }
    }
    // The signature's form and every file against the manifest; no key is trusted here, so a
    // well-formed signature is "untrusted", which is all the collector can know of it.
    const signing::FolderCheck check = signing::CheckFolder(folder, {});
    if (check.signature == signing::SignatureState::Invalid ||
        check.signature == signing::SignatureState::Unsigned || !check.manifest) {
        problem = check.problem.empty() ? "the manifest cannot be read" : check.problem;
        return std::nullopt;
    }
    if (problem = SizeProblem(*check.manifest); !problem.empty()) {
        return std::nullopt;
    }
    if (problem = Mismatches(check); !problem.empty()) {
        problem = "the files do not match the manifest: " + problem;
        return std::nullopt;
    }
    // What is stored is what is read now, each file checked again against the manifest read
    // with it: a folder changed meanwhile is refused, never stored half old and half new.
    SignedFolder result;
    const std::optional<std::string> manifest =
        ReadBytes(root / signing::kManifestName, signing::kMaxManifestBytes);
    const std::optional<std::string> signature =
        ReadBytes(root / signing::kSignatureName, signing::kMaxSignatureBytes);
    const signing::ManifestReading reading =
        manifest ? signing::ParseManifest(*manifest) : signing::ManifestReading{};
    if (!signature || !reading.manifest) {
        problem = "the manifest or its signature changed while they were read";
        return std::nullopt;
    }
    if (!HasSignatureForm(*signature)) {
        problem = std::string(signing::kSignatureName) + " is no DER ECDSA signature";
        return std::nullopt;
    }
    result.manifest = *manifest;
    result.signature = *signature;
    result.manifestSha256 = signing::ToHex(signing::Sha256::Of(*manifest));
    result.sequence = reading.manifest->sequence;
    if (problem = SizeProblem(*reading.manifest); !problem.empty()) {
        return std::nullopt;
    }
    for (const signing::ManifestEntry& entry : reading.manifest->files) {
        std::optional<std::string> bytes = ReadBytes(root / entry.name, entry.size);
        const signing::Digest digest = signing::Sha256::Of(bytes ? *bytes : std::string());
        if (!bytes ||
            signing::CheckBytes(*reading.manifest, entry.name, digest, bytes->size()).state !=
                signing::FileState::Matches) {
            problem = entry.name + " changed while it was read";
            return std::nullopt;
        }
        result.files.push_back(
            {entry.name, std::move(*bytes), signing::ToHex(digest), entry.releaseId});
    }
    return result;
}

Publication Publish(Database& database, const std::string& set, const SignedFolder& folder) {
    Transaction transaction(database);
    Publication publication{0, folder.sequence, folder.files.size(), folder.Bytes(), {}};
    const Result previous = database.Exec(
        "SELECT p.sequence FROM release_sets s JOIN publications p ON p.id = s.publication "
        "WHERE s.name = $1 FOR UPDATE OF s",
        {set});
    if (previous.Rows() > 0) {
        publication.previousSequence = previous.Int(0, 0);
    }
    publication.id = database
                         .ExecRaw(
                             "INSERT INTO publications (set_name, sequence, manifest, "
                             "signature, manifest_sha256) VALUES ($1, $2, $3, $4, $5) "
                             "RETURNING id",
                             {set, std::to_string(folder.sequence), folder.manifest,
                              folder.signature, folder.manifestSha256},
                             {2, 3}, false)
                         .Int(0, 0);
    const std::string id = std::to_string(publication.id);
    for (const PublishedFile& file : folder.files) {
        database.ExecRaw(
            "INSERT INTO publication_files (publication, name, content, sha256) VALUES ($1, $2, "
            "$3, $4)",
            {id, file.name, file.content, file.sha256}, {2}, false);
    }
    database.Exec(
        "INSERT INTO release_sets (name, publication) VALUES ($1, $2) ON CONFLICT (name) DO "
        "UPDATE SET publication = excluded.publication, updated = now()",
        {set, id});
    database.Exec("DELETE FROM set_releases WHERE set_name = $1", {set});
    for (const PublishedFile& file : folder.files) {
        const std::optional<FileRelease> release = ReleaseOfFile(file.name);
        if (release && file.releaseId) {
            database.Exec(
                "INSERT INTO set_releases (set_name, family, code, release) VALUES ($1, $2, $3, "
                "$4)",
                {set, std::string(release->family), std::string(release->code), *file.releaseId});
        }
    }
    // Reports kept per set are brought up to date here, in this transaction, so that they
    // never describe a set other than the one published.
    transaction.Commit();
    return publication;
}

std::optional<Publication> PublishFolder(Database& database, const std::string& folder,
                                         const std::string& set, std::string& problem) {
    if (problem = SetNameProblem(set); !problem.empty()) {
        problem = "bad set name \"" + set + "\": " + problem;
        return std::nullopt;
    }
    const std::optional<SignedFolder> read = ReadSignedFolder(folder, problem);
    if (!read) {
        return std::nullopt;
    }
    return Publish(database, set, *read);
}

bool AssignSet(Database& database, const std::string& set, const std::string& group) {
    return database
               .Exec(
                   "INSERT INTO group_sets (group_name, set_name) SELECT $2, name FROM "
                   "release_sets WHERE name = $1 ON CONFLICT (group_name) DO UPDATE SET "
                   "set_name = excluded.set_name, assigned = now() RETURNING group_name",
                   {set, group})
               .Rows() > 0;
}

bool SetTesterGroup(Database& database, const std::string& tester, const std::string& group) {
    return database
               .Exec("UPDATE testers SET group_name = $2 WHERE name = $1 RETURNING name",
                     {tester, group.empty() ? Param() : Param(group)})
               .Rows() > 0;
}

Json Sets(Database& database) {
    const Result rows = database.Exec(
        "SELECT s.name, p.id, p.sequence, " + Utc("p.published") +
        ", p.manifest_sha256, coalesce((SELECT json_agg(g.group_name ORDER BY g.group_name "
        "COLLATE \"C\") FROM group_sets g WHERE g.set_name = s.name), '[]') FROM release_sets s "
        "JOIN publications p ON p.id = s.publication ORDER BY s.name COLLATE \"C\"");
    Json sets = Json::array();
    for (int row = 0; row < rows.Rows(); ++row) {
        sets.push_back({{"name", rows.Text(row, 0)},
                        {"publication", rows.Int(row, 1)},
                        {"sequence", rows.Int(row, 2)},
                        {"published", rows.Text(row, 3)},
                        {"manifest_sha256", rows.Text(row, 4)},
                        {"groups", Json::parse(rows.Text(row, 5))}});
    }
    return {{"sets", std::move(sets)}};
}

std::optional<Json> CurrentRelease(Database& database, const std::string& tester) {
    const Result rows =
        database.Exec(std::string("SELECT s.name, p.id, p.sequence, p.manifest_sha256 ") +
                          kTestersPublication + "WHERE t.name = $1",
                      {tester});
    if (rows.Rows() == 0) {
        return std::nullopt;
    }
    return Json{{"set", rows.Text(0, 0)},
                {"publication", rows.Int(0, 1)},
                {"sequence", rows.Int(0, 2)},
                {"manifest_sha256", rows.Text(0, 3)}};
}

std::optional<std::string> ReleaseFile(Database& database, const std::string& tester,
                                       long long publication, const std::string& name) {
    // The manifest and its signature first: a file the manifest lists never takes their names.
    const Result rows = database.ExecRaw(
        std::string("SELECT x.content ") + kTestersPublication +
            "CROSS JOIN LATERAL (SELECT p.manifest AS content, 0 AS rank "
            "WHERE $3 = '" +
            signing::kManifestName + "' UNION ALL SELECT p.signature, 1 WHERE $3 = '" +
            signing::kSignatureName +
            "' UNION ALL SELECT f.content, 2 FROM publication_files f WHERE f.publication = p.id "
            "AND f.name = $3) x WHERE t.name = $1 AND p.id = $2::bigint ORDER BY x.rank LIMIT 1",
        {tester, std::to_string(publication), name}, {}, true);
    if (rows.Rows() == 0) {
        return std::nullopt;
    }
    return rows.Text(0, 0);
}

}  // namespace gwu::fleet

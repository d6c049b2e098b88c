// A release folder against its manifest and signature (FolderCheck.h).
#include "firmware/signing/FolderCheck.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "signing/SigningText.h"

namespace gwu::signing {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMaxKeyFileBytes = std::uint64_t{64} * 1024;

// The whole file when it is at most the limit; nullopt with the reason otherwise.
std::optional<std::string> ReadSmallFile(const fs::path& path, std::uint64_t limit,
                                         std::string& problem) {
    std::error_code ec;
    const std::uint64_t size = fs::file_size(path, ec);
    if (ec) {
        problem = "cannot read " + path.filename().string() + ": " + ec.message();
        return std::nullopt;
    }
    if (size > limit) {
        problem = path.filename().string() + " is larger than " + std::to_string(limit) + " bytes";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || bytes.size() != size) {
        problem = "cannot read " + path.filename().string();
        return std::nullopt;
    }
    return bytes;
}

// A key's identity: the SHA-256 of the base64 text between its PEM lines (the same key written
// with other line lengths or line ends has the same one).
std::string Fingerprint(const std::string& pem) {
    std::string body;
    size_t start = 0;
    while (start < pem.size()) {
        size_t end = pem.find('\n', start);
        end = end == std::string::npos ? pem.size() : end;
        const std::string_view line(pem.data() + start, end - start);
        if (line.rfind("-----", 0) != 0) {
            for (const char c : line) {
                if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' ||
                    c == '=') {
                    body += c;
                }
            }
        }
        start = end + 1;
    }
    return ToHex(Sha256::Of(body));
}

FolderCheck CheckFolderFiles(const std::string& folderName, const std::vector<TrustedKey>& trusted,
                             bool readFiles);

}  // namespace

FileCheck CheckFileAs(const std::string& folderName, const std::string& name,
                      const Manifest& manifest, const std::string& listedAs) {
    const fs::path folder(folderName);
    const fs::path path = folder / name;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec || !fs::exists(status)) {
        return {name, FileState::Missing, "not in the folder"};
    }
    if (fs::is_symlink(status)) {
        const fs::path target = fs::canonical(path, ec);
        const fs::path home = fs::canonical(folder, ec);
        if (ec || target.parent_path() != home) {
            return {name, FileState::Unusable, "a link that leaves the folder"};
        }
    }
    if (!fs::is_regular_file(fs::status(path, ec))) {
        return {name, FileState::Unusable, "not a plain file"};
    }
    const FileDigest file = DigestOfFile(path.string());
    if (!file.problem.empty()) {
        return {name, FileState::Unusable, file.problem};
    }
    FileCheck check = CheckBytes(manifest, listedAs, file.digest, file.size);
    if (listedAs != name && check.state != FileState::Matches) {
        check.problem = "it is not a copy of " + listedAs + ": " + check.problem;
    }
    check.name = name;
    return check;
}

const char* SignatureStateName(SignatureState state) {
    switch (state) {
        case SignatureState::Valid:
            return "valid";
        case SignatureState::Unsigned:
            return "unsigned";
        case SignatureState::Invalid:
            return "invalid";
        case SignatureState::Untrusted:
            return "untrusted";
        case SignatureState::RolledBack:
            return "rolled back";
    }
    return "invalid";
}

const char* FileStateName(FileState state) {
    switch (state) {
        case FileState::Matches:
            return "matches";
        case FileState::Differs:
            return "differs";
        case FileState::Missing:
            return "missing";
        case FileState::Unlisted:
            return "unlisted";
        case FileState::Unusable:
            return "unusable";
    }
    return "unusable";
}

TrustFolder LoadTrustFolder(const std::string& folder) {
    TrustFolder trust;
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".pem") {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::string problem;
        const std::optional<std::string> pem = ReadSmallFile(file, kMaxKeyFileBytes, problem);
        std::optional<PublicKey> key = pem ? PublicKey::FromPem(*pem, problem) : std::nullopt;
        if (!key) {
            trust.problems.push_back(file.filename().string() + ": " + problem);
            continue;
        }
        trust.keys.push_back({file.stem().string(), Fingerprint(*pem), std::move(*key)});
    }
    return trust;
}

bool FolderCheck::FilesMatch() const {
    return manifest.has_value() && std::all_of(files.begin(), files.end(), [](const FileCheck& f) {
               return f.state == FileState::Matches;
           });
}

const FileCheck* FolderCheck::Find(const std::string& name) const {
    for (const FileCheck& file : files) {
        if (file.name == name) {
            return &file;
        }
    }
    return nullptr;
}

FileCheck CheckBytes(const Manifest& manifest, const std::string& name, const Digest& digest,
                     std::uint64_t size) {
    const ManifestEntry* entry = manifest.Find(name);
    if (entry == nullptr) {
        return {name, FileState::Unlisted, std::string("not listed in ") + kManifestName};
    }
    if (entry->size != size) {
        return {name, FileState::Differs,
                std::to_string(size) + " bytes where the manifest lists " +
                    std::to_string(entry->size)};
    }
    if (entry->sha256 != digest) {
        return {name, FileState::Differs, "its SHA-256 is not the one the manifest lists"};
    }
    return {name, FileState::Matches, {}};
}

FolderCheck CheckFolder(const std::string& folder, const std::vector<TrustedKey>& trusted) {
    return CheckFolderFiles(folder, trusted, true);
}

FolderCheck CheckManifest(const std::string& folder, const std::vector<TrustedKey>& trusted) {
    return CheckFolderFiles(folder, trusted, false);
}

namespace {

FolderCheck CheckFolderFiles(const std::string& folderName, const std::vector<TrustedKey>& trusted,
                             bool readFiles) {
    FolderCheck check;
    const fs::path folder(folderName);
    std::error_code ec;
    if (!fs::exists(folder / kManifestName, ec)) {
        check.problem = std::string("the folder has no ") + kManifestName;
        return check;
    }
    const std::optional<std::string> bytes =
        ReadSmallFile(folder / kManifestName, kMaxManifestBytes, check.problem);
    ManifestReading reading;
    if (bytes) {
        reading = ParseManifest(*bytes);
        check.problem = reading.problem;
    }
    if (!reading.manifest) {
        check.signature = SignatureState::Invalid;
        check.problem = std::string(kManifestName) + ": " + check.problem;
        return check;
    }
    check.sequence = reading.manifest->sequence;
    for (size_t i = 0; readFiles && i < reading.manifest->files.size(); ++i) {
        const ManifestEntry& entry = reading.manifest->files[i];
        FileCheck file = CheckFileAs(folderName, entry.name, *reading.manifest, entry.name);
        if (file.state == FileState::Missing) {
            file.problem = "listed in the manifest, not in the folder";
        }
        check.files.push_back(std::move(file));
    }
    std::vector<std::string> unlisted;
    for (fs::directory_iterator it(folder, ec), end; readFiles && !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsPublishedFile(name) && reading.manifest->Find(name) == nullptr) {
            unlisted.push_back(name);
        }
    }
    std::sort(unlisted.begin(), unlisted.end());
    for (const std::string& name : unlisted) {
        check.files.push_back(
            {name, FileState::Unlisted, std::string("not listed in ") + kManifestName});
    }
    check.manifest = std::move(reading.manifest);

    if (!fs::exists(folder / kSignatureName, ec)) {
        check.problem = std::string(kManifestName) + " has no signature " + kSignatureName;
        return check;
    }
    const std::optional<std::string> signature =
        ReadSmallFile(folder / kSignatureName, kMaxSignatureBytes, check.problem);
    if (!signature) {
        check.signature = SignatureState::Invalid;
        return check;
    }
    if (trusted.empty()) {
        check.signature = SignatureState::Untrusted;
        check.problem = "no trusted key is configured";
        return check;
    }
    check.signature = SignatureState::Untrusted;
    check.problem = "no trusted key made the signature";
    for (const TrustedKey& key : trusted) {
        std::string problem;
        if (key.key.Verify(*bytes, *signature, problem)) {
            check.signature = SignatureState::Valid;
            check.publisher = key.name;
            check.fingerprint = key.fingerprint;
            check.problem.clear();
            return check;
        }
        if (problem != text::kMismatch) {
            // Malformed: no key could have made it.
            check.signature = SignatureState::Invalid;
            check.problem = std::string(kSignatureName) + ": " + problem;
            return check;
        }
    }
    return check;
}

}  // namespace

}  // namespace gwu::signing

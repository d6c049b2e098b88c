// A release folder checked against its manifest and its signature, and the trusted publishers'
// keys it is checked with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gatewayutils/firmware/signing/Crypto.h"
#include "gatewayutils/firmware/signing/Manifest.h"

namespace gwu::signing {

// A trusted publisher: a PEM public key of the trust folder, named after its file without
// ".pem". The name is what the user is shown, never a name a manifest claims.
struct TrustedKey {
    std::string name;
    std::string fingerprint;  // SHA-256 of the key's base64 text, hexadecimal: the key's identity
    PublicKey key;
};

// The keys of a trust folder: every "*.pem" file in it (a missing folder holds none). A file
// that holds no usable key is left out and named in problems with the reason, so that a broken
// trust entry is said, never taken silently for an empty folder.
struct TrustFolder {
    std::vector<TrustedKey> keys;
    std::vector<std::string> problems;
};
TrustFolder LoadTrustFolder(const std::string& folder);

enum class SignatureState {
    Valid,       // signed by a trusted key (publisher, sequence)
    Unsigned,    // no manifest, or a manifest without a signature
    Invalid,     // a malformed manifest, or a signature that is malformed or does not match it
    Untrusted,   // a well-formed signature no trusted key made (or no key is trusted)
    RolledBack,  // valid, but older than a set already accepted from the same publisher
};
const char* SignatureStateName(SignatureState state);  // "valid", "unsigned", ...

enum class FileState {
    Matches,   // size and SHA-256 as listed
    Differs,   // another size or another SHA-256
    Missing,   // listed, not in the folder
    Unlisted,  // a file a device can load that the manifest does not list
    Unusable,  // not a plain file of the folder (a folder, a link leaving the folder), unreadable
};
const char* FileStateName(FileState state);  // "matches", "differs", ...

struct FileCheck {
    std::string name;
    FileState state = FileState::Matches;
    std::string problem;  // in words, for every state but Matches
};

struct FolderCheck {
    SignatureState signature = SignatureState::Unsigned;
    std::string publisher;       // the trusted key's name (Valid, RolledBack)
    std::string fingerprint;     // and its fingerprint
    std::uint64_t sequence = 0;  // the manifest's, when it was read
    std::string problem;         // why not Valid, in words
    std::optional<Manifest> manifest;
    std::vector<FileCheck> files;  // every listed file, then every unlisted published file

    // Whether there is a manifest and every file of the folder matches it.
    bool FilesMatch() const;
    // The check of one file, or nullptr.
    const FileCheck* Find(const std::string& name) const;
};

// Checks a folder: its manifest (when there is one) against its files, byte for byte, whatever
// the keys; the signature against the trusted keys. The sequence is not compared here (see
// SequenceLedger, Policy.h); a caller that keeps one turns Valid into RolledBack.
FolderCheck CheckFolder(const std::string& folder, const std::vector<TrustedKey>& trusted);
// The same without reading the files: the manifest and its signature only (files stays empty).
FolderCheck CheckManifest(const std::string& folder, const std::vector<TrustedKey>& trusted);

// The check of one file of the folder (a plain file of the folder, a link only when it stays in
// it) against the manifest entry of another name: a device-load file against the release it is
// a copy of. Missing when the folder has no such file.
FileCheck CheckFileAs(const std::string& folder, const std::string& name, const Manifest& manifest,
                      const std::string& listedAs);

// The check of one file's bytes against the folder's manifest entry for that name.
FileCheck CheckBytes(const Manifest& manifest, const std::string& name, const Digest& digest,
                     std::uint64_t size);

}  // namespace gwu::signing

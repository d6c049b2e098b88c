// The cryptography of signed release folders, on the platform's own libraries: OpenSSL 3 on
// Linux, the system's CNG (bcrypt, with crypt32 decoding keys and signatures) on Windows. Nothing
// here is written by hand: this header only names what the folders need.
//
// Formats are those of the openssl command line: a public key is PEM SubjectPublicKeyInfo
// ("-----BEGIN PUBLIC KEY-----"), a signature is ECDSA over P-256 with SHA-256, DER-encoded
// (`openssl dgst -sha256 -sign KEY -out SIG FILE` makes one, `-verify PUB -signature SIG` checks
// it). Only P-256 keys are taken, their point in the uncompressed form openssl writes: a key of
// another curve, with explicit curve parameters or with a compressed point is refused when it is
// read, on both platforms alike (CNG takes neither of the last two).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace gwu::signing {

using Digest = std::array<unsigned char, 32>;

// Lower-case hexadecimal, 64 characters.
std::string ToHex(const Digest& digest);
// The digest the 64 hexadecimal characters (either case) spell; nullopt for anything else.
std::optional<Digest> DigestFromHex(std::string_view hex);

// SHA-256 of bytes given piece by piece. Throws std::runtime_error when the platform's library
// fails (it does not for valid use), std::logic_error on use after Finish().
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::string_view bytes);
    // The digest of everything given; the hasher is spent afterwards.
    Digest Finish();

    // The digest of one piece.
    static Digest Of(std::string_view bytes);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A file's size and SHA-256, read in pieces (a file of any size, in bounded memory). The path is
// in the system's narrow encoding, as everywhere in the project (on Windows the ANSI code page).
struct FileDigest {
    std::uint64_t size = 0;
    Digest digest{};
    // Empty, or why the file could not be read ("no such file", "it is a folder, not a file",
    // "it cannot be opened for reading", "reading it failed after N bytes").
    std::string problem;
};
FileDigest DigestOfFile(const std::string& path);

// An ECDSA P-256 public key.
class PublicKey {
public:
    ~PublicKey();
    PublicKey(PublicKey&&) noexcept;
    PublicKey& operator=(PublicKey&&) noexcept;

    // The key the first "PUBLIC KEY" block of a PEM text holds. nullopt, with the reason in
    // problem, when the text holds no public key (a private key, a certificate, anything else),
    // or a key that is not an EC key on P-256 in uncompressed form (e.g. "the key is on another
    // curve than P-256").
    static std::optional<PublicKey> FromPem(std::string_view pem, std::string& problem);

    // Whether the DER signature is this key's ECDSA-SHA256 signature of the data (problem is then
    // cleared). false, with the reason in problem, when it is not: empty, not DER (a truncated
    // signature, bytes after it, a lax encoding that strict DER would write otherwise, an integer
    // longer than the curve's 32 bytes), or valid DER that does not match ("the signature does
    // not match"). A moved-from key verifies nothing.
    bool Verify(std::string_view data, std::string_view derSignature, std::string& problem) const;

private:
    struct State;
    explicit PublicKey(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// Signs the data with the P-256 private key a PEM text holds (as `openssl ecparam -name
// prime256v1 -genkey` or `openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256` make
// it; a key protected by a passphrase is refused, never prompted for): the DER signature, or
// nullopt with the reason. A publisher's tool: on Linux only (SigningAvailable()); elsewhere it
// always returns nullopt with that reason ("signing is available on Linux only").
bool SigningAvailable();
std::optional<std::string> Sign(std::string_view privateKeyPem, std::string_view data,
                                std::string& problem);

}  // namespace gwu::signing

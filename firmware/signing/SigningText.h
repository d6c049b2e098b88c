// What both platforms' cryptography shares besides the header: the reasons they give, word for
// word the same on each, and the PEM block a key is read from. Private to gwu_signing.
#pragma once

#include <optional>
#include <string_view>

namespace gwu::signing::text {

inline constexpr const char* kNoPublicKey =
    "the text holds no public key (a \"-----BEGIN PUBLIC KEY-----\" block)";
inline constexpr const char* kPrivateNotPublic =
    "the text holds a private key, not a public key (openssl pkey -in KEY -pubout gives it)";
inline constexpr const char* kUndecodableKey = "the public key cannot be decoded";
inline constexpr const char* kNotEc = "the key is not an EC key (ECDSA on P-256 is taken)";
inline constexpr const char* kOtherCurve = "the key is on another curve than P-256";
inline constexpr const char* kCompressed =
    "the key's point is not in uncompressed form (openssl ec -pubin -in KEY -pubout writes it so)";
inline constexpr const char* kEmptySignature = "the signature is empty";
inline constexpr const char* kNotDer = "the signature is not a DER-encoded ECDSA P-256 signature";
inline constexpr const char* kMismatch = "the signature does not match";
inline constexpr const char* kNoPrivateKey = "the text holds no private key";
inline constexpr const char* kEncryptedKey =
    "the private key is protected by a passphrase, which is not asked for";
inline constexpr const char* kSigningUnavailable = "signing is available on Linux only";
inline constexpr const char* kMovedFrom = "the key was moved away";

// The first "-----BEGIN LABEL-----" ... "-----END LABEL-----" block of the text, both lines
// included; nullopt when there is none.
std::optional<std::string_view> PemBlock(std::string_view text, std::string_view label);

// The reason a text gives no public key: it holds a private key, or nothing of the kind.
const char* WhyNoPublicKey(std::string_view text);

}  // namespace gwu::signing::text

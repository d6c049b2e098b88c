// The cryptography on Windows, the system's own: CNG (bcrypt) hashes and verifies, crypt32
// decodes the PEM text, the key's SubjectPublicKeyInfo and the DER signature. Every handle and
// every buffer crypt32 allocates is owned by a unique_ptr. Signing is left to Linux.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h:
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/signing/Crypto.h"
#include "signing/SigningText.h"

namespace gwu::signing {

namespace {

constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);
constexpr std::size_t kCoordinate = 32;  // bytes of a P-256 coordinate, and of r and of s

struct AlgorithmCloser {
    using pointer = BCRYPT_ALG_HANDLE;
    void operator()(BCRYPT_ALG_HANDLE handle) const { BCryptCloseAlgorithmProvider(handle, 0); }
};
struct HashDestroyer {
    using pointer = BCRYPT_HASH_HANDLE;
    void operator()(BCRYPT_HASH_HANDLE handle) const { BCryptDestroyHash(handle); }
};
struct KeyDestroyer {
    using pointer = BCRYPT_KEY_HANDLE;
    void operator()(BCRYPT_KEY_HANDLE handle) const { BCryptDestroyKey(handle); }
};
struct LocalFreer {
    void operator()(void* buffer) const { LocalFree(buffer); }
};
using Algorithm = std::unique_ptr<void, AlgorithmCloser>;
using Hash = std::unique_ptr<void, HashDestroyer>;
using KeyHandle = std::unique_ptr<void, KeyDestroyer>;
template <typename T>
using LocalBuffer = std::unique_ptr<T, LocalFreer>;

std::string StatusText(const char* what, NTSTATUS status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
    return std::string(what) + " failed (CNG status " + hex + ")";
}

Algorithm OpenAlgorithm(LPCWSTR name) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        throw std::runtime_error(StatusText("BCryptOpenAlgorithmProvider", status));
    }
    return Algorithm(handle);
}

// crypt32's decoding of the DER bytes as the structure type, into a buffer it allocates; null
// when they are not one.
template <typename T>
LocalBuffer<T> Decode(LPCSTR type, const BYTE* der, DWORD size) {
    void* decoded = nullptr;
    DWORD decodedSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, der, size, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &decoded, &decodedSize)) {
        return nullptr;
    }
    return LocalBuffer<T>(static_cast<T*>(decoded));
}

// The big-endian bytes of a little-endian unsigned integer as crypt32 gives them, left-padded
// to 32 bytes at out; false when it is longer. A leading sign byte is no part of the value.
bool BigEndian32(const CRYPT_UINT_BLOB& little, BYTE* out) {
    DWORD size = little.cbData;
    while (size > 0 && little.pbData[size - 1] == 0) {
        --size;
    }
    if (size > kCoordinate) {
        return false;
    }
    std::fill(out, out + kCoordinate, BYTE{0});
    std::reverse_copy(little.pbData, little.pbData + size, out + kCoordinate - size);
    return true;
}

// crypt32's DER encoding of the structure of the type, into a buffer it allocates; empty when it
// fails.
std::vector<BYTE> Encode(LPCSTR type, const void* structure) {
    void* encoded = nullptr;
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, type, structure, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                             &encoded, &size)) {
        return {};
    }
    const LocalBuffer<BYTE> owned(static_cast<BYTE*>(encoded));
    return std::vector<BYTE>(owned.get(), owned.get() + size);
}

// The 64 bytes r||s CNG verifies, from a DER signature; empty when the bytes are not one in
// strict DER. crypt32 decodes them, and encodes the two integers it read again (as a sequence of
// two unsigned integers: Wine has no encoder of X509_ECC_SIGNATURE itself): only bytes that are
// exactly that encoding are taken, as OpenSSL takes them.
std::vector<BYTE> RawSignature(std::string_view der) {
    const auto* bytes = reinterpret_cast<const BYTE*>(der.data());
    const auto decoded =
        Decode<CERT_ECC_SIGNATURE>(X509_ECC_SIGNATURE, bytes, static_cast<DWORD>(der.size()));
    std::vector<BYTE> raw(2 * kCoordinate);
    if (!decoded || !BigEndian32(decoded->r, raw.data()) ||
        !BigEndian32(decoded->s, raw.data() + kCoordinate)) {
        return {};
    }
    std::vector<BYTE> integers[2];
    for (int i = 0; i < 2; ++i) {
        const CRYPT_UINT_BLOB& value = i == 0 ? decoded->r : decoded->s;
        // Without leading zero bytes (little-endian: trailing ones), as DER writes an integer.
        DWORD size = value.cbData;
        while (size > 0 && value.pbData[size - 1] == 0) {
            --size;
        }
        const CRYPT_UINT_BLOB shortest{size, value.pbData};
        integers[i] = Encode(X509_MULTI_BYTE_UINT, &shortest);
        if (integers[i].empty()) {
            return {};
        }
    }
    CRYPT_DER_BLOB elements[2] = {{static_cast<DWORD>(integers[0].size()), integers[0].data()},
                                  {static_cast<DWORD>(integers[1].size()), integers[1].data()}};
    const CRYPT_SEQUENCE_OF_ANY sequence{2, elements};
    const std::vector<BYTE> again = Encode(X509_SEQUENCE_OF_ANY, &sequence);
    if (again.size() != der.size() || std::memcmp(again.data(), bytes, again.size()) != 0) {
        return {};
    }
    return raw;
}

}  // namespace

struct Sha256::State {
    Algorithm algorithm;  // declared first: the hash goes before its provider
    Hash hash;
    bool spent = false;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE hash = nullptr;
    const NTSTATUS status =
        BCryptCreateHash(m_state->algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
        throw std::runtime_error(StatusText("BCryptCreateHash", status));
    }
    m_state->hash.reset(hash);
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
    if (m_state->spent) {
        throw std::logic_error("Sha256::Update after Finish");
    }
    // BCryptHashData takes a ULONG count: a bigger piece goes in parts.
    constexpr std::size_t kLargest = 1u << 30;
    while (!bytes.empty()) {
        const std::size_t part = std::min(bytes.size(), kLargest);
        const NTSTATUS status = BCryptHashData(
            m_state->hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
            static_cast<ULONG>(part), 0);
        if (!BCRYPT_SUCCESS(status)) {
            throw std::runtime_error(StatusText("BCryptHashData", status));
        }
        bytes.remove_prefix(part);
    }
}

Digest Sha256::Finish() {
    if (m_state->spent) {
        throw std::logic_error("Sha256::Finish twice");
    }
    m_state->spent = true;
    Digest digest{};
    const NTSTATUS status =
        BCryptFinishHash(m_state->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    if (!BCRYPT_SUCCESS(status)) {
        throw std::runtime_error(StatusText("BCryptFinishHash", status));
    }
    return digest;
}

struct PublicKey::State {
    Algorithm algorithm;  // declared first: the key goes before its provider
    KeyHandle key;
};

PublicKey::PublicKey(std::unique_ptr<State> state) : m_state(std::move(state)) {}
PublicKey::~PublicKey() = default;
PublicKey::PublicKey(PublicKey&&) noexcept = default;
PublicKey& PublicKey::operator=(PublicKey&&) noexcept = default;

std::optional<PublicKey> PublicKey::FromPem(std::string_view pem, std::string& problem) {
    const std::optional<std::string_view> block = text::PemBlock(pem, "PUBLIC KEY");
    if (!block) {
        problem = text::WhyNoPublicKey(pem);
        return std::nullopt;
    }
    // PEM to DER, then DER to the SubjectPublicKeyInfo: crypt32's.
    DWORD derSize = 0;
    std::vector<BYTE> der;
    const auto blockSize = static_cast<DWORD>(block->size());
    if (CryptStringToBinaryA(block->data(), blockSize, CRYPT_STRING_BASE64HEADER, nullptr, &derSize,
                             nullptr, nullptr)) {
        der.resize(derSize);
    }
    if (der.empty() || !CryptStringToBinaryA(block->data(), blockSize, CRYPT_STRING_BASE64HEADER,
                                             der.data(), &derSize, nullptr, nullptr)) {
        problem = text::kUndecodableKey;
        return std::nullopt;
    }
    const auto info = Decode<CERT_PUBLIC_KEY_INFO>(X509_PUBLIC_KEY_INFO, der.data(), derSize);
    if (!info) {
        problem = text::kUndecodableKey;
        return std::nullopt;
    }
    if (info->Algorithm.pszObjId == nullptr ||
        std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0) {
        problem = text::kNotEc;
        return std::nullopt;
    }
    // CNG would take the point of any curve: the parameters must name P-256 (explicit curve
    // parameters, a SEQUENCE and no OID, do not decode and are refused as well).
    const CRYPT_OBJID_BLOB& parameters = info->Algorithm.Parameters;
    const auto curve = Decode<LPSTR>(X509_OBJECT_IDENTIFIER, parameters.pbData, parameters.cbData);
    if (!curve || *curve == nullptr || std::strcmp(*curve, szOID_ECC_CURVE_P256) != 0) {
        problem = text::kOtherCurve;
        return std::nullopt;
    }
    // The point, 0x04 || X || Y: CNG's public blob holds X || Y after its header.
    const CRYPT_BIT_BLOB& point = info->PublicKey;
    if (point.cbData == 1 + 2 * kCoordinate && point.cUnusedBits == 0 && point.pbData[0] == 4) {
        std::vector<BYTE> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate);
        const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinate};
        std::memcpy(blob.data(), &header, sizeof header);
        std::memcpy(blob.data() + sizeof header, point.pbData + 1, 2 * kCoordinate);
        auto state = std::make_unique<State>();
        state->algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
        BCRYPT_KEY_HANDLE key = nullptr;
        const NTSTATUS status =
            BCryptImportKeyPair(state->algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                blob.data(), static_cast<ULONG>(blob.size()), 0);
        if (!BCRYPT_SUCCESS(status)) {
            problem = std::string(text::kUndecodableKey) + " (" +
                      StatusText("BCryptImportKeyPair", status) + ")";
            return std::nullopt;
        }
        state->key.reset(key);
        return PublicKey(std::move(state));
    }
    const bool compressed =
        point.cbData == 1 + kCoordinate && (point.pbData[0] == 2 || point.pbData[0] == 3);
    problem = compressed ? text::kCompressed : text::kUndecodableKey;
    return std::nullopt;
}

bool PublicKey::Verify(std::string_view data, std::string_view derSignature,
                       std::string& problem) const {
    if (!m_state) {
        problem = text::kMovedFrom;
        return false;
    }
    if (derSignature.empty()) {
        problem = text::kEmptySignature;
        return false;
    }
    std::vector<BYTE> raw = RawSignature(derSignature);
    if (raw.empty()) {
        problem = text::kNotDer;
        return false;
    }
    Digest digest = Sha256::Of(data);
    const NTSTATUS status = BCryptVerifySignature(m_state->key.get(), nullptr, digest.data(),
                                                  static_cast<ULONG>(digest.size()), raw.data(),
                                                  static_cast<ULONG>(raw.size()), 0);
    if (status == kInvalidSignature) {
        problem = text::kMismatch;
        return false;
    }
    if (!BCRYPT_SUCCESS(status)) {
        problem = StatusText("BCryptVerifySignature", status);
        return false;
    }
    problem.clear();
    return true;
}

bool SigningAvailable() {
    return false;
}

std::optional<std::string> Sign(std::string_view, std::string_view, std::string& problem) {
    problem = text::kSigningUnavailable;
    return std::nullopt;
}

}  // namespace gwu::signing

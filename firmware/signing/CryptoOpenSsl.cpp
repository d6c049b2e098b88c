// The cryptography on OpenSSL 3 (Linux): SHA-256 through EVP_MD_CTX, keys read from PEM,
// ECDSA through EVP_DigestVerify and EVP_DigestSign. Every OpenSSL object is owned by a
// unique_ptr with its free function; the error queue is left empty after each call.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "firmware/signing/Crypto.h"
#include "signing/SigningText.h"

namespace gwu::signing {

namespace {

template <auto Free>
struct Freer {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};
using Bio = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using EcdsaSignature = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG_free>>;

// OpenSSL's reason for the last failure, for what valid use never meets; empties the queue.
std::string OpenSslError(const char* what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char reason[256] = "no reason given";
    if (code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    return std::string(what) + " failed (OpenSSL: " + reason + ")";
}

Bio MemoryBio(std::string_view bytes) {
    if (bytes.size() > INT_MAX) {
        throw std::length_error("a key text of more than 2 GiB");
    }
    Bio bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) {
        throw std::runtime_error(OpenSslError("BIO_new_mem_buf"));
    }
    return bio;
}

// Empty when the key is an EC key on P-256 (a public key: in uncompressed form), else why it is
// not.
std::string P256Problem(EVP_PKEY* key, bool isPublic) {
    if (!EVP_PKEY_is_a(key, "EC")) {
        return text::kNotEc;
    }
    // An explicitly parameterised curve has no name, and is refused with the other curves.
    char name[64] = "";
    if (EVP_PKEY_get_group_name(key, name, sizeof name, nullptr) != 1 ||
        std::string_view(name) != "prime256v1") {
        ERR_clear_error();
        return text::kOtherCurve;
    }
    // The form the point was read in: CNG takes the uncompressed form only, so neither does this.
    char form[32] = "";
    if (isPublic && (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                                    form, sizeof form, nullptr) != 1 ||
                     std::string_view(form) != OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED)) {
        ERR_clear_error();
        return text::kCompressed;
    }
    return {};
}

// Whether the bytes are one ECDSA signature in strict DER: decoded whole, written back byte for
// byte the same (OpenSSL's decoder takes a length in a longer form than needed), and its
// integers no longer than P-256's 32 bytes, which is all CNG can be given: so both platforms
// refuse the same signatures for the same reason.
bool IsDerSignature(std::string_view der) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* next = bytes;
    const EcdsaSignature signature(d2i_ECDSA_SIG(nullptr, &next, static_cast<long>(der.size())));
    if (!signature || next != bytes + der.size() ||
        BN_num_bytes(ECDSA_SIG_get0_r(signature.get())) > 32 ||
        BN_num_bytes(ECDSA_SIG_get0_s(signature.get())) > 32 ||
        i2d_ECDSA_SIG(signature.get(), nullptr) != static_cast<int>(der.size())) {
        return false;
    }
    std::string again(der.size(), '\0');
    auto* out = reinterpret_cast<unsigned char*>(again.data());
    return i2d_ECDSA_SIG(signature.get(), &out) == static_cast<int>(der.size()) && again == der;
}

// The passphrase callback: none is asked for, so an encrypted key fails to read (OpenSSL's
// default would prompt on the terminal).
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

}  // namespace

struct Sha256::State {
    MdContext context;
    bool spent = false;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->context.reset(EVP_MD_CTX_new());
    if (!m_state->context ||
        EVP_DigestInit_ex(m_state->context.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error(OpenSslError("SHA-256"));
    }
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
    if (m_state->spent) {
        throw std::logic_error("Sha256::Update after Finish");
    }
    if (EVP_DigestUpdate(m_state->context.get(), bytes.data(), bytes.size()) != 1) {
        throw std::runtime_error(OpenSslError("SHA-256"));
    }
}

Digest Sha256::Finish() {
    if (m_state->spent) {
        throw std::logic_error("Sha256::Finish twice");
    }
    m_state->spent = true;
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_state->context.get(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        throw std::runtime_error(OpenSslError("SHA-256"));
    }
    return digest;
}

struct PublicKey::State {
    Key key;
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
    const Bio bio = MemoryBio(*block);
    Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    if (!key) {
        problem = text::kUndecodableKey;
        return std::nullopt;
    }
    problem = P256Problem(key.get(), true);
    if (!problem.empty()) {
        return std::nullopt;
    }
    auto state = std::make_unique<State>();
    state->key = std::move(key);
    return PublicKey(std::move(state));
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
    if (!IsDerSignature(derSignature)) {
        ERR_clear_error();
        problem = text::kNotDer;
        return false;
    }
    const MdContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr,
                                         m_state->key.get()) != 1) {
        problem = OpenSslError("verifying");
        return false;
    }
    const int result = EVP_DigestVerify(
        context.get(), reinterpret_cast<const unsigned char*>(derSignature.data()),
        derSignature.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size());
    ERR_clear_error();
    if (result != 1) {
        problem = text::kMismatch;
        return false;
    }
    problem.clear();
    return true;
}

bool SigningAvailable() {
    return true;
}

std::optional<std::string> Sign(std::string_view privateKeyPem, std::string_view data,
                                std::string& problem) {
    const Bio bio = MemoryBio(privateKeyPem);
    const Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    if (!key) {
        problem = privateKeyPem.find("ENCRYPTED") != std::string_view::npos ? text::kEncryptedKey
                                                                            : text::kNoPrivateKey;
        return std::nullopt;
    }
    problem = P256Problem(key.get(), false);
    if (!problem.empty()) {
        return std::nullopt;
    }
    const MdContext context(EVP_MD_CTX_new());
    std::size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, bytes, data.size()) != 1) {
        problem = OpenSslError("signing");
        return std::nullopt;
    }
    std::string signature(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       bytes, data.size()) != 1) {
        problem = OpenSslError("signing");
        return std::nullopt;
    }
    signature.resize(length);
    problem.clear();
    return signature;
}

}  // namespace gwu::signing

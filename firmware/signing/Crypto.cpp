// What both platforms share: hexadecimal digests, SHA-256 of one piece and of a file, and the
// PEM block a key is read from. The hashing itself is the platform's (CryptoOpenSsl.cpp,
// CryptoWindows.cpp).
#include "firmware/signing/Crypto.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "signing/SigningText.h"

namespace gwu::signing {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string ToHex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (const unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return hex;
}

std::optional<Digest> DigestFromHex(std::string_view hex) {
    Digest digest{};
    if (hex.size() != digest.size() * 2) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return digest;
}

Digest Sha256::Of(std::string_view bytes) {
    Sha256 hasher;
    hasher.Update(bytes);
    return hasher.Finish();
}

FileDigest DigestOfFile(const std::string& path) {
    FileDigest result;
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        result.problem = "no such file";
        return result;
    }
    if (std::filesystem::is_directory(status)) {
        result.problem = "it is a folder, not a file";
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.problem = "it cannot be opened for reading";
        return result;
    }
    // 64 KiB at a time: a release image of any size in bounded memory.
    std::vector<char> piece(std::size_t{64} * 1024);
    Sha256 hasher;
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        hasher.Update(std::string_view(piece.data(), got));
        result.size += got;
    }
    if (!in.eof()) {
        result.problem = "reading it failed after " + std::to_string(result.size) + " bytes";
        return result;
    }
    result.digest = hasher.Finish();
    return result;
}

namespace text {

std::optional<std::string_view> PemBlock(std::string_view text, std::string_view label) {
    const std::string begin = "-----BEGIN " + std::string(label) + "-----";
    const std::string end = "-----END " + std::string(label) + "-----";
    const std::size_t from = text.find(begin);
    if (from == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t to = text.find(end, from + begin.size());
    if (to == std::string_view::npos) {
        return std::nullopt;
    }
    return text.substr(from, to + end.size() - from);
}

const char* WhyNoPublicKey(std::string_view pem) {
    // "PRIVATE KEY", "EC PRIVATE KEY", "ENCRYPTED PRIVATE KEY": what openssl writes a key pair as.
    return pem.find("PRIVATE KEY-----") != std::string_view::npos ? kPrivateNotPublic
                                                                  : kNoPublicKey;
}

}  // namespace text

}  // namespace gwu::signing

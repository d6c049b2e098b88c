// The cryptography of signed release folders against published SHA-256 vectors, real files, and
// keys and signatures made by the openssl command: committed under data/ (so that Windows, which
// has no openssl, checks them too) and, on Linux, made afresh in a temporary folder, both ways.
//
// data/ was made once with OpenSSL 3.0 (the signatures picked among repeated runs so that one has
// both integers 33 bytes long, with a sign byte, and the other an r of 31 bytes, to be padded):
//   openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out p256-private.pem
//   openssl pkey -in p256-private.pem -pubout -out p256-public.pem
//   openssl ec -in p256-private.pem -pubout -conv_form compressed -out p256-compressed-public.pem
//   printf 'A release folder signed by openssl for the signing tests.\n' > signed.txt
//   openssl dgst -sha256 -sign p256-private.pem -out signed.txt.sig signed.txt
//   openssl dgst -sha256 -sign p256-private.pem -out signed.txt.short-r.sig signed.txt
//   openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 |
//       openssl pkey -pubout -out p384-public.pem
// and so with ec_paramgen_curve:secp256k1 and with -algorithm ED25519 for the other two keys.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "firmware/signing/Crypto.h"
#include "testsupport/TestFolders.h"
#include "testsupport/TestProcesses.h"

namespace gwu::signing {
namespace {

namespace fs = std::filesystem;
using test::TestFolders;

std::string Fixture(const std::string& name) {
    const std::string content = TestFolders::ReadFile(fs::path(GWU_SIGNING_DATA) / name);
    EXPECT_FALSE(content.empty()) << name;
    return content;
}

std::string Flipped(std::string bytes, std::size_t at) {
    bytes.at(at) = static_cast<char>(bytes.at(at) ^ 0x01);
    return bytes;
}

// Bytes of every value, in a pattern that repeats only every 251 bytes.
std::string Bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 % 251);
    }
    return bytes;
}

// The signature with r negative: the high bit of its first byte (a sign byte, or r's own) set.
std::string Negative(std::string der) {
    der.at(4) = static_cast<char>(der.at(4) | 0x80);
    return der;
}

PublicKey FixtureKey() {
    std::string problem;
    std::optional<PublicKey> key = PublicKey::FromPem(Fixture("p256-public.pem"), problem);
    if (!key) {
        throw std::runtime_error("the fixture key: " + problem);
    }
    return std::move(*key);
}

// The outcome of a verification: "" when the signature is good, else the reason.
std::string Verified(const PublicKey& key, const std::string& data, const std::string& signature) {
    std::string problem = "stale";
    const bool good = key.Verify(data, signature, problem);
    EXPECT_EQ(good, problem.empty()) << problem;
    return problem;
}

TEST(Sha256Test, KnownVectorsWholeAndPiecewiseAndHex) {
    const struct {
        std::string input, hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToHex(Sha256::Of(c.input)), c.hex) << c.input;
        // Every split into two pieces gives the digest of the whole.
        for (std::size_t at = 0; at <= c.input.size(); ++at) {
            Sha256 hasher;
            hasher.Update(c.input.substr(0, at));
            hasher.Update(c.input.substr(at));
            EXPECT_EQ(ToHex(hasher.Finish()), c.hex) << c.input << " split at " << at;
        }
        std::string upper = c.hex;
        for (char& ch : upper) {
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        ASSERT_TRUE(DigestFromHex(upper));
        EXPECT_EQ(*DigestFromHex(upper), Sha256::Of(c.input));
    }
    // Many uneven pieces of 300 KiB, against the whole.
    const std::string big = Bytes(300 * 1024);
    Sha256 pieces;
    for (std::size_t at = 0, size = 1; at < big.size(); at += size, size = size * 3 + 1) {
        pieces.Update(std::string_view(big).substr(at, size));
    }
    EXPECT_EQ(pieces.Finish(), Sha256::Of(big));
    EXPECT_THROW(pieces.Update("more"), std::logic_error);
    const std::string good(64, 'a');
    for (const std::string& bad : {std::string(), good.substr(1), good + "a", "g" + good.substr(1),
                                   " " + good.substr(1), good.substr(1) + "\n"}) {
        EXPECT_FALSE(DigestFromHex(bad)) << bad;
    }
}

TEST(DigestOfFileTest, RealFilesAndProblems) {
    const test::TempDir dir;
    // Empty, smaller than a piece, exactly two pieces, and beyond with a rest.
    for (const std::size_t size : {0u, 100u, 128u * 1024u, 200u * 1024u + 3u}) {
        const fs::path path = dir.Path() / ("file" + std::to_string(size));
        const std::string bytes = Bytes(size);
        TestFolders::WriteFile(path, bytes);
        const FileDigest digest = DigestOfFile(path.string());
        EXPECT_EQ(digest.problem, "") << size;
        EXPECT_EQ(digest.size, size);
        EXPECT_EQ(digest.digest, Sha256::Of(bytes)) << size;
    }
    EXPECT_EQ(DigestOfFile((dir.Path() / "missing").string()).problem, "no such file");
    EXPECT_EQ(DigestOfFile(dir.Path().string()).problem, "it is a folder, not a file");
}

// openssl's signatures verify on every platform; a changed byte of the data or of the
// signature, or bytes that are no strict DER, are refused with their reasons.
TEST(SignatureTest, OpensslSignaturesVerifyAndChangedOrMalformedOnesAreRefused) {
    const PublicKey key = FixtureKey();
    const std::string data = Fixture("signed.txt");
    const std::string notDer = "the signature is not a DER-encoded ECDSA P-256 signature";
    const std::string mismatch = "the signature does not match";
    for (const std::string name : {"signed.txt.sig", "signed.txt.short-r.sig"}) {
        const std::string sig = Fixture(name);
        // The same two integers in encodings that BER allows and DER does not: the sequence's
        // length in long form, or left open and ended by two zero bytes; r with a zero byte more.
        const std::string longForm = "\x30\x81" + sig.substr(1);
        const std::string indefinite = "\x30\x80" + sig.substr(2) + std::string(2, '\0');
        const std::string padded = std::string("\x30") + char(sig[1] + 1) + "\x02" +
                                   char(sig[3] + 1) + '\0' + sig.substr(4);
        const struct {
            std::string data, signature, problem;
        } cases[] = {
            {data, sig, ""},
            {Flipped(data, 0), sig, mismatch},
            {Flipped(data, data.size() - 1), sig, mismatch},
            {data + "\n", sig, mismatch},
            {data, Flipped(sig, sig.size() - 1), mismatch},  // the last byte of s
            {data, Flipped(sig, 8), mismatch},               // a byte of r
            {data, Negative(sig), notDer},
            {data, Flipped(sig, 0), notDer},                // no longer a sequence
            {data, Flipped(sig, 1), notDer},                // its length is wrong
            {data, sig.substr(0, sig.size() - 1), notDer},  // truncated
            {data, sig.substr(0, 8), notDer},
            {data, sig + '\0', notDer},  // a byte after it
            {data, longForm, notDer},
            {data, indefinite, notDer},
            {data, padded, notDer},
            {data, "not a signature at all", notDer},
            {data, "", "the signature is empty"},
        };
        for (const auto& c : cases) {
            EXPECT_EQ(Verified(key, c.data, c.signature), c.problem) << name << ": " << &c - cases;
        }
    }
    // Strict DER, but no P-256 signature: r = 2^256 (33 bytes without a sign byte), s = 1.
    const std::string tooLong = std::string("\x30\x26\x02\x21\x01", 5) + std::string(32, '\0') +
                                std::string("\x02\x01\x01", 3);
    EXPECT_EQ(Verified(key, data, tooLong), notDer);
}

// Keys that are refused when read, with their reasons; the ones taken verify.
TEST(PublicKeyTest, OnlyUncompressedP256PublicKeysAreTaken) {
    const std::string otherCurve = "the key is on another curve than P-256";
    const std::string undecodable = "the public key cannot be decoded";
    const std::string noKey =
        "the text holds no public key (a \"-----BEGIN PUBLIC KEY-----\" block)";
    const std::string p256 = Fixture("p256-public.pem");
    const struct {
        std::string pem, problem;
    } cases[] = {
        {p256, ""},
        {"preamble\n" + Fixture("p256-private.pem") + p256, ""},  // the public key is found
        {Fixture("p256-private.pem"),
         "the text holds a private key, not a public key (openssl pkey -in KEY -pubout gives it)"},
        {"", noKey},
        {"nothing here\n", noKey},
        {"-----BEGIN PUBLIC KEY-----\n", noKey},
        {"-----BEGIN PUBLIC KEY-----\nnot base64 !\n-----END PUBLIC KEY-----\n", undecodable},
        {"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n", undecodable},
        {Fixture("p384-public.pem"), otherCurve},
        {Fixture("secp256k1-public.pem"), otherCurve},
        {Fixture("ed25519-public.pem"), "the key is not an EC key (ECDSA on P-256 is taken)"},
        {Fixture("p256-compressed-public.pem"),
         "the key's point is not in uncompressed form (openssl ec -pubin -in KEY -pubout writes "
         "it so)"},
    };
    for (const auto& c : cases) {
        std::string problem;
        const std::optional<PublicKey> key = PublicKey::FromPem(c.pem, problem);
        EXPECT_EQ(problem, c.problem) << c.pem;
        EXPECT_EQ(key.has_value(), c.problem.empty()) << c.pem;
        if (key) {
            EXPECT_EQ(Verified(*key, Fixture("signed.txt"), Fixture("signed.txt.sig")), "");
        }
    }
    PublicKey moved = FixtureKey();
    const PublicKey taker = std::move(moved);
    EXPECT_EQ(Verified(taker, Fixture("signed.txt"), Fixture("signed.txt.sig")), "");
    EXPECT_EQ(Verified(moved, Fixture("signed.txt"), Fixture("signed.txt.sig")),  // NOLINT
              "the key was moved away");
}

// Signing where it is available (Linux): the committed key's signature verifies, not over
// changed data, and a text without a private key signs nothing; elsewhere signing is refused
// with its reason.
TEST(SignTest, SignsWhereAvailable) {
    const std::string data = Bytes(5000);
    std::string problem;
    const std::optional<std::string> signature = Sign(Fixture("p256-private.pem"), data, problem);
#ifdef _WIN32
    EXPECT_FALSE(SigningAvailable());
    EXPECT_FALSE(signature);
    EXPECT_EQ(problem, "signing is available on Linux only");
#else
    EXPECT_TRUE(SigningAvailable());
    ASSERT_TRUE(signature) << problem;
    EXPECT_EQ(Verified(FixtureKey(), data, *signature), "");
    EXPECT_EQ(Verified(FixtureKey(), Flipped(data, 4999), *signature),
              "the signature does not match");
    for (const std::string& notPrivate : {Fixture("p256-public.pem"), std::string()}) {
        EXPECT_FALSE(Sign(notPrivate, data, problem));
        EXPECT_EQ(problem, "the text holds no private key");
    }
#endif
}

#ifndef _WIN32
// The openssl command, in a temporary folder: its key pair, its signatures and its digests
// against ours, both ways.
class OpensslTest : public ::testing::Test {
protected:
    // Runs openssl with the arguments, those with a dot being names of the folder's files; its
    // exit status.
    int Openssl(const std::vector<std::string>& arguments) {
        std::vector<std::string> command = {GWU_OPENSSL_PROGRAM};
        for (const std::string& argument : arguments) {
            const bool file = argument.find('.') != std::string::npos && argument[0] != '-';
            command.push_back(file ? (m_dir.Path() / argument).string() : argument);
        }
        return test::Child(command, (m_dir.Path() / "openssl").string()).Wait(30000);
    }
    std::string Read(const std::string& name) const {
        return TestFolders::ReadFile(m_dir.Path() / name);
    }
    void Write(const std::string& name, const std::string& bytes) const {
        TestFolders::WriteFile(m_dir.Path() / name, bytes);
    }

    test::TempDir m_dir;
};

TEST_F(OpensslTest, SignaturesAndDigestsInteroperateBothWays) {
    // The key as the header says a publisher makes it: with its parameters block before it.
    ASSERT_EQ(Openssl({"ecparam", "-name", "prime256v1", "-genkey", "-out", "key.pem"}), 0);
    ASSERT_EQ(Openssl({"ec", "-in", "key.pem", "-pubout", "-out", "pub.pem"}), 0);
    const std::string data = Bytes(70 * 1024) + std::string("\r\n\0 end", 7);
    Write("data.bin", data);

    ASSERT_EQ(Openssl({"dgst", "-sha256", "-binary", "-out", "digest.bin", "data.bin"}), 0);
    const FileDigest ours = DigestOfFile((m_dir.Path() / "data.bin").string());
    EXPECT_EQ(std::string(ours.digest.begin(), ours.digest.end()), Read("digest.bin"));

    // openssl's signature, checked by us.
    ASSERT_EQ(Openssl({"dgst", "-sha256", "-sign", "key.pem", "-out", "theirs.sig", "data.bin"}),
              0);
    std::string problem;
    const std::optional<PublicKey> key = PublicKey::FromPem(Read("pub.pem"), problem);
    ASSERT_TRUE(key) << problem;
    EXPECT_EQ(Verified(*key, data, Read("theirs.sig")), "");
    EXPECT_EQ(Verified(*key, Flipped(data, 100), Read("theirs.sig")),
              "the signature does not match");

    // Ours, checked by openssl; a changed byte of it, or of the data, is refused there too.
    const std::optional<std::string> signature = Sign(Read("key.pem"), data, problem);
    ASSERT_TRUE(signature) << problem;
    const struct {
        std::string data, signature;
        int status;
    } cases[] = {
        {data, *signature, 0},
        {data, Flipped(*signature, signature->size() - 1), 1},
        {Flipped(data, 0), *signature, 1},
    };
    for (const auto& c : cases) {
        Write("ours.sig", c.signature);
        Write("data.bin", c.data);
        EXPECT_EQ(Openssl({"dgst", "-sha256", "-verify", "pub.pem", "-signature", "ours.sig",
                           "data.bin"}),
                  c.status)
            << &c - cases << ": " << Read("openssl.err");
    }
}

// Keys openssl makes that we refuse: other curves (to sign with and to verify with) and a key
// behind a passphrase, which is refused at once rather than asked for.
TEST_F(OpensslTest, OtherCurvesAndProtectedKeysAreRefused) {
    const std::string otherCurve = "the key is on another curve than P-256";
    for (const std::string curve : {"P-384", "secp256k1"}) {
        ASSERT_EQ(Openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve,
                           "-out", "key.pem"}),
                  0);
        ASSERT_EQ(Openssl({"pkey", "-in", "key.pem", "-pubout", "-out", "pub.pem"}), 0);
        std::string problem;
        EXPECT_FALSE(Sign(Read("key.pem"), "data", problem));
        EXPECT_EQ(problem, otherCurve) << curve;
        EXPECT_FALSE(PublicKey::FromPem(Read("pub.pem"), problem));
        EXPECT_EQ(problem, otherCurve) << curve;
    }
    ASSERT_EQ(Openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                       "-aes256", "-pass", "pass:secret", "-out", "locked.pem"}),
              0);
    std::string problem;
    EXPECT_FALSE(Sign(Read("locked.pem"), "data", problem));
    EXPECT_EQ(problem, "the private key is protected by a passphrase, which is not asked for");
}
#endif

}  // namespace
}  // namespace gwu::signing

// gwctl release as a publisher and a tester use it: a folder signed with a key the openssl
// command made, checked by openssl and by gwctl; a folder openssl signed, checked by gwctl; and
// a tampered file, another publisher's key, a broken signature and a lower sequence refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/endtoend/CliFixture.h"

namespace gwu::test::cli {
namespace {

class ReleaseTest : public CliTest {
protected:
    ReleaseTest() { CopySampleFirmware(true); }
    // gwctl release with the arguments; the JSON document when it printed one.
    Result Release(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {kGwctlProgram, "release"});
        const std::string stem = (Root() / "release").string();
        const int code = Child(arguments, stem).Wait(kWaitMs);
        const std::string out = ReadFile(stem + ".out");
        const json document = json::parse(out, nullptr, false);
        return {code, out, ReadFile(stem + ".err"), document.is_object() ? document : json()};
    }
    Result Verify(const fs::path& trust) const {
        return Release({"verify", "--json", "--trust", trust.string(), Firmware().string()});
    }
    // The shell command's exit status (POSIX: the openssl command line).
    static int Shell(const std::string& command) { return std::system(command.c_str()); }
};

// The embedded default's folder is signed by the sample key (on every platform, through its
// cryptography); a change to a sample file without a new signature (scripts/sign-samples.sh)
// fails here.
TEST_F(ReleaseTest, TheSampleFolderIsSignedByTheSampleKey) {
    const Result result = Release(
        {"verify", "--json", "--trust", (kSamples / "sample-trust").string(), Firmware().string()});
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(At(result.document, "/signature/publisher"), "sample-publisher");
}

// A tester's updates under its trust folder, the sample folder signed by the tests' own key:
// gwemu notes every update command it gets (a fault line), and a tampered release gets none
// and nothing placed, while the folder as signed does. Then, in process: what the policy lets
// in updates; the rest is refused with exit 2 and why, or used as an option allows, saying so.
TEST_F(ReleaseTest, UpdateUsesOnlyWhatATrustedPublisherSigned) {
    const fs::path data = kSamples / ".." / "tests" / "signing" / "data", trust = Root() / "trust";
    fs::create_directories(trust);
    fs::create_directories(Root() / "empty");
    fs::copy_file(data / "p256-public.pem", trust / "test-publisher.pem");
    const fs::path signature = Firmware() / "RELEASES.json.sig", prom = Firmware() / "HLX_PROM.rel";
    WriteFile(signature, ReadFile(data / "sample-manifest.sig"));
    const std::string release = ReadFile(prom), told = (Root() / "gwemu.out").string();
    const json fault = {
        {"card", "VCL"}, {"request", "0x00400000"}, {"kind", "error"}, {"error", 7}};
    const auto gwemu = std::make_unique<gwu::host::EmulatorProcess>(
        kGwemuProgram,
        WriteScenario(Root() / "told.json", Scenario("behind"), {{"faults", {fault}}}),
        Firmware().string(), (Root() / "gwemu").string(), kWaitMs,
        std::vector<std::string>{"--log-faults"});
    const size_t listening = ReadFile(told).size();
    WriteFile(prom, release.substr(0, release.size() - 1) + "!");
    Result result = Run({"update", "--device", gwemu->Device(), "--trust", trust.string()});
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.err.find("HLX_PROM.rel: its SHA-256"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(Firmware() / "HLX_BOOT.bin"));
    EXPECT_EQ(ReadFile(told).size(), listening);
    WriteFile(prom, release);
    EXPECT_NE(Run({"update", "--device", gwemu->Device(), "--trust", trust.string()}).code, 2);
    EXPECT_GT(ReadFile(told).size(), listening) << "the device was told to update";

    const std::string device = "emu:" + Scenario("behind");
    const std::string ledger = (Logs() / "trusted-sequences.txt").string();
    const std::string ours = trust.string(), samples = (kSamples / "sample-trust").string();
    const struct {
        std::function<void()> change;
        std::string trust;
        const char* option;
        int code;
        const char* said;  // on stderr
    } cases[] = {
        {[] {}, ours, "--quiet", 0, ""},
        {[&] { WriteFile(Firmware() / "HLX_PROM.bin", ReadFile(Firmware() / "HLX_LC.rel")); }, ours,
         "--quiet", 2, "HLX_PROM.bin: it is not a copy of HLX_PROM.rel"},
        {[&] { fs::remove(Firmware() / "HLX_PROM.bin"); }, samples, "--quiet", 2,
         "the samples' own key"},
        {[&] { WriteFile(ledger, ReadFile(ledger).replace(64, 2, " 2")); }, ours, "--quiet", 2,
         "older than sequence 2"},
        {[] {}, ours, "--allow-rollback", 0, "rolled back"},
        {[&] { fs::remove(signature); }, ours, "--quiet", 2, "--allow-unsigned"},
        {[] {}, ours, "--allow-unsigned", 0, "not verified"},
        {[] {}, (Root() / "empty").string(), "--quiet", 0, "unverified"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        c.change();
        result = Run({"update", "--json", "--device", device, "--trust", c.trust, c.option});
        EXPECT_EQ(result.code, c.code) << result.err;
        EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
        EXPECT_EQ(At(result.document, "/refused").is_null(), c.code == 0) << result.out;
    }
    EXPECT_EQ(ReadFile(ledger).substr(64), " 2\r\n");
}

#ifndef _WIN32
TEST_F(ReleaseTest, SignedAndCheckedBothWaysWithTheOpensslCommand) {
    const fs::path keys = Root() / "publisher", trust = Root() / "trust";
    fs::create_directories(keys);
    fs::create_directories(trust);
    const std::string key = (keys / "key.pem").string(),
                      pub = (trust / "workshop-chain.pem").string();
    ASSERT_EQ(Shell("openssl ecparam -name prime256v1 -genkey -noout -out " + key +
                    " && openssl ec -in " + key + " -pubout -out " + pub + " 2>/dev/null"),
              0);
    const std::string manifest = (Firmware() / "RELEASES.json").string();
    const std::string signature = manifest + ".sig";
    fs::remove(manifest);  // a publisher's first publication of the folder

    // gwctl signs; openssl and gwctl verify.
    Result result = Release({"sign", "--key", key, Firmware().string()});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(Shell("openssl dgst -sha256 -verify " + pub + " -signature " + signature + " " +
                    manifest + " >/dev/null"),
              0);
    result = Verify(trust);
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(At(result.document, "/signature/state"), "valid");
    EXPECT_EQ(At(result.document, "/signature/publisher"), "workshop-chain");
    EXPECT_EQ(At(result.document, "/signature/sequence"), 1);

    // openssl signs the manifest; gwctl verifies.
    ASSERT_EQ(Shell("openssl dgst -sha256 -sign " + key + " -out " + signature + " " + manifest),
              0);
    EXPECT_EQ(Verify(trust).code, 0);

    // The next publication grows the sequence; a lower one is refused.
    EXPECT_EQ(Release({"sign", "--key", key, Firmware().string()}).code, 0);
    EXPECT_EQ(At(Verify(trust).document, "/signature/sequence"), 2);
    result = Release({"sign", "--key", key, "--sequence", "2", Firmware().string()});
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.err.find("needs a higher one"), std::string::npos) << result.err;
    const std::string published = ReadFile(manifest);
    WriteFile(manifest, "{");  // unreadable: no sequence to grow without --sequence
    result = Release({"sign", "--key", key, Firmware().string()});
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.err.find("--sequence"), std::string::npos) << result.err;
    WriteFile(manifest, published);

    // A byte changed, another key trusted, a signature cut short: each refused, with why.
    std::string prom = ReadFile(Firmware() / "HLX_PROM.rel");
    prom[prom.size() / 2] ^= 0x20;
    WriteFile(Firmware() / "HLX_PROM.rel", prom);
    result = Verify(trust);
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(At(result.document, "/signature/state"), "valid");
    for (const json& file : At(result.document, "/files")) {
        EXPECT_EQ(Text(At(file, "/state")), file["name"] == "HLX_PROM.rel" ? "differs" : "matches");
    }
    prom[prom.size() / 2] ^= 0x20;
    WriteFile(Firmware() / "HLX_PROM.rel", prom);
    ASSERT_EQ(Shell("openssl ecparam -name prime256v1 -genkey -noout | openssl ec -pubout -out " +
                    (Root() / "other.pem").string() + " 2>/dev/null"),
              0);
    fs::rename(Root() / "other.pem", fs::path(pub));
    EXPECT_EQ(At(Verify(trust).document, "/signature/state"), "untrusted");
    WriteFile(signature, ReadFile(signature).substr(0, 20));
    result = Verify(trust);
    EXPECT_EQ(At(result.document, "/signature/state"), "invalid") << result.out;
    WriteFile(trust / "broken.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
    EXPECT_NE(Verify(trust).err.find("broken.pem"), std::string::npos);
}
#endif

}  // namespace
}  // namespace gwu::test::cli

// A tester's policy over the signed sample folder: what Evaluate lets through, the sequence
// ledger, and the library's file verifier built on it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "firmware/signing/Policy.h"
#include "testsupport/TestFolders.h"

namespace gwu::signing {
namespace {

namespace fs = std::filesystem;
using test::TestFolders;

enum Trust { kNoKey, kSampleKey, kOtherKey };
enum Change { kAsSigned = 0, kTampered = 1, kUnsigned = 2, kMalformed = 4 };

class PolicyTest : public ::testing::Test {
protected:
    PolicyTest() { folders.CopySampleFirmware(true); }
    // The sample publisher's key, a key that did not sign the folder (the one usable key of the
    // signing tests' data), or none.
    Policy With(Trust trust, bool allowUnsigned = false, bool allowRollback = false) const {
        const fs::path keys[] = {folders.Root() / "no-keys", test::SampleDir() / "sample-trust",
                                 test::SampleDir() / ".." / "tests" / "signing" / "data"};
        return TesterPolicy(keys[trust].string(), folders.Logs().string(), allowUnsigned,
                            allowRollback);
    }
    void Make(int change) const {
        folders.FreshFirmware(true);
        if (change & kTampered) {
            std::string bytes = TestFolders::ReadFile(folders.Firmware() / "HLX_PROM.rel");
            bytes.back() ^= 1;  // same size
            TestFolders::WriteFile(folders.Firmware() / "HLX_PROM.rel", bytes);
        }
        if (change & kUnsigned) {
            fs::remove(folders.Firmware() / kSignatureName);
        }
        if (change & kMalformed) {
            TestFolders::WriteFile(folders.Firmware() / kManifestName, "{");
        }
    }
    std::string Folder() const { return folders.Firmware().string(); }
    std::string Ledger() const {
        return TestFolders::ReadFile(folders.Logs() / kSequenceLedgerName);
    }

    TestFolders folders;
};

// Digests are checked whenever the manifest can be read; the signature as the policy asks.
TEST_F(PolicyTest, EvaluateLetsThroughWhatThePolicyAllows) {
    const struct {
        int change;
        Trust trust;
        bool allowUnsigned, usable, verified;
        const char* said;  // in the refusal, or in the warning of a usable folder
    } cases[] = {
        {kAsSigned, kSampleKey, false, true, true, ""},
        {kTampered, kSampleKey, false, false, false, "HLX_PROM.rel: its SHA-256"},
        {kUnsigned, kSampleKey, false, false, false, "is not signed"},
        {kUnsigned, kSampleKey, true, true, false, "signature is unsigned"},
        {kUnsigned | kTampered, kSampleKey, true, false, false, "HLX_PROM.rel"},
        {kAsSigned, kOtherKey, false, false, false, "signature is untrusted"},
        {kAsSigned, kOtherKey, true, true, false, "untrusted"},
        {kAsSigned, kNoKey, false, true, false, "unverified: no trusted key"},
        {kTampered, kNoKey, false, false, false, "HLX_PROM.rel"},
        {kMalformed, kSampleKey, false, false, false, "signature is invalid"},
        {kMalformed, kNoKey, false, false, false, "signature is invalid"},
        {kMalformed, kSampleKey, true, true, false, "invalid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        Make(c.change);
        const FolderVerdict verdict = Evaluate(Folder(), With(c.trust, c.allowUnsigned));
        EXPECT_EQ(verdict.usable, c.usable) << verdict.refusal;
        EXPECT_EQ(verdict.verified, c.verified);
        EXPECT_EQ(verdict.refusal.empty(), c.usable);
        EXPECT_EQ(verdict.warning.empty(), !c.usable || c.verified);
        EXPECT_NE((c.usable ? verdict.warning : verdict.refusal).find(c.said), std::string::npos)
            << verdict.refusal << verdict.warning;
    }
}

// The highest sequence accepted from the key; other keys' lines and lines it does not know are
// kept; an older set is refused unless rollback is allowed, and a line of the key that cannot be
// read leaves the set's age unknown: refused too.
TEST_F(PolicyTest, LedgerRefusesOlderSetsAndKeepsOtherLines) {
    const std::string others = "0123abcd 9\r\n# kept as it stands\r\n";
    TestFolders::WriteFile(folders.Logs() / kSequenceLedgerName, others);
    const FolderVerdict verdict = Evaluate(Folder(), With(kSampleKey));
    ASSERT_TRUE(verdict.verified) << verdict.refusal;
    const std::string key = verdict.check.fingerprint;
    EXPECT_EQ(RecordAccepted(verdict, With(kSampleKey)), "");
    EXPECT_EQ(Ledger(), others + key + " 1\r\n");
    const SequenceLedger ledger((folders.Logs() / kSequenceLedgerName).string());
    EXPECT_EQ(ledger.Accept(key, 3), "");  // a later set, accepted before this one
    EXPECT_EQ(ledger.Accept(key, 2), "");
    EXPECT_EQ(Ledger(), others + key + " 3\r\n");

    FolderVerdict older = Evaluate(Folder(), With(kSampleKey));
    EXPECT_EQ(older.check.signature, SignatureState::RolledBack);
    EXPECT_FALSE(older.usable);
    EXPECT_NE(older.refusal.find("sequence 1 is older than sequence 3"), std::string::npos)
        << older.refusal;
    older = Evaluate(Folder(), With(kSampleKey, false, true));
    EXPECT_TRUE(older.usable);
    EXPECT_EQ(RecordAccepted(older, With(kSampleKey, false, true)), "");
    EXPECT_EQ(Ledger(), others + key + " 3\r\n");

    TestFolders::WriteFile(folders.Logs() / kSequenceLedgerName, key + " 3x\r\n");
    older = Evaluate(Folder(), With(kSampleKey));
    EXPECT_EQ(older.check.signature, SignatureState::RolledBack);
    EXPECT_NE(older.refusal.find("malformed line"), std::string::npos) << older.refusal;
}

// Writers in several threads at once (each its own open file and lock, as processes have): the
// highest sequence is the one on record, with no other line of the key, no line lost.
TEST(SequenceLedgerTest, ConcurrentAcceptKeepsTheHighest) {
    const test::TempDir dir;
    const std::string path = (dir.Path() / kSequenceLedgerName).string();
    TestFolders::WriteFile(path, "other 7\r\n");
    constexpr int kThreads = 4, kEach = 25;
    std::vector<std::string> problems(kThreads);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kEach && problems[t].empty(); ++i) {
                problems[t] = SequenceLedger(path).Accept("key", 1 + t + kThreads * i);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(problems, std::vector<std::string>(kThreads));
    EXPECT_EQ(TestFolders::ReadFile(path),
              "other 7\r\nkey " + std::to_string(kThreads * kEach) + "\r\n");
}

// Each file against the release it must be a copy of: a true copy passes, a missing one is
// skipped, a device-load file holding another release's bytes is refused whatever is asked with
// it, and so are a file the manifest does not list and an unsigned folder.
TEST_F(PolicyTest, FileVerifierChecksEachFileAgainstItsRelease) {
    const GatewayFileVerifier verify = MakeFileVerifier(With(kSampleKey));
    const std::string lc = TestFolders::ReadFile(folders.Firmware() / "HLX_LC.rel");
    TestFolders::WriteFile(folders.Firmware() / "HLX_LC.bin", lc);
    std::vector<GatewayLoadFile> files = {{"HLX_LC.rel", "HLX_LC.rel"},
                                          {"HLX_LC.bin", "HLX_LC.rel"},
                                          {"HLX_BOOT.bin", "HLX_BOOT.rel"},
                                          {"HLX_PROM.bin", "HLX_PROM.rel"}};
    EXPECT_EQ(verify(Folder(), files), "");
    TestFolders::WriteFile(folders.Firmware() / "HLX_PROM.bin", lc);
    EXPECT_NE(verify(Folder(), files).find("HLX_PROM.bin: it is not a copy of HLX_PROM.rel"),
              std::string::npos)
        << verify(Folder(), files);
    files.pop_back();
    EXPECT_EQ(verify(Folder(), files), "");
    TestFolders::WriteFile(folders.Firmware() / "custom.jed", "a file the publisher never listed");
    EXPECT_NE(verify(Folder(), {{"custom.jed", "custom.jed"}}).find("custom.jed: not listed"),
              std::string::npos);
    fs::remove(folders.Firmware() / kSignatureName);
    EXPECT_NE(verify(Folder(), files).find("not signed"), std::string::npos);
}

}  // namespace
}  // namespace gwu::signing

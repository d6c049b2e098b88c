// The manifest format and a folder checked against it: what is listed, what a reader refuses,
// and each way a folder can differ from its manifest.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "firmware/signing/FolderCheck.h"
#include "testsupport/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using namespace gwu::signing;
using gwu::test::TestFolders;

std::string States(const FolderCheck& check) {
    std::string out;
    for (const FileCheck& file : check.files) {
        out += file.name + ":" + FileStateName(file.state) + " ";
    }
    return out;
}

class ManifestTest : public ::testing::Test {
protected:
    ManifestTest() {
        folders.WriteRelease("HLX_LC.rel", "KLEM_12345_R4.2.1");
        TestFolders::WriteFile(folders.Firmware() / "HLX_MAC.hex", ":00000001FF\n");
        TestFolders::WriteFile(folders.Firmware() / "HLX_LC.bin", "made by an update");
        TestFolders::WriteFile(folders.Firmware() / "HLX_LC.bin.placing", "left by a crash");
    }
    // Writes the folder's manifest as it is now (unsigned).
    void Publish(std::uint64_t sequence = 1) {
        const ManifestReading made = MakeManifest(Folder(), sequence, "2026-12-07T10:00:00Z");
        ASSERT_TRUE(made.manifest) << made.problem;
        TestFolders::WriteFile(folders.Firmware() / kManifestName, WriteManifest(*made.manifest));
    }
    std::string Folder() const { return folders.Firmware().string(); }

    TestFolders folders;
};

// What is published: the release files and the hex image with sizes, digests and Release-Ids,
// never what the tools make; and what is written reads back the same, byte for byte.
TEST_F(ManifestTest, ListsThePublishedFilesAndReadsBackWhatItWrites) {
    const ManifestReading made = MakeManifest(Folder(), 7, "2026-12-07T10:00:00Z");
    ASSERT_TRUE(made.manifest) << made.problem;
    ASSERT_EQ(made.manifest->files.size(), 2U);
    const ManifestEntry& lc = *made.manifest->Find("HLX_LC.rel");
    const std::string content = TestFolders::ReadFile(folders.Firmware() / "HLX_LC.rel");
    EXPECT_EQ(lc.size, content.size());
    EXPECT_EQ(lc.sha256, Sha256::Of(content));
    EXPECT_EQ(lc.releaseId, "KLEM_12345_R4.2.1");
    EXPECT_FALSE(made.manifest->Find("HLX_MAC.hex")->releaseId.has_value());

    const std::string bytes = WriteManifest(*made.manifest);
    const ManifestReading read = ParseManifest(bytes);
    ASSERT_TRUE(read.manifest) << read.problem;
    EXPECT_EQ(read.manifest->sequence, 7U);
    EXPECT_EQ(WriteManifest(*read.manifest), bytes);
}

TEST(ManifestReading, RefusesWhatIsNotAWellFormedManifest) {
    const std::string digest(64, 'a');
    const auto with = [&](const std::string& file) {
        return R"({"format": 1, "created": "x", "sequence": 1, "files": [)" + file + "]}";
    };
    const auto entry = [&](const std::string& name) {
        return R"({"name": ")" + name + R"(", "size": 1, "sha256": ")" + digest + "\"}";
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "not a JSON object"},
        {"[1]", "not a JSON object"},
        {R"({"format": 2, "created": "x", "sequence": 1, "files": []})", "format 2"},
        {R"({"format": 1, "sequence": 1, "files": []})", "no \"created\""},
        {R"({"format": 1, "created": "x", "sequence": 0, "files": []})", "sequence is 0"},
        {R"({"format": 1, "created": "x", "sequence": -3, "files": []})", "not a whole number"},
        {with(entry("../HLX_LC.rel")), "not a plain file name"},
        {with(entry("/etc/passwd")), "not a plain file name"},
        {with(entry("C:HLX_LC.rel")), "not a plain file name"},
        {with(entry("sub\\\\HLX_LC.rel")), "not a plain file name"},
        {with(entry("..")), "not a plain file name"},
        {with(entry("a") + "," + entry("a")), "listed twice"},
        {with(R"({"name": "a", "size": 1, "sha256": "abc"})"), "64 hexadecimal"},
        {with(R"({"name": "a", "size": "1", "sha256": ")" + digest + "\"}"), "\"size\" is not"},
        {std::string(kMaxManifestBytes + 1, ' '), "larger than 1 MiB"},
    };
    for (const auto& [bytes, problem] : cases) {
        const ManifestReading reading = ParseManifest(bytes);
        EXPECT_FALSE(reading.manifest) << bytes.substr(0, 80);
        EXPECT_NE(reading.problem.find(problem), std::string::npos)
            << bytes.substr(0, 80) << " -> " << reading.problem;
    }
}

// Digests are checked whatever the keys: every way a file can differ is named.
TEST_F(ManifestTest, NamesEveryFileThatDiffersFromTheManifest) {
    EXPECT_EQ(CheckFolder(Folder(), {}).signature, SignatureState::Unsigned);
    Publish();
    FolderCheck check = CheckFolder(Folder(), {});
    EXPECT_TRUE(check.FilesMatch()) << States(check);
    EXPECT_EQ(check.signature, SignatureState::Unsigned);
    EXPECT_NE(check.problem.find("no signature"), std::string::npos) << check.problem;

    std::string content = TestFolders::ReadFile(folders.Firmware() / "HLX_LC.rel");
    content.back() ^= 1;  // one bit, same size
    TestFolders::WriteFile(folders.Firmware() / "HLX_LC.rel", content);
    fs::remove(folders.Firmware() / "HLX_MAC.hex");
    TestFolders::WriteFile(folders.Firmware() / "HLX_PROM.rel", "planted");
    check = CheckFolder(Folder(), {});
    EXPECT_FALSE(check.FilesMatch());
    EXPECT_EQ(States(check), "HLX_LC.rel:differs HLX_MAC.hex:missing HLX_PROM.rel:unlisted ");
#ifndef _WIN32
    // A listed name that is a link out of the folder is not the folder's file.
    Publish(2);
    TestFolders::WriteFile(folders.Root() / "outside.rel", "elsewhere");
    fs::remove(folders.Firmware() / "HLX_PROM.rel");
    fs::create_symlink(folders.Root() / "outside.rel", folders.Firmware() / "HLX_PROM.rel");
    EXPECT_EQ(CheckFolder(Folder(), {}).Find("HLX_PROM.rel")->state, FileState::Unusable);
#endif
    TestFolders::WriteFile(folders.Firmware() / kManifestName, "{");
    check = CheckFolder(Folder(), {});
    EXPECT_EQ(check.signature, SignatureState::Invalid);
    EXPECT_FALSE(check.FilesMatch());
}

}  // namespace

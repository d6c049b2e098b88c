// Release sets on the collector: a signed folder published and downloaded over HTTP byte for
// byte, every refused folder leaving nothing stored, a set published again moving its groups,
// and who may read what.
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "firmware/signing/Crypto.h"
#include "firmware/signing/Manifest.h"
#include "fleet/Releases.h"
#include "http/Client.h"
#include "tests/fleet/FleetFixture.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {

extern const char* const kGwfleetProgram;

namespace {

namespace fs = std::filesystem;
using signing::kManifestName;
using signing::kSignatureName;

class FleetReleaseTest : public FleetFixture {
protected:
    // The sample releases and a binary file of the size, at the sequence, signed with the signing
    // tests' key; change alters the manifest before it is signed.
    fs::path MakeFolder(const std::string& name, std::uint64_t sequence, size_t bytes = 4096,
                        const std::function<void(signing::Manifest&)>& change = {}) const {
        const fs::path folder = m_folder.Path() / name;
        fs::create_directories(folder);
        for (const auto& entry : fs::directory_iterator(SampleDir() / "firmware")) {
            if (signing::IsPublishedFile(entry.path().filename().string())) {
                fs::copy_file(entry.path(), folder / entry.path().filename());
            }
        }
        std::string payload(bytes, '\0');
        for (size_t i = 0; i < bytes; ++i) {
            payload[i] = static_cast<char>((i * 7919 + sequence) >> 3);  // NULs and high bytes
        }
        TestFolders::WriteFile(folder / "payload.dat", payload);
        signing::ManifestReading made =
            signing::MakeManifest(folder.string(), sequence, "2026-12-08T06:00:00Z");
        EXPECT_TRUE(made.manifest) << made.problem;
        if (change) {
            change(*made.manifest);
        }
        const std::string manifest = signing::WriteManifest(*made.manifest);
        std::string why;
        const std::optional<std::string> signature = signing::Sign(
            TestFolders::ReadFile(SampleDir() / ".." / "tests/signing/data/p256-private.pem"),
            manifest, why);
        EXPECT_TRUE(signature) << why;
        TestFolders::WriteFile(folder / kManifestName, manifest);
        TestFolders::WriteFile(folder / kSignatureName, signature.value_or(""));
        return folder;
    }
    fleet::Publication Publish(const fs::path& folder, const std::string& set) const {
        std::string problem;
        const std::optional<fleet::Publication> done =
            fleet::PublishFolder(*m_db, folder.string(), set, problem);
        EXPECT_TRUE(done) << problem;
        return done.value_or(fleet::Publication{});
    }
    std::string FilePath(long long publication, const std::string& name) const {
        return "/api/v1/release/" + std::to_string(publication) + "/" + name;
    }
    // gwfleet serve on a free loopback port; the port, 0 when it did not start.
    int Serve() {
        m_serve.emplace(std::vector<std::string>{kGwfleetProgram, "serve", "--db", m_uri,
                                                 "--listen", "127.0.0.1:0"},
                        (m_folder.Path() / "serve").string());
        std::smatch port;
        std::string out;
        for (int i = 0; i < 400 && !std::regex_search(out, port, std::regex(R"(:(\d+)/\n)")); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            out = TestFolders::ReadFile(m_folder.Path() / "serve.out");
        }
        return port.empty() ? 0 : std::stoi(port[1]);
    }

    TempDir m_folder;
    std::optional<Child> m_serve;
};

TEST_F(FleetReleaseTest, APublishedSetIsDownloadedByteForByte) {
    const fs::path folder = MakeFolder("stable", 3, size_t{5} << 20);
    const fleet::Publication published = Publish(folder, "stable");
    EXPECT_EQ(m_db->Exec("SELECT string_agg(family || ' ' || code || ' ' || release, ', ' ORDER "
                         "BY family, code) FROM set_releases WHERE set_name = 'stable'")
                  .Text(0, 0),
              "communication BS KLEM_BOOT_R1.4.0, communication CPLD KLEM_CPLD_R7, communication "
              "LC KLEM_12345_R4.2.1, communication MAC KLEM_MAC_R3.1, communication PROM "
              "KLEM_PROM_R2.0.3, measurement LC QPT Loaded Code Release 3.2.0, measurement PROM "
              "QPT PROM Release 1.8");
    const int port = Serve();
    ASSERT_NE(port, 0);
    const auto get = [&](const std::string& target) {
        std::string error;
        const std::optional<http::Response> answer =
            http::Fetch("127.0.0.1", port,
                        {"GET", target, {{"Authorization", "Bearer " + m_tester}}, ""}, error);
        EXPECT_TRUE(answer) << error;
        return answer.value_or(http::Response{0, {}, {}, error});
    };
    const http::Response none = get("/api/v1/release");  // no group yet
    EXPECT_EQ(none.status, 204);
    EXPECT_EQ(none.body, "");

    ASSERT_TRUE(fleet::SetTesterGroup(*m_db, "tester-1", "bench"));
    ASSERT_TRUE(fleet::AssignSet(*m_db, "stable", "bench"));
    const std::string manifest = TestFolders::ReadFile(folder / kManifestName);
    const Json expected = {{"set", "stable"},
                           {"publication", published.id},
                           {"sequence", 3},
                           {"manifest_sha256", signing::ToHex(signing::Sha256::Of(manifest))}};
    EXPECT_EQ(Json::parse(get("/api/v1/release").body, nullptr, false), expected);
    std::vector<std::string> names;  // the manifest, its signature and the 9 files it lists
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(names.size(), 11u);
    for (const std::string& name : names) {
        const http::Response file = get(FilePath(published.id, name));
        EXPECT_EQ(file.status, 200) << name;
        EXPECT_EQ(file.contentType, "application/octet-stream");
        EXPECT_TRUE(file.body == TestFolders::ReadFile(folder / name)) << name;
    }
}

TEST_F(FleetReleaseTest, ARefusedFolderStoresNothing) {
    const auto remove = [](const char* name) {
        return [name](const fs::path& folder) { fs::remove(folder / name); };
    };
    const auto write = [](const char* name, const char* bytes) {
        return
            [name, bytes](const fs::path& folder) { TestFolders::WriteFile(folder / name, bytes); };
    };
    const auto oversize = [](signing::Manifest& manifest) {
        manifest.files[0].size = fleet::kMaxPublishedFileBytes + 1;
    };
    const struct {
        std::function<void(const fs::path&)> fault;
        std::function<void(signing::Manifest&)> manifest;
        std::string set, problem;
    } cases[] = {
        {remove(kSignatureName), {}, "s", "no RELEASES.json.sig: it is unsigned"},
        {remove(kManifestName), {}, "s", "no RELEASES.json"},
        {write(kManifestName, "{"), {}, "s", "manifest"},
        {write(kSignatureName, "not DER"), {}, "s", "signature"},
        {write("HLX_LC.rel", "changed"), {}, "s", "HLX_LC.rel: differs"},
        {write("extra.rel", "x"), {}, "s", "extra.rel: unlisted"},
        {remove("QPT_PROM.rel"), {}, "s", "QPT_PROM.rel: missing"},
        {{}, oversize, "s", "above the limit of 67108864"},
        {{}, {}, "a/b", "bad set name"},
        {{}, {}, std::string(65, 'x'), "longer than 64"},
        {{}, {}, "", "empty"},
    };
    int number = 0;
    for (const auto& c : cases) {
        const fs::path folder = MakeFolder("case" + std::to_string(++number), 1, 16, c.manifest);
        if (c.fault) {
            c.fault(folder);
        }
        std::string problem;
        EXPECT_FALSE(fleet::PublishFolder(*m_db, folder.string(), c.set, problem)) << number;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << number << ": " << problem;
    }
    EXPECT_EQ(Count("SELECT (SELECT count(*) FROM publications) + (SELECT count(*) FROM "
                    "publication_files) + (SELECT count(*) FROM release_sets)"),
              0);
}

TEST_F(FleetReleaseTest, PublishingAgainMovesTheSetAndEachTesterGetsOnlyItsGroups) {
    const fleet::Publication first = Publish(MakeFolder("one", 1), "stable");
    const std::string other = fleet::AddToken(*m_db, "tester-2", false);
    const fleet::Publication theirs = Publish(MakeFolder("two", 1), "trial");
    EXPECT_FALSE(fleet::AssignSet(*m_db, "nonesuch", "bench"));
    EXPECT_FALSE(fleet::SetTesterGroup(*m_db, "nobody", "bench"));
    for (const auto& [tester, group, set] :
         {std::tuple{"tester-1", "bench", "stable"}, {"tester-2", "pilot", "trial"}}) {
        ASSERT_TRUE(fleet::SetTesterGroup(*m_db, tester, group));
        ASSERT_TRUE(fleet::AssignSet(*m_db, set, group));
    }
    EXPECT_EQ(Send("GET", FilePath(first.id, "HLX_LC.rel"), m_tester).status, 200);
    const fleet::Publication second = Publish(MakeFolder("three", 2), "stable");
    EXPECT_EQ(second.previousSequence, 1);

    const Json current = Ok(Send("GET", "/api/v1/release", m_tester));
    EXPECT_EQ(current["publication"], second.id);
    EXPECT_EQ(current["sequence"], 2);
    EXPECT_EQ(Send("GET", FilePath(second.id, "payload.dat"), m_tester).body,
              TestFolders::ReadFile(m_folder.Path() / "three" / "payload.dat"));
    EXPECT_EQ(Count("SELECT count(*) FROM publication_files WHERE publication = " +
                    std::to_string(first.id)),
              9);  // the former publication is kept
    const struct {
        std::string target, token;
        int status;
    } cases[] = {
        {FilePath(first.id, "HLX_LC.rel"), m_tester, 404},   // the set moved on
        {FilePath(theirs.id, "HLX_LC.rel"), m_tester, 404},  // another group's
        {FilePath(second.id, "HLX_LC.bin"), m_tester, 404},  // not listed
        {FilePath(second.id, "%2e%2e%2fx"), m_tester, 404},  // not a name
        {FilePath(second.id, "RELEASES.json"), other, 404},  // not tester-2's
        {FilePath(theirs.id, "RELEASES.json"), other, 200},
        {"/api/v1/release", m_admin, 403},
        {"/api/v1/release/x/RELEASES.json", m_tester, 404},
        {"/api/v1/sets", m_tester, 403},
        {"/api/v1/sets", "", 401},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Send("GET", c.target, c.token).status, c.status) << c.target;
    }
    EXPECT_EQ(Send("POST", "/api/v1/release", m_tester).status, 405);

    Json sets = Get("/api/v1/sets")["sets"];
    for (Json& set : sets) {
        EXPECT_EQ(set["published"].get<std::string>().size(), 20u);
        set.erase("published");
    }
    Json expected = Json::parse(R"([{"name": "stable", "sequence": 2, "groups": ["bench"]},
                                    {"name": "trial", "sequence": 1, "groups": ["pilot"]}])");
    for (const auto& [at, publication, token] :
         {std::tuple{0, second.id, m_tester}, {1, theirs.id, other}}) {
        expected[at]["publication"] = publication;
        expected[at]["manifest_sha256"] =
            Ok(Send("GET", "/api/v1/release", token))["manifest_sha256"];
    }
    EXPECT_EQ(sets, expected);
    EXPECT_TRUE(fleet::SetTesterGroup(*m_db, "tester-1", ""));  // out of its group: nothing
    EXPECT_EQ(Send("GET", "/api/v1/release", m_tester).status, 204);
}

}  // namespace
}  // namespace gwu::test

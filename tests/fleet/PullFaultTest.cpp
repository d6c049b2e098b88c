// gwctl sync pulling its group's release set from gwfleet and the shared PostgreSQL cluster, under
// what a pull meets: a collector killed in the download, a set tampered with in the database, a set
// signed by a key the tester does not trust, a disk that fills during the download. After each the
// firmware folder in use is byte for byte what it was and the sync says why; then two syncs at
// once take the good set once, the folder before it kept, and an update's event names the set.
#include <sys/mount.h>

#include <cstdlib>
#include <map>

#include "tests/fleet/CollectorProcess.h"
#include "tests/fleet/FleetFixture.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

class PullFaultTest : public FleetFixture {
protected:
    void SetUp() override {
        FleetFixture::SetUp();
        m_folders.CopySampleFirmware(true);
        fs::copy(SampleDir() / "runtime", m_folders.Runtime(), fs::copy_options::recursive);
        fs::create_directories(Trust());
        fs::copy_file(Key("public"), Trust() / "test-publisher.pem");
        TestFolders::WriteFile(Token(), m_tester + "\n");
        fs::permissions(Token(), fs::perms::owner_read | fs::perms::owner_write);
        m_before = TestFolders::ReadFiles(Firmware());
        EXPECT_EQ(Gwfleet({"tester", "group", "tester-1", "bench"}), 0);
    }
    fs::path Root() const { return m_folders.Root(); }
    fs::path Firmware() const { return m_folders.Firmware(); }
    fs::path Trust() const { return Root() / "trust"; }
    fs::path Token() const { return Root() / "token"; }
    static std::string Key(const std::string& kind) {
        return (SampleDir() / ".." / "tests" / "signing" / "data" / ("p256-" + kind + ".pem"))
            .string();
    }
    int Gwfleet(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), kGwfleetProgram);
        arguments.insert(arguments.end(), {"--db", m_uri});
        return Child(arguments, (Root() / "gwfleet").string()).Wait(kWaitMs);
    }
    // gwctl with the arguments, the trust folder and a log folder (the tester's by default);
    // its JSON document in m_said.
    std::vector<std::string> Line(std::vector<std::string> arguments, fs::path logs = {}) const {
        arguments.insert(arguments.begin(), kGwctlProgram);
        logs = logs.empty() ? m_folders.Logs() : logs;
        arguments.insert(arguments.end(), {"--trust", Trust().string(), "--logs", logs.string()});
        return arguments;
    }
    int Gwctl(const std::vector<std::string>& line, const std::string& stem = "gwctl") {
        const int status = Child(line, (Root() / stem).string()).Wait(kWaitMs);
        m_said = Json::parse(TestFolders::ReadFile(Root() / (stem + ".out")), nullptr, false);
        return status;
    }
    std::vector<std::string> Sync(const std::string& url, const fs::path& firmware) const {
        return Line({"sync", "--json", "--to", url, "--token-file", Token().string(), "--firmware",
                     firmware.string()});
    }
    // The sample firmware with the extra files, signed with the key, published as the set and
    // assigned to the group.
    void Publish(const std::string& set, const std::string& key, int sequence, Files extra = {}) {
        const fs::path folder = Root() / set;
        fs::copy(SampleDir() / "firmware", folder);
        fs::remove(folder / "RELEASES.json");
        fs::remove(folder / ".gitattributes");  // the checkout's, no file of a set
        for (const auto& [name, bytes] : extra) {
            TestFolders::WriteFile(folder / name, bytes);
        }
        ASSERT_EQ(Gwctl({kGwctlProgram, "release", "sign", "--key", key, "--sequence",
                         std::to_string(sequence), folder.string()}),
                  0);
        ASSERT_EQ(Gwfleet({"release", "publish", folder.string(), "--set", set}), 0);
        ASSERT_EQ(Gwfleet({"release", "assign", "--set", set, "--group", "bench"}), 0);
    }

    TestFolders m_folders;
    Files m_before;
    Json m_said;
};

TEST_F(PullFaultTest, EveryFaultLeavesTheFolderInUseAndTheGoodSetIsTakenOnce) {
    Publish("spring", Key("private"), 5);
    // The collector killed while it waits to read the set's files (their table locked).
    auto killed = std::make_unique<Collector>(m_uri, Root() / "killed");
    fleet::Database holder(m_uri);
    holder.Exec("BEGIN");
    holder.Exec("LOCK TABLE publication_files IN ACCESS EXCLUSIVE MODE");
    Child cut(Sync(killed->Url(), Firmware()), (Root() / "cut").string());
    for (int i = 0; i < 3000 && Count("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                                      "current_database() AND wait_event_type = 'Lock'") == 0;
         ++i) {
        Pause();
    }
    killed->Kill();
    holder.Exec("ROLLBACK");
    EXPECT_EQ(cut.Wait(kWaitMs), 1);
    EXPECT_NE(TestFolders::ReadFile(Root() / "cut.out").find("RELEASES.json: not received"),
              std::string::npos);
    EXPECT_EQ(TestFolders::ReadFiles(Firmware()), m_before);
    EXPECT_FALSE(fs::exists(Firmware().string() + ".staging"));
    const Collector collector(m_uri, Root() / "collector");
    const std::string stranger = (Root() / "stranger.pem").string();
    ASSERT_EQ(
        std::system(("openssl ecparam -name prime256v1 -genkey -noout -out " + stranger).c_str()),
        0);
    Publish("stranger", stranger, 1);
    // The words a local folder signed so is refused in.
    Gwctl(
        Line({"check", "--json", "--firmware", (Root() / "stranger").string()}, Root() / "other"));
    const std::string refusal = m_said.value("/folder/refusal"_json_pointer, "");
    ASSERT_NE(refusal, "") << m_said;
    Publish("big", Key("private"), 6, {{"BIG.dat", std::string(300 * 1024, 'b')}});
    // A few hundred KiB where a firmware folder lives, when one can be mounted here.
    const fs::path small = Root() / "small";
    fs::create_directories(small);
    const bool mounted = ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") == 0;
    fs::copy(Firmware(), small / "firmware");
    const std::string tamper =
        "UPDATE publication_files SET content = 'x' WHERE name = 'HLX_PROM.rel' AND "
        "publication = (SELECT publication FROM release_sets WHERE name = 'big')";
    const struct {
        std::string set, sql;
        fs::path firmware;
        std::string said;
    } faults[] = {
        {"big", "", small / "firmware", "No space left on device"},
        {"stranger", "", Firmware(), "(sequence 1) is refused: " + refusal},
        {"big", tamper, Firmware(), "HLX_PROM.rel: the bytes received are not"},
    };
    for (const auto& fault : faults) {
        if (!mounted && fault.firmware == small / "firmware") {
            continue;  // no small file system: that fault cannot be made here
        }
        ASSERT_EQ(Gwfleet({"release", "assign", "--set", fault.set, "--group", "bench"}), 0);
        m_db->Exec(fault.sql.empty() ? "SELECT 1" : fault.sql);
        EXPECT_EQ(Gwctl(Sync(collector.Url(), fault.firmware)), 1) << m_said;
        const std::string said = m_said.value("/error/message"_json_pointer, "");
        EXPECT_NE(said.find(fault.said), std::string::npos) << said;
        EXPECT_NE(said.find(fault.firmware.string() + " is unchanged"), std::string::npos) << said;
        EXPECT_EQ(TestFolders::ReadFiles(fault.firmware), m_before) << fault.set;
        EXPECT_FALSE(fs::exists(fault.firmware.string() + ".staging"));
    }
    if (mounted) {
        ::umount2(small.c_str(), MNT_DETACH);
    }

    ASSERT_EQ(Gwfleet({"release", "assign", "--set", "spring", "--group", "bench"}), 0);
    Child one(Sync(collector.Url(), Firmware()), (Root() / "one").string());
    EXPECT_EQ(Gwctl(Sync(collector.Url(), Firmware()), "two"), 0) << m_said;
    const bool second = m_said.contains("release");
    EXPECT_EQ(one.Wait(kWaitMs), 0);
    const Json first = Json::parse(TestFolders::ReadFile(Root() / "one.out"), nullptr, false);
    EXPECT_NE(first.contains("release"), second) << first << m_said;  // one switch, not two
    const Files switched = TestFolders::ReadFiles(Firmware());
    Files pulled = switched;
    pulled.erase(".fleet-set.json");
    EXPECT_EQ(pulled, TestFolders::ReadFiles(Root() / "spring"));
    EXPECT_EQ(TestFolders::ReadFiles(Firmware().string() + ".previous"), m_before);
    // A switch stopped between its renames is finished by the next sync, with no set to pull.
    fs::rename(Firmware(), Firmware().string() + ".staging");
    ASSERT_EQ(Gwfleet({"tester", "group", "tester-1", "--none"}), 0);
    std::vector<std::string> finish = Sync(collector.Url(), Firmware());
    finish.erase(finish.begin() + 2);  // without --json: the line as printed
    EXPECT_EQ(Gwctl(finish, "finish"), 0);
    EXPECT_NE(TestFolders::ReadFile(Root() / "finish.out")
                  .find("\ngwctl: firmware folder now holds set spring (sequence 5, publisher "
                        "test-publisher); the previous one is in " +
                        Firmware().string() + ".previous\n"),
              std::string::npos);
    EXPECT_EQ(TestFolders::ReadFiles(Firmware()), switched);
    ASSERT_EQ(Gwctl(Line({"update", "--json", "--device", "emu:" + SampleScenarioPath("behind"),
                          "--firmware", Firmware().string()})),
              0)
        << m_said;
    const std::string history = TestFolders::ReadFile(m_folders.Logs() / "history.jsonl");
    const std::string last = history.substr(history.rfind('\n', history.size() - 2) + 1);
    EXPECT_EQ(Json::parse(last).value("/folder/set"_json_pointer, ""), "spring") << last;
}

}  // namespace
}  // namespace gwu::test

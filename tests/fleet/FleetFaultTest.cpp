// gwfleet and gwctl sync end to end, as programs over real sockets and the shared PostgreSQL
// cluster, under what a fleet meets: collectors over TLS (and ones a tester must not trust), a
// collector killed in the middle of a batch, the database restarted while testers sync, many
// testers on two collectors at once, and a history rotated between syncs. Each ends with the same
// check (ExpectFleetHolds): every event the testers' histories held is stored once, as its line,
// and the testers' counts, their cursors and the device inventory agree with the stored events.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "cli/Sync.h"
#include "history/HistoryReader.h"
#include "http/Client.h"
#include "tests/fleet/CollectorProcess.h"
#include "tests/fleet/FleetFixture.h"
#include "testsupport/TestCertificates.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {

namespace {

namespace fs = std::filesystem;

// A tester: its log folder with its token (mode 0600) and fleet.conf, its history, and every
// event line its history has held, by id (Gather).
struct Tester {
    Tester(const fs::path& root, const std::string& testerName, const std::string& uri)
        : name(testerName), folder(root / testerName) {
        fs::create_directories(folder);
        fleet::Database database(uri);
        TestFolders::WriteFile(folder / "token", fleet::AddToken(database, name, false) + "\n");
        fs::permissions(folder / "token", fs::perms::owner_read | fs::perms::owner_write);
    }
    void Configure(const std::string& url, const std::string& caFile = {}) const {
        TestFolders::WriteFile(folder / cli::kFleetConfigName,
                               "url = " + url + "\ntoken_file = token\n" +
                                   (caFile.empty() ? "" : "ca_file = " + caFile + "\n"));
    }
    // An event of a device of a few shared by every tester (placeholder serials among them),
    // with an LC release after it most of the time and a PROM one always.
    history::Event NewEvent() {
        static const std::string serials[] = {"S1", "S2", "S3", "S4", "", " unknown ", "UNKNOWN"};
        history::Event event = MakeEvent(0, serials[random() % 7],
                                         random() % 4 == 0 ? "" : std::to_string(random() % 50));
        event.codeTypes.push_back({"PROM", "", std::to_string(random() % 5), "", "", false});
        return event;
    }
    // Appends events to the history file at once, numbered on from the last written; the one
    // numbered lone is the only event of the device Lone().
    void Write(std::uint64_t count, std::uint64_t lone = 0) {
        std::string content;
        for (std::uint64_t n = 0; n < count; ++n) {
            history::Event event = NewEvent();
            event.sequence = ++written;
            event.serial = event.sequence == lone ? Lone() : event.serial;
            content += history::ToJsonLine(event);
        }
        std::ofstream(folder / history::kHistoryFileName, std::ios::app | std::ios::binary)
            << content;
    }
    std::unique_ptr<Child> StartSync(std::vector<std::string> options = {}) const {
        options.insert(options.begin(),
                       {kGwctlProgram, "sync", "--json", "--logs", folder.string()});
        return std::make_unique<Child>(options, Stem());
    }
    // The sync's exit status; its JSON document in said.
    int Finish(Child& sync) {
        const int status = sync.Wait(kWaitMs);
        said = Json::parse(TestFolders::ReadFile(Stem() + ".out"), nullptr, false);
        return status;
    }
    int Sync(const std::vector<std::string>& options = {}) { return Finish(*StartSync(options)); }
    void Gather() {
        for (const std::string& path : history::HistoryFiles(folder.string())) {
            std::istringstream in(TestFolders::ReadFile(path));
            for (std::string line; std::getline(in, line);) {
                if (const auto reading = history::ParseJsonLine(line); reading.event) {
                    lines[reading.event->id] = line;
                }
            }
        }
    }
    std::string Stem() const { return folder.string() + "-sync"; }
    std::string Lone() const { return "lone-" + name; }

    std::string name;
    fs::path folder;
    std::mt19937 random{7};
    std::uint64_t written = 0;
    std::map<std::string, std::string> lines;  // id -> line, without its line end
    Json said;
};

// Per check: the rows that break it. want: {id: [tester, line]} of every event the histories held.
constexpr const char* kInvariant = R"SQL(
WITH want AS (SELECT key AS id, value->>0 AS tester, value->>1 AS content FROM json_each($1::json)),
counted AS (SELECT tester AS name, count(*) AS events, max((content::jsonb->>'seq')::bigint) AS seq,
            sum(coalesce((content::jsonb->'dropped'->>'count')::bigint, 0)) AS dropped
            FROM want GROUP BY tester),
real AS (SELECT * FROM events WHERE lower(btrim(serial, E' \t\r\n\f\v')) NOT IN ('', 'unknown')),
released AS (SELECT DISTINCT ON (e.serial, c.key) e.serial, c.key AS code,
             c.value->>'after' AS release, e.id FROM real e, jsonb_each(e.content::jsonb->'code_types') c
             WHERE c.value->>'after' <> '' ORDER BY e.serial, c.key, e.receipt DESC),
seen AS (SELECT DISTINCT ON (serial) serial, receipt, tester FROM real ORDER BY serial, receipt DESC)
SELECT (SELECT count(*) FROM want w FULL JOIN events e USING (id)
        WHERE (w.tester, w.content) IS DISTINCT FROM (e.tester, e.content)),
       (SELECT count(*) FROM testers t LEFT JOIN counted c USING (name)
        WHERE (coalesce(c.events, 0), coalesce(c.seq, 0), coalesce(c.dropped, 0))
              IS DISTINCT FROM (t.events, t.highest_seq, t.dropped)),
       (SELECT count(*) FROM released w FULL JOIN device_releases r USING (serial, code)
        WHERE (w.release, w.id) IS DISTINCT FROM (r.release, r.event_id)),
       (SELECT count(*) FROM seen w FULL JOIN devices d USING (serial)
        WHERE (w.receipt, w.tester) IS DISTINCT FROM (d.last_receipt, d.last_tester)),
       (SELECT id::text FROM fleet))SQL";

// The fleet holds exactly the events the testers' histories have held, each once, as the tester
// whose token sent it, its content the line without its line end; the testers' counts and
// cursors follow from them, and so does the inventory: per serial (no placeholder) the stored
// event with the highest receipt, and per code type the non-empty release after of that event.
void ExpectFleetHolds(const std::string& uri, const std::vector<Tester*>& testers) {
    fleet::Database database(uri);
    Json want = Json::object();
    std::map<std::string, std::uint64_t> highest;
    for (Tester* tester : testers) {
        tester->Gather();
        for (const auto& [id, line] : tester->lines) {
            want[id] = Json::array({tester->name, line});
            highest[tester->name] =
                std::max(highest[tester->name], history::ParseJsonLine(line).event->sequence);
        }
    }
    const fleet::Result found = database.Exec(kInvariant, {want.dump()});
    const char* const broken[] = {"events not as the histories hold them",
                                  "testers whose counts are not their events'",
                                  "releases not as the latest events say", "devices not so"};
    for (int check = 0; check < 4; ++check) {
        EXPECT_EQ(found.Int(0, check), 0) << broken[check];
    }
    for (Tester* tester : testers) {
        const auto cursor = cli::ReadFleetCursor(tester->folder.string());
        ASSERT_TRUE(cursor) << tester->name;
        EXPECT_EQ(cursor->fleet + " " + std::to_string(cursor->acknowledged),
                  found.Text(0, 4) + " " + std::to_string(highest[tester->name]));
    }
}

class FleetFaultTest : public FleetFixture {
protected:
    const fs::path& Root() const { return m_root.Path(); }

    // In a transaction left open, the device of each tester's lone event: the batch that holds
    // that event waits for the holder in the middle of its transaction, its events inserted.
    std::unique_ptr<fleet::Database> Hold(const std::vector<Tester*>& testers) {
        auto holder = std::make_unique<fleet::Database>(m_uri);
        holder->Exec("BEGIN");
        for (const Tester* tester : testers) {
            holder->Exec(
                "INSERT INTO devices (serial, card, last_seen, last_tester, last_receipt) "
                "VALUES ($1, '', now(), '', 0)",
                {tester->Lone()});
        }
        return holder;
    }
    // Whether (within a minute) as many statements as given wait for a lock.
    bool Waiting(long long statements) const {
        for (int i = 0; i < 3000; ++i, Pause()) {
            if (Count("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                      "AND wait_event_type = 'Lock'") >= statements) {
                return true;
            }
        }
        return false;
    }

    TempDir m_root;
};

TEST_F(FleetFaultTest, OverHttpsOnlyATrustedCollectorIsSent) {
    const TestCertificates certificates = MakeTestCertificates(Root());
    const Collector trusted(m_uri, Root() / "trusted", 0, &certificates.localhost);
    const Collector untrusted(m_uri, Root() / "untrusted", 0, &certificates.otherLocal);
    const Collector misnamed(m_uri, Root() / "misnamed", 0, &certificates.elsewhere);
    Tester tester(Root(), "bench", m_uri);
    tester.Configure(trusted.Url("https", "localhost"), certificates.ca);
    tester.Write(300);
    ASSERT_EQ(tester.Sync(), 0) << tester.said;
    tester.Write(400);
    const fs::path cursor = tester.folder / cli::kFleetCursorName;
    const std::string acknowledged = TestFolders::ReadFile(cursor);
    const struct {
        std::string url, said;
    } refusals[] = {
        {untrusted.Url("https", "localhost"), "certificate is refused: certificate verify failed"},
        {misnamed.Url("https", "localhost"), "certificate is refused: certificate verify failed"},
        {"http://192.0.2.1:" + std::to_string(trusted.Port()), "plain http:// is for a collector"},
    };
    for (const auto& refusal : refusals) {
        EXPECT_EQ(tester.Sync({"--to", refusal.url}), 2) << refusal.url;
        EXPECT_NE(tester.said.value("/error/message"_json_pointer, "").find(refusal.said),
                  std::string::npos)
            << tester.said;
        EXPECT_EQ(TestFolders::ReadFile(cursor), acknowledged);
    }
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 300);
    EXPECT_EQ(tester.Sync({"--to", trusted.Url("https")}), 0) << tester.said;  // by its address
    ExpectFleetHolds(m_uri, {&tester});
}

TEST_F(FleetFaultTest, ACollectorKilledInTheMiddleOfABatchLosesAndDoublesNothing) {
    auto first = std::make_unique<Collector>(m_uri, Root() / "first");
    const int port = first->Port();
    Tester tester(Root(), "bench", m_uri);
    tester.Configure(first->Url());
    tester.Write(2000, 1200);  // in the third batch of four
    auto holder = Hold({&tester});
    const auto sync = tester.StartSync();
    ASSERT_TRUE(Waiting(1));
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 1000);
    first->Kill();
    holder.reset();
    const Collector second(m_uri, Root() / "second", port);
    EXPECT_EQ(tester.Finish(*sync), 0) << tester.said;
    EXPECT_EQ(tester.Sync(), 0) << tester.said;
    EXPECT_EQ(tester.said.value("/sync/sent"_json_pointer, -1), 0);
    ExpectFleetHolds(m_uri, {&tester});
}

TEST_F(FleetFaultTest, TestersSyncThroughARestartOfTheDatabase) {
    const Collector collector(m_uri, Root() / "collector");
    Tester one(Root(), "bench-1", m_uri), two(Root(), "bench-2", m_uri);
    std::vector<std::unique_ptr<Child>> syncs;
    for (Tester* tester : {&one, &two}) {
        tester->Configure(collector.Url());
        tester->Write(1200, tester == &one ? 700 : 1100);
    }
    auto holder = Hold({&one, &two});
    for (Tester* tester : {&one, &two}) {
        syncs.push_back(tester->StartSync());
    }
    ASSERT_TRUE(Waiting(2));
    PostgresServer& cluster = PostgresServer::Shared();
    ASSERT_TRUE(cluster.Stop());
    holder.reset();
    std::string error;
    const auto health =
        http::Fetch("127.0.0.1", collector.Port(), {"GET", "/healthz", {}, ""}, error);
    EXPECT_EQ(health ? health->status : 0, 503) << error;
    ASSERT_TRUE(cluster.Start()) << cluster.Error();
    EXPECT_EQ(one.Finish(*syncs[0]), 0) << one.said;
    EXPECT_EQ(two.Finish(*syncs[1]), 0) << two.said;
    ExpectFleetHolds(m_uri, {&one, &two});
}

TEST_F(FleetFaultTest, EightTestersOnTwoCollectorsShareTheInventory) {
    const Collector collectors[] = {{m_uri, Root() / "a"}, {m_uri, Root() / "b"}};
    std::vector<std::unique_ptr<Tester>> testers;
    std::vector<std::unique_ptr<Child>> syncs;
    for (int i = 0; i < 8; ++i) {
        testers.push_back(std::make_unique<Tester>(Root(), "bench-" + std::to_string(i), m_uri));
        testers.back()->Configure(collectors[i % 2].Url());
        testers.back()->Write(520);
    }
    for (const auto& tester : testers) {
        syncs.push_back(tester->StartSync());
    }
    std::vector<Tester*> all;
    for (size_t i = 0; i < testers.size(); ++i) {
        EXPECT_EQ(testers[i]->Finish(*syncs[i]), 0) << testers[i]->said;
        all.push_back(testers[i].get());
    }
    ExpectFleetHolds(m_uri, all);
}

TEST_F(FleetFaultTest, AHistoryRotatedBetweenSyncsIsSentWhole) {
    const Collector collector(m_uri, Root() / "collector");
    Tester tester(Root(), "bench", m_uri);
    tester.Configure(collector.Url());
    const history::Limits limits = history::SetLimits({4096, 12288});
    history::HistoryFile file(tester.folder.string(),
                              cli::FleetAcknowledged(tester.folder.string()));
    for (int round = 0; round < 3; ++round) {
        // Fewer events than the cap keeps unsent: those sent before are removed to keep them.
        for (int n = 0; n < 20; ++n) {
            history::Event event = tester.NewEvent();
            EXPECT_TRUE(file.Append(event).recorded);
            tester.Gather();
        }
        EXPECT_EQ(tester.Sync(), 0) << tester.said;
        ExpectFleetHolds(m_uri, {&tester});
    }
    history::SetLimits(limits);
    EXPECT_GT(Count("SELECT dropped FROM testers WHERE name = 'bench'"), 0);  // the cap took some
}

}  // namespace
}  // namespace gwu::test

// The reports against a real PostgreSQL: which devices are behind a set follows the events and
// the set's publication, equal to a full recomputation however batches interleave; failures from
// a time on, a device's events across testers, the admin-only rule, gwfleet report.
#include <array>
#include <thread>

#include "fleet/Behind.h"
#include "tests/fleet/FleetFixture.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {

extern const char* const kGwfleetProgram;  // where this build made it (tests/CMakeLists.txt)

namespace {

using history::Event;

class FleetReportTest : public FleetFixture {
protected:
    // Names the set with these releases (family, code, release) as a publication does, and
    // recomputes its rows in the same transaction.
    void Publish(const std::string& set, const std::vector<std::array<std::string, 3>>& releases) {
        fleet::Transaction transaction(*m_db);
        m_db->Exec(
            "INSERT INTO publications (set_name, sequence, manifest, signature, manifest_sha256) "
            "VALUES ($1, 7, '', '', repeat('a', 64))",
            {set});
        m_db->Exec(
            "INSERT INTO release_sets (name, publication) VALUES ($1, lastval()) ON CONFLICT "
            "(name) DO UPDATE SET publication = excluded.publication",
            {set});
        m_db->Exec("DELETE FROM set_releases WHERE set_name = $1", {set});
        for (const auto& release : releases) {
            m_db->Exec("INSERT INTO set_releases VALUES ($1, $2, $3, $4)",
                       {set, release[0], release[1], release[2]});
        }
        fleet::RefreshSet(*m_db, set);
        transaction.Commit();
    }
    // The set's rows and counts as kept.
    std::string Kept(const std::string& set) const {
        return m_db
            ->Exec(
                "SELECT coalesce(string_agg(serial || behind || codes, '|' ORDER BY serial), "
                "'') || (SELECT ' ' || sum(compared) || '/' || sum(behind) FROM set_counts "
                "WHERE set_name = $1) FROM set_devices WHERE set_name = $1",
                {set})
            .Text(0, 0);
    }
    // What the events kept of the set is what a recomputation from the inventory makes.
    void ExpectAsRecomputed(const std::string& set) {
        const std::string kept = Kept(set);
        fleet::Transaction transaction(*m_db);  // rolled back
        fleet::RefreshSet(*m_db, set);
        EXPECT_EQ(kept, Kept(set));
    }
    // The behind report's serials and verdicts, "HX2:LC=Older" ..., and its counts.
    std::string Behind(const std::string& query = "set=main") const {
        const Json report = Get("/api/v1/report/behind?" + query);
        std::string text = std::to_string(report.value("compared", -1)) + "/" +
                           std::to_string(report.value("behind", -1));
        for (const Json& device : report.value("devices", Json::array())) {
            text += " " + device["serial"].get<std::string>() + ":";
            for (const Json& code : device["codes"]) {
                text += code["code"].get<std::string>() + "=" + code["verdict"].get<std::string>();
            }
        }
        return text;
    }
};

Event Device(std::uint64_t seq, const std::string& serial, const std::string& lc,
             const std::string& card = "VCL") {
    Event event = MakeEvent(seq, serial, lc);
    event.card = card;
    return event;
}

TEST_F(FleetReportTest, BehindFollowsEventsAndTheSetsPublication) {
    // The CPLD follows the tester's custom CPLD rule, not a release: no set decides it.
    Publish("main", {{"communication", "LC", "KLEM_1_R4.2.1.0"},
                     {"communication", "PROM", "KLEM_P_R2.0.4"},
                     {"communication", "CPLD", "KLEM_CPLD_R7"},
                     {"measurement", "LC", "QPT Release 9.0"}});
    Event cpldOnly = MakeEvent(4, "HX4");
    cpldOnly.codeTypes = {{"CPLD", "", "C1", "", "", false}};
    Post(BatchBody({Device(1, "HX1", "KLEM_12345_R4.2.1"), Device(2, "HX2", "KLEM_1_R4.2.0"),
                    Device(3, "HX3", "KLEM_1_R4.3"), cpldOnly, Device(5, " Unknown", "R1.0"),
                    Device(6, "HX5", "QPT Release 9.0", "QPT"),
                    Device(7, "HX6", "QPT Release 4.2.1", "QPT"), Device(11, "HX8", "Unknown")}));
    EXPECT_EQ(Behind(), "5/3 HX2:LC=Older HX3:LC=Newer HX6:LC=Older");
    const Json hx2 = Get("/api/v1/report/behind?set=main&limit=1");
    EXPECT_EQ(hx2["devices"].size(), 1U);
    EXPECT_EQ(hx2["behind"], 3);
    EXPECT_EQ(hx2["devices"][0]["codes"], Json::parse(R"([{"code": "LC", "device": "KLEM_1_R4.2.0",
                                      "set": "KLEM_1_R4.2.1.0", "verdict": "Older"}])"));
    EXPECT_EQ(hx2["devices"][0]["last_tester"], "tester-1");
    ExpectAsRecomputed("main");

    // Updated to the set's release: off the list; a later event with an older one: back on.
    Event prom = Device(9, "HX1", "KLEM_1_R4.1");
    prom.codeTypes.push_back({"PROM", "", "KLEM_P_R2.0.4", "", "", false});
    Post(BatchBody({Device(8, "HX2", "KLEM_1_R4.2.1"), prom}));
    EXPECT_EQ(Behind(), "5/3 HX1:LC=Older HX3:LC=Newer HX6:LC=Older");
    ExpectAsRecomputed("main");

    // The set published again with other releases: every device compared again, and the events
    // after it compared with those.
    Publish("main", {{"communication", "LC", "KLEM_1_R4.1"}});
    EXPECT_EQ(Behind(), "3/2 HX2:LC=Newer HX3:LC=Newer");
    Post(BatchBody({Device(10, "HX3", "KLEM_1_R4.1.0")}));
    EXPECT_EQ(Behind(), "3/1 HX2:LC=Newer");
    ExpectAsRecomputed("main");
}

// Two testers send batches over the same devices at once, their releases moving back and
// forth: what is kept equals a recomputation, counts included.
TEST_F(FleetReportTest, RacingBatchesKeepWhatARecomputationMakes) {
    Publish("main", {{"communication", "LC", "R4.2"}});
    const std::string tokens[] = {m_tester, fleet::AddToken(*m_db, "tester-2", false)};
    const std::string releases[] = {"R4.1", "R4.2", "R4.3", "R4.2.0"};
    std::vector<std::thread> testers;
    std::atomic<int> failures{0};
    for (size_t t = 0; t < 2; ++t) {
        testers.emplace_back([&, t] {
            for (std::uint64_t seq = 1; seq <= 30; ++seq) {
                const std::vector<Event> batch = {
                    Device(seq, "HX1", releases[(seq + t) % 4]),
                    Device(seq, "HX" + std::to_string(2 + seq % 3), releases[(seq * 3 + t) % 4])};
                failures +=
                    Send("POST", "/api/v1/events", tokens[t], BatchBody(batch)).status != 200;
            }
        });
    }
    for (std::thread& tester : testers) {
        tester.join();
    }
    EXPECT_EQ(failures, 0);
    ExpectAsRecomputed("main");
    EXPECT_EQ(Count("SELECT count(*) FROM set_devices"), 4);
}

TEST_F(FleetReportTest, FailuresDevicesAndTestersAcrossTesters) {
    Event failed = Device(1, "HX7", ""), refused = Device(2, "HX7", ""),
          fine = Device(3, "HX7", "");
    failed.operation = refused.operation = "update";
    failed.rounds = {{1, "PROM", "failed", std::string("R2.0.4"), "R2.0.3", false, ""}};
    refused.rounds = {{2, "LC", "not run", std::nullopt, "", false, "an unsigned folder"}};
    failed.exitStatus = 1;
    refused.exitStatus = 3;
    fine.operation = "check";
    fine.exitStatus = 1;  // a check's answer that releases differ: no failure
    const std::string other = fleet::AddToken(*m_db, "tester-2", false);
    Post(BatchBody({failed}));
    Event late = Device(1, "HX7", "", "QPT");
    late.time = "2020-01-01T00:00:00Z";  // a clock years behind
    Post(BatchBody({late}), other);
    Post(BatchBody({refused, fine}));
    m_db->Exec("UPDATE events SET received = '2020-06-01' WHERE id = $1", {failed.id});

    const Json all = Get("/api/v1/report/failures?since=2020-01-01");
    ASSERT_EQ(all["failures"].size(), 2U) << all;
    EXPECT_EQ(all["failures"][0]["what"], "round 2 (LC) refused: an unsigned folder");
    EXPECT_EQ(all["failures"][0]["exit"], 3);
    EXPECT_EQ(all["failures"][1]["what"],
              "round 1 (PROM) failed: expected R2.0.4, reported R2.0.3");
    EXPECT_EQ(Get("/api/v1/report/failures?since=2021-01-01T00:00:00Z")["failures"].size(), 1U);
    EXPECT_EQ(Get("/api/v1/report/failures?since=2020-01-01&limit=1")["failures"][0]["id"],
              refused.id);

    const Json device = Get("/api/v1/report/device?serial=HX7");
    std::string order;
    for (const Json& event : device["events"]) {
        order += event["tester"].get<std::string>() + "#" + event["seq"].dump() + " ";
    }
    EXPECT_EQ(order, "tester-1#1 tester-2#1 tester-1#2 tester-1#3 ");
    EXPECT_EQ(device["device"]["card"], "VCL");
    EXPECT_TRUE(Get("/api/v1/report/device?serial=HX8")["device"].is_null());

    m_db->Exec("UPDATE testers SET group_name = 'line-2' WHERE name = 'tester-2'");
    const Json testers = Get("/api/v1/report/testers")["testers"];
    EXPECT_EQ(testers[1]["group"], "line-2");
    EXPECT_TRUE(testers[0]["group"].is_null());
    EXPECT_LT(testers[0]["clock_seconds"].get<long long>(), 600);
    EXPECT_GT(testers[1]["clock_seconds"].get<long long>(), 86400 * 365);

    const struct {
        std::string target, token;
        int status;
    } refusals[] = {{"/api/v1/report/testers", m_tester, 403},
                    {"/api/v1/report/behind?set=nope", m_admin, 404},
                    {"/api/v1/report/behind", m_admin, 400},
                    {"/api/v1/report/failures?since=yesterday", m_admin, 400},
                    {"/api/v1/report/failures?since=2020-01-01&limit=x", m_admin, 400}};
    for (const auto& refusal : refusals) {
        const http::Response response = Send("GET", refusal.target, refusal.token);
        EXPECT_EQ(response.status, refusal.status) << refusal.target << response.body;
    }

    TempDir folder;
    const std::string stem = (folder.Path() / "run").string();
    EXPECT_EQ(Child({kGwfleetProgram, "report", "behind", "--set", "nope", "--db", m_uri}, stem)
                  .Wait(60000),
              1);
    EXPECT_NE(TestFolders::ReadFile(stem + ".err").find("no release set is named nope"),
              std::string::npos);
    EXPECT_EQ(Child({kGwfleetProgram, "report", "failures", "--since", "2020-01-01", "--json",
                     "--db", m_uri},
                    stem)
                  .Wait(60000),
              0);
    EXPECT_EQ(Json::parse(TestFolders::ReadFile(stem + ".out"), nullptr, false), all);
}

// Events stored before the reports' migration: their exit statuses and the testers' clocks read
// from what was stored, a line with an escaped NUL in one of its strings included.
TEST_F(FleetReportTest, TheMigrationReadsTheEventsStoredBefore) {
    Event nul = Device(1, "HX1", ""), none = Device(3, "HX1", ""), zero = Device(2, "HX1", "");
    nul.rounds = {{1, "LC", "failed", std::nullopt, "", false, std::string("a\0b", 3)}};
    nul.exitStatus = 5;
    zero.exitStatus = 0;
    none.time = "2020-01-01T00:00:00Z";
    Post(BatchBody({nul, zero, none}));
    m_db->ExecScript(
        "ALTER TABLE events DROP COLUMN exit_status; ALTER TABLE testers DROP COLUMN "
        "clock_seconds; DROP TABLE set_devices, set_counts; DELETE FROM schema_migrations WHERE "
        "version = 3");
    fleet::Database again(m_uri);
    EXPECT_EQ(fleet::Migrate(again).applied, std::vector<std::string>{"0003_reports"});
    EXPECT_EQ(m_db->Exec("SELECT string_agg(coalesce(exit_status::text, '-'), ' ' ORDER BY seq) "
                         "FROM events")
                  .Text(0, 0),
              "5 0 -");
    EXPECT_GT(Count("SELECT clock_seconds FROM testers WHERE name = 'tester-1'"), 86400 * 365);
}

}  // namespace
}  // namespace gwu::test

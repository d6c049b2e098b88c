// The collector's HTTP API in process, against a real PostgreSQL: each event stored once,
// duplicates and conflicts told apart, refused batches leave nothing, the inventory follows the
// latest receipt however batches interleave, and the testers' counts and gaps.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "tests/fleet/FleetFixture.h"

namespace gwu::test {
namespace {

using history::Event;

TEST_F(FleetFixture, EachEventIsStoredOnceAndClashesAreConflicts) {
    const std::vector<Event> batch = {MakeEvent(1, "HX1", "2.0"), MakeEvent(2, "HX2"),
                                      MakeEvent(3, "HX1", "2.1")};
    Json first =
        Json::parse(R"({"stored": 3, "duplicates": 0, "conflicts": 0, "acknowledged": 3})");
    first["fleet"] = m_db->Exec("SELECT id FROM fleet").Text(0, 0);
    EXPECT_EQ(Post(BatchBody(batch)), first);
    EXPECT_EQ(Post(BatchBody(batch))["duplicates"], 3);
    const Event fourth = MakeEvent(4, "HX2");  // twice in one batch: one event
    EXPECT_EQ(Post(BatchBody({fourth, fourth}))["duplicates"], 1);
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 4);
    EXPECT_EQ(
        m_db->Exec("SELECT content || E'\\n' FROM events WHERE id = $1", {batch[1].id}).Text(0, 0),
        history::ToJsonLine(batch[1]));
    // Of two events of a device in a batch, the later line is the later event.
    EXPECT_EQ(Get("/api/v1/devices?serial=HX1")["devices"][0]["releases"]["LC"], "2.1");

    // A stored event's id with other content, and the same event from another tester: each clash
    // answered as a conflict every time, recorded once.
    Event clone = batch[0];
    clone.serial = "HX9";
    const std::string other = fleet::AddToken(*m_db, "tester-2", false);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Post(BatchBody({clone}))["conflicts"], 1);
        EXPECT_EQ(Post(BatchBody({batch[0]}), other)["conflicts"], 1);
    }
    Json conflicts = Get("/api/v1/conflicts")["conflicts"], expected = Json::parse(R"([
        {"tester": "tester-1", "seq": 1, "stored_tester": "tester-1", "stored_seq": 1},
        {"tester": "tester-2", "seq": 1, "stored_tester": "tester-1", "stored_seq": 1}])");
    for (size_t i = 0; i < expected.size(); ++i) {
        expected[i]["id"] = batch[0].id;
        expected[i]["received"] = i < conflicts.size() ? conflicts[i]["received"] : nullptr;
    }
    EXPECT_EQ(conflicts, expected);
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 4);
    EXPECT_EQ(Count("SELECT count(*) FROM devices WHERE serial = 'HX9'"), 0);
}

TEST_F(FleetFixture, RefusedRequestsStoreNothing) {
    const std::string revoked = fleet::AddToken(*m_db, "tester-3", false);
    fleet::RevokeTokens(*m_db, "tester-3");
    const Event event = MakeEvent(1, "HX1");
    const std::string line = history::ToJsonLine(event);
    Event otherContent = event, nul = event;
    otherContent.serial = "HX2";
    nul.serial = std::string(1, '\0');  // which a database text cannot hold
    std::string newer = line, badId = line, tooMany;
    newer.replace(newer.find("\"format\":1"), 10, "\"format\":2");
    badId.replace(badId.find(event.id), 32, std::string(32, 'X'));
    for (std::uint64_t seq = 1; seq <= 1001; ++seq) {
        tooMany += history::ToJsonLine(MakeEvent(seq, "HX1"));
    }
    const std::string events = "/api/v1/events", tester = m_tester;
    const struct {
        std::string method, target, token, body;
        int status;
        std::string error;
    } cases[] = {
        {"POST", events, "", line, 401, "Bearer token is needed"},
        {"POST", events, "gwf_nonsense", line, 401, "unknown or revoked"},
        {"POST", events, revoked, line, 401, "unknown or revoked"},
        {"POST", events, m_admin, line, 403, "admin token cannot send"},
        {"GET", "/api/v1/testers", tester, "", 403, "needs an admin token"},
        {"GET", "/api/v1/devices", "", "", 401, "Bearer token is needed"},
        {"POST", events, tester, "", 400, "holds no events"},
        {"POST", events, tester, line + "{\"format\":1,\n", 400, "line 2: not JSON"},
        {"POST", events, tester, newer, 400, "line 1: format 2 is newer"},
        {"POST", events, tester, badId, 400, "line 1: member \"id\""},
        {"POST", events, tester, line + history::ToJsonLine(otherContent), 400,
         "line 2: id " + event.id},
        {"POST", events, tester, history::ToJsonLine(nul), 400, "line 1: member \"serial\""},
        {"GET", "/api/v1/devices?serial=%ff", m_admin, "", 400, "no UTF-8"},
        {"POST", events, tester, tooMany, 413, "more than 1000 events"},
        {"POST", events, tester, std::string(fleet::kMaxBatchBytes + 1, '\n'), 413, "above"},
        {"GET", events, tester, "", 405, "takes POST only"},
        {"GET", "/api/v2/events", tester, "", 404, "no such path"},
    };
    for (const auto& c : cases) {
        const http::Response response = Send(c.method, c.target, c.token, c.body);
        EXPECT_EQ(response.status, c.status) << c.error;
        EXPECT_NE(Json::parse(response.body, nullptr, false).value("error", "").find(c.error),
                  std::string::npos)
            << response.body;
        EXPECT_EQ(response.status == 401,
                  http::HeaderValue(response.headers, "WWW-Authenticate") == "Bearer");
    }
    EXPECT_EQ(Count("SELECT (SELECT count(*) FROM events) + (SELECT count(*) FROM devices)"), 0);

    // A database that cannot be reached: 503, to be tried again.
    fleet::Collector away(PostgresServer::Shared().Uri("no_such_database"));
    const http::Response later =
        away.Handle({"POST", events, {{"Authorization", "Bearer " + tester}}, line});
    EXPECT_EQ(later.status, 503);
    EXPECT_EQ(http::HeaderValue(later.headers, "Retry-After"), "1");
    EXPECT_EQ(away.Handle({"GET", "/healthz", {}, ""}).status, 503);
    EXPECT_EQ(Send("GET", "/healthz", "").status, 200);
}

// Four testers send batches at once over the same devices, each batch twice, with ids that clash
// across testers: the inventory is, per serial (and code type), what the stored event with the
// highest receipt says, and no placeholder serial is in it.
TEST_F(FleetFixture, InventoryFollowsTheLatestReceiptWhateverTheInterleaving) {
    // A collector that numbered its batch first but commits last leaves the later one's rows.
    m_db->Exec("SELECT setval('events_receipt', 1000000)");
    Post(BatchBody({MakeEvent(1, "S1", "new")}));
    m_db->Exec("SELECT setval('events_receipt', 1)");
    Post(BatchBody({MakeEvent(2, "S1", "old")}));
    EXPECT_EQ(Get("/api/v1/devices?serial=S1")["devices"][0]["releases"]["LC"], "new");

    const std::vector<std::string> serials = {"S1", "S2", "S3", "", " Unknown ", "UNKNOWN"};
    std::vector<Event> shared;  // in every batch of every tester
    for (std::uint64_t seq = 1000; seq < 1005; ++seq) {
        shared.push_back(MakeEvent(seq, "S1", "9.0"));
    }
    std::vector<std::string> bodies(24, BatchBody(shared));
    std::mt19937 random(7);
    for (std::uint64_t seq = 1; seq <= 24U * 30; ++seq) {
        Event event = MakeEvent(seq, serials[random() % serials.size()],
                                random() % 3 == 0 ? "" : std::to_string(random() % 100));
        event.codeTypes.push_back({"PROM", "", std::to_string(random() % 5), "", "", false});
        bodies[(seq - 1) / 30] += history::ToJsonLine(event);
    }
    std::vector<std::thread> testers;
    std::atomic<int> failures{0};
    for (size_t t = 0; t < 4; ++t) {
        const std::string token = fleet::AddToken(*m_db, "bench-" + std::to_string(t), false);
        testers.emplace_back([&, t, token] {
            for (size_t b = 12 * t; b < 12 * t + 12; ++b) {  // its six batches, each twice
                failures += Send("POST", "/api/v1/events", token, bodies[b / 2]).status != 200;
            }
        });
    }
    for (std::thread& thread : testers) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    const std::string real = " lower(btrim(e.serial)) NOT IN ('', 'unknown') ";
    EXPECT_EQ(Count("SELECT count(*) FROM (SELECT DISTINCT ON (e.serial, c.key) e.serial, c.key "
                    "AS code, c.value->>'after' AS release, e.id FROM events e, jsonb_each("
                    "e.content::jsonb->'code_types') c WHERE c.value->>'after' <> '' AND" +
                    real +
                    "ORDER BY e.serial, c.key, e.receipt DESC) want FULL JOIN device_releases r "
                    "USING (serial, code) WHERE want.release IS DISTINCT FROM r.release OR "
                    "want.id IS DISTINCT FROM r.event_id"),
              0);
    EXPECT_EQ(Count("SELECT count(*) FROM (SELECT DISTINCT ON (e.serial) e.serial, e.receipt, "
                    "e.tester FROM events e WHERE" +
                    real +
                    "ORDER BY e.serial, e.receipt DESC) "
                    "want FULL JOIN devices d USING (serial) WHERE want.receipt IS DISTINCT FROM "
                    "d.last_receipt OR want.tester IS DISTINCT FROM d.last_tester"),
              0);
    EXPECT_EQ(Count("SELECT count(*) FROM device_releases"), 6);  // S1..S3, LC and PROM
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 4 * 6 * 30 + 5 + 2);
    EXPECT_EQ(Count("SELECT count(*) FROM testers t WHERE events <> (SELECT count(*) FROM events "
                    "e WHERE e.tester = t.name)"),
              0);
}

// Texts the database's row and array formats would misread, and times at the edges of what a
// line may hold: stored as the line says, tester_time and the clock as the database computes
// them from the time's seconds.
TEST_F(FleetFixture, RowsKeepTheLinesBytesTextsAndTimes) {
    const std::string odd = "A\\B\tC\n\"D{,} NULL\r";
    std::vector<Event> events;
    for (const char* time : {"0000-01-01T00:00:00Z", "1969-12-31T23:59:60Z", "9999-12-31T23:59:60Z",
                             "2024-02-29T12:34:56Z", "yesterday", ""}) {
        events.push_back(MakeEvent(events.size() + 1, odd + time, "R\"1\\2}", time));
        events.back().card = odd;
    }
    std::string body = BatchBody(events);
    body.insert(1, "\t\r ");  // blanks a JSON line may hold between its tokens
    ASSERT_EQ(Post(body)["stored"], events.size());
    const std::string sql =
        "SELECT content || E'\\n' = $2, serial = $3 AND card = $4, tester_time IS NOT DISTINCT "
        "FROM to_timestamp($5::bigint) AND clock_seconds IS NOT DISTINCT FROM "
        "extract(epoch FROM received)::bigint - $5::bigint AND clock_flagged = ($5::bigint IS NULL "
        "OR "
        "abs(extract(epoch FROM received)::bigint - $5::bigint) > 600), (SELECT d.tester_time "
        "IS NOT DISTINCT FROM e.tester_time AND d.card = $4 AND r.release = 'R\"1\\2}' FROM "
        "devices d JOIN device_releases r USING (serial) WHERE d.serial = $3) FROM events e "
        "WHERE id = $1";
    for (std::size_t i = 0; i < events.size(); ++i) {
        const std::optional<long long> epoch = fleet::UtcSeconds(events[i].time);
        std::string line = history::ToJsonLine(events[i]);
        line.insert(1, i == 0 ? "\t\r " : "");
        const fleet::Result row =
            m_db->Exec(sql, {events[i].id, line, events[i].serial, odd,
                             epoch ? fleet::Param(std::to_string(*epoch)) : std::nullopt});
        ASSERT_EQ(row.Rows(), 1) << events[i].time;
        for (int column = 0; column < 4; ++column) {
            EXPECT_TRUE(row.Bool(0, column)) << events[i].time << " column " << column;
        }
    }
}

// A batch's new events stored meanwhile by other transactions, the first while the batch copies
// its events in, the second while it copies the rest after finding the first: the batch waits
// for each, runs again and answers both as stored before, instead of failing.
TEST_F(FleetFixture, EventsStoredMeanwhileAreDuplicatesNotFailures) {
    std::vector<Event> events = {MakeEvent(1, "HX1"), MakeEvent(2, "HX1")};
    std::sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.id < b.id; });
    std::vector<std::unique_ptr<fleet::Database>> others;
    std::vector<std::string> xids;
    for (const Event& event : events) {
        const std::string line = history::ToJsonLine(event);
        others.push_back(std::make_unique<fleet::Database>(m_uri));
        others.back()->Exec("BEGIN");
        others.back()->Exec(
            "INSERT INTO events (id, receipt, tester, seq, operation, card, serial, "
            "clock_flagged, content) VALUES ($1, nextval('events_receipt'), 'tester-1', $2, "
            "'check', 'VCL', 'HX1', false, $3)",
            {event.id, std::to_string(event.sequence), line.substr(0, line.size() - 1)});
        xids.push_back(others.back()->Exec("SELECT pg_current_xact_id()::text").Text(0, 0));
    }
    Json answer;
    std::thread tester([&] { answer = Post(BatchBody({events[1], events[0]})); });
    for (size_t i = 0; i < others.size(); ++i) {
        const std::string waiting =
            "SELECT count(*) FROM pg_locks WHERE NOT granted AND locktype = 'transactionid' AND "
            "transactionid::text = '" +
            xids[i] + "'";
        for (int tries = 0; tries < 400 && Count(waiting) == 0; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        EXPECT_EQ(Count(waiting), 1) << "transaction " << i;
        others[i]->Exec("COMMIT");
    }
    tester.join();
    EXPECT_EQ(answer["stored"], 0) << answer;
    EXPECT_EQ(answer["duplicates"], 2) << answer;
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 2);
}

TEST_F(FleetFixture, TestersShowMissingNumbersGapsAndClocks) {
    std::vector<Event> events;
    for (const std::uint64_t seq : {1, 2, 5, 6, 9, 10}) {
        events.push_back(
            MakeEvent(seq, seq < 10 ? "HX1" : "", "", seq == 9 ? "2020-01-01T00:00:00Z" : ""));
    }
    events.back().operation = "dropped";  // the size cap removed number 3
    events.back().droppedCount = 1;
    events.back().droppedFirst = events.back().droppedLast = 3;
    Post(BatchBody(events));
    Post(BatchBody({MakeEvent(1, "HX2"), MakeEvent(2, "HX2")}),
         fleet::AddToken(*m_db, "tester-2", false));
    Json testers = Get("/api/v1/testers")["testers"];
    for (Json& tester : testers) {
        EXPECT_TRUE(tester["last_sync"].is_string());
        tester.erase("last_sync");
    }
    EXPECT_EQ(testers, Json::parse(R"([
        {"name": "tester-1", "events": 6, "highest_seq": 10, "missing": 3,
         "gaps": [[4, 4], [7, 8]], "clock_flagged": true},
        {"name": "tester-2", "events": 2, "highest_seq": 2, "missing": 0, "gaps": [],
         "clock_flagged": false}])"));
}

}  // namespace
}  // namespace gwu::test

// The fleet tests' fixture: a fresh database of the shared test cluster per test, migrated, with a
// token of the tester "tester-1" and one of the admin "boss", and the collector's handler in
// process; and history events as a tester's writer makes them.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fleet/Collector.h"
#include "fleet/Ingest.h"
#include "fleet/Migrations.h"
#include "fleet/Tokens.h"
#include "testsupport/PostgresServer.h"

namespace gwu::test {

using Json = nlohmann::json;

// lc: the LC release after the operation ("": none).
inline history::Event MakeEvent(std::uint64_t seq, const std::string& serial,
                                const std::string& lc = {}, const std::string& time = {}) {
    history::Event event;
    event.id = history::NewEventId();
    event.sequence = seq;
    event.time = time.empty() ? history::UtcNow() : time;
    event.operation = "check";
    event.card = "VCL";
    event.serial = serial;
    if (!lc.empty()) {
        event.codeTypes.push_back({"LC", "1.0", lc, "1.0", "differs", true});
    }
    return event;
}

inline std::string BatchBody(const std::vector<history::Event>& events) {
    std::string body;
    for (const history::Event& event : events) {
        body += history::ToJsonLine(event);
    }
    return body;
}

class FleetFixture : public ::testing::Test {
protected:
    void SetUp() override {
        PostgresServer& cluster = PostgresServer::Shared();
        ASSERT_EQ(cluster.Error(), "");
        static int databases = 0;
        m_uri = cluster.CreateDatabase("test" + std::to_string(++databases));
        ASSERT_NE(m_uri, "") << cluster.Error();
        m_db = std::make_unique<fleet::Database>(m_uri);
        fleet::Migrate(*m_db);
        m_tester = fleet::AddToken(*m_db, "tester-1", false);
        m_admin = fleet::AddToken(*m_db, "boss", true);
        m_collector = std::make_unique<fleet::Collector>(m_uri);
    }

    http::Response Send(const std::string& method, const std::string& target,
                        const std::string& token, const std::string& body = {}) const {
        const http::Headers bearer = {{"Authorization", "Bearer " + token}};
        return m_collector->Handle(
            {method, target, token.empty() ? http::Headers{} : bearer, body});
    }
    // The JSON of an answer that must be 200: to a batch (by default tester-1's), to an admin's
    // GET.
    Json Ok(const http::Response& response) const {
        EXPECT_EQ(response.status, 200) << response.body;
        return Json::parse(response.body, nullptr, false);
    }
    Json Post(const std::string& body, const std::string& token = {}) const {
        return Ok(Send("POST", "/api/v1/events", token.empty() ? m_tester : token, body));
    }
    Json Get(const std::string& target) const { return Ok(Send("GET", target, m_admin)); }
    long long Count(const std::string& sql) const { return m_db->Exec(sql).Int(0, 0); }

    std::string m_uri, m_tester, m_admin;
    std::unique_ptr<fleet::Database> m_db;
    std::unique_ptr<fleet::Collector> m_collector;
};

}  // namespace gwu::test

// gwfleet as a program: migrations applied once by collectors that start at once, a database
// newer than the program refused, serve on loopback only, a batch over HTTP and the listing.
#include <chrono>
#include <regex>
#include <thread>

#include "http/Client.h"
#include "tests/fleet/FleetFixture.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {

extern const char* const kGwfleetProgram;  // where this build made it (tests/CMakeLists.txt)

namespace {

class FleetProgramTest : public FleetFixture {
protected:
    // gwfleet's exit status with the arguments; its output in Out(".out"), Out(".err").
    int Run(std::vector<std::string> arguments, const std::string& stem = "run") {
        arguments.insert(arguments.begin(), kGwfleetProgram);
        return Child(arguments, (m_folder.Path() / stem).string()).Wait(60000);
    }
    std::string Out(const std::string& end, const std::string& stem = "run") const {
        return TestFolders::ReadFile(m_folder.Path() / (stem + end));
    }
    TempDir m_folder;
};

TEST_F(FleetProgramTest, CollectorsStartingAtOnceApplyEachMigrationOnce) {
    const std::string uri = PostgresServer::Shared().CreateDatabase("fresh");
    std::vector<std::thread> collectors;
    std::vector<int> statuses(4, -1);
    for (size_t i = 0; i < 4; ++i) {
        collectors.emplace_back([&, i] {
            statuses[i] = Run({"migrate", "--db", uri}, "migrate" + std::to_string(i));
        });
    }
    for (std::thread& collector : collectors) {
        collector.join();
    }
    EXPECT_EQ(statuses, std::vector<int>(4, 0)) << Out(".err", "migrate0");
    fleet::Database fresh(uri);
    EXPECT_EQ(fresh
                  .Exec("SELECT count(DISTINCT version) * 100 + count(*) * 10 + (SELECT count(*) "
                        "FROM fleet) FROM schema_migrations")
                  .Int(0, 0),
              fleet::KnownSchemaVersion() * 110 + 1);

    // A migration this program does not know: not served.
    fresh.Exec("INSERT INTO schema_migrations (version, name) VALUES (9999, '9999_future')");
    EXPECT_EQ(Run({"serve", "--db", uri, "--listen", "127.0.0.1:0"}), 2);
    EXPECT_NE(Out(".err").find("schema version 9999, newer than this gwfleet knows"),
              std::string::npos)
        << Out(".err");
}

TEST_F(FleetProgramTest, ServesOnLoopbackOnly) {
    EXPECT_EQ(Run({"serve", "--db", m_uri, "--listen", "0.0.0.0:0"}), 2);
    EXPECT_NE(Out(".err").find("not on loopback"), std::string::npos) << Out(".err");

    Child serve({kGwfleetProgram, "serve", "--db", m_uri, "--listen", "127.0.0.1:0"},
                (m_folder.Path() / "serve").string());
    std::smatch port;
    std::string out;
    for (int i = 0; i < 400 && !std::regex_search(out, port, std::regex(R"(:(\d+)/\n)")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        out = Out(".out", "serve");
    }
    ASSERT_FALSE(port.empty()) << out << Out(".err", "serve");
    std::string error;
    const auto stored = http::Fetch(
        "127.0.0.1", std::stoi(port[1]),
        {"POST",
         "/api/v1/events",
         {{"Authorization", "Bearer " + m_tester}},
         BatchBody({MakeEvent(1, "HX1", "2.0"), MakeEvent(2, "HX1"), MakeEvent(4, "HX2")})},
        error);
    ASSERT_TRUE(stored) << error;
    EXPECT_EQ(Json::parse(stored->body, nullptr, false)["stored"], 3) << stored->body;

    EXPECT_EQ(Run({"testers", "--db", m_uri}), 0) << Out(".err");
    EXPECT_TRUE(std::regex_search(Out(".out"), std::regex(R"(\ntester-1 +3 +4 +1 +\S+Z +ok +3\n)")))
        << Out(".out");
    serve.Stop();
    EXPECT_EQ(serve.Wait(30000), 0) << Out(".err", "serve");
}

}  // namespace
}  // namespace gwu::test

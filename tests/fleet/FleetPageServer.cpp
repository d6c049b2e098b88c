// A collector for the fleet page's browser test: the shared PostgreSQL fixture with a migrated
// database, an admin's token, two testers (one named like a script) whose events went through
// the real API, the sample firmware folder published as the set "line-a" for the group of one
// of them, and gwfleet serve on a free loopback port. Prints "URL ADMIN-TOKEN" once it serves,
// and runs until its stdin closes.
// Usage: gatewayutils_fleet_page_server FIRMWARE-FOLDER
#include <chrono>
#include <cstdio>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fleet/Migrations.h"
#include "fleet/Tokens.h"
#include "history/Event.h"
#include "http/Client.h"
#include "testsupport/PostgresServer.h"
#include "testsupport/TestFolders.h"

namespace gwu::test {
extern const char* const kGwfleetProgram;  // where this build made it (tests/CMakeLists.txt)
}

namespace {

using namespace gwu;

constexpr const char* kHostileTester = "<script>window.pwned=1</script>";

// A check of a VCL gateway by the tester as its tool records it; exit 0 unless told otherwise.
history::Event Check(std::uint64_t seq, const std::string& serial, const std::string& prom,
                     int exit = 0) {
    history::Event event;
    event.id = history::NewEventId();
    event.sequence = seq;
    event.time = history::UtcNow();
    event.operation = exit == 0 ? "check" : "update";
    event.card = "VCL";
    event.serial = serial;
    event.codeTypes.push_back(
        {"LC", "KLEM_12345_R4.2.1", "KLEM_12345_R4.2.1", "KLEM_12345_R4.2.1", "same", true});
    event.codeTypes.push_back({"PROM", prom, prom, "KLEM_PROM_R2.0.3", "differs", true});
    if (exit != 0) {
        event.rounds.push_back({1, "PROM", "failed", "KLEM_PROM_R2.0.3", prom, false, ""});
    }
    event.exitStatus = exit;
    return event;
}

// gwfleet with the arguments, run to its end; its output on failure.
bool Gwfleet(std::vector<std::string> arguments, const test::TempDir& scratch) {
    arguments.insert(arguments.begin(), test::kGwfleetProgram);
    const std::string stem = (scratch.Path() / "command").string();
    host::ChildProcess command(arguments, stem);
    if (command.Wait(60000) == 0) {
        return true;
    }
    std::cerr << arguments[1] << " failed: " << test::TestFolders::ReadFile(stem + ".err") << "\n";
    return false;
}

int Run(const std::string& firmware) {
    test::PostgresServer& cluster = test::PostgresServer::Shared();
    const std::string uri = cluster.CreateDatabase("page");
    if (uri.empty()) {
        std::cerr << "no database: " << cluster.Error() << "\n";
        return 1;
    }
    fleet::Database database(uri);
    fleet::Migrate(database);
    const std::string admin = fleet::AddToken(database, "boss", true);
    const std::string bench = fleet::AddToken(database, "bench-2", false);
    const std::string hostile = fleet::AddToken(database, kHostileTester, false);

    const test::TempDir scratch;
    const std::string stem = (scratch.Path() / "serve").string();
    host::ChildProcess serve(
        {test::kGwfleetProgram, "serve", "--db", uri, "--listen", "127.0.0.1:0"}, stem);
    std::smatch port;
    std::string out;
    for (int i = 0; i < 600 && !std::regex_search(out, port, std::regex(R"(:(\d+)/\n)")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        out = test::TestFolders::ReadFile(stem + ".out");
    }
    if (port.empty()) {
        std::cerr << "gwfleet serve did not start: " << test::TestFolders::ReadFile(stem + ".err");
        return 1;
    }
    // The set first, so that the reports see it as each event arrives.
    if (!Gwfleet({"release", "publish", firmware, "--set", "line-a", "--db", uri}, scratch) ||
        !Gwfleet({"release", "assign", "--set", "line-a", "--group", "line-1", "--db", uri},
                 scratch) ||
        !Gwfleet({"tester", "group", "bench-2", "line-1", "--db", uri}, scratch)) {
        return 1;
    }
    const int portNumber = std::stoi(port[1]);
    // HX100307 is behind the sample set (an older PROM) and failed an update; HX100400 is not.
    const std::vector<std::pair<std::string, std::vector<history::Event>>> batches = {
        {bench,
         {Check(1, "HX100307", "KLEM_PROM_R1.9.8"), Check(2, "HX100307", "KLEM_PROM_R1.9.8", 1),
          Check(3, "HX100400", "KLEM_PROM_R2.0.3")}},
        {hostile, {Check(1, "HX100500", "KLEM_PROM_R2.0.3")}}};
    for (const auto& [token, events] : batches) {
        std::string body;
        for (const history::Event& event : events) {
            body += history::ToJsonLine(event);
        }
        std::string error;
        const auto stored = http::Fetch(
            "127.0.0.1", portNumber,
            {"POST", "/api/v1/events", {{"Authorization", "Bearer " + token}}, body}, error);
        if (!stored || stored->status != 200) {
            std::cerr << "a batch was not stored: " << (stored ? stored->body : error) << "\n";
            return 1;
        }
    }
    std::cout << "http://127.0.0.1:" << portNumber << "/ " << admin << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
    }
    serve.Stop();
    return serve.Wait(30000) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: gatewayutils_fleet_page_server FIRMWARE-FOLDER\n";
        return 2;
    }
    try {
        return Run(argv[1]);
    } catch (const std::exception& e) {
        std::cerr << "fleet page server: " << e.what() << "\n";
        return 1;
    }
}

// The fleet against its floors, on a private PostgreSQL cluster (the tests' one: fsync off) and
// the real `gwfleet serve` on loopback:
//   BM_FleetIngest  1,000,000 events posted by four testers at once, in batches of 1,000 as a
//                   tester's sync sends them; floor: one COPY of the same rows into the events
//                   table.
//   BM_FleetSync    a tester's sync of 10,000 events (cli/Sync.h, in process); floor: the same
//                   batches posted bare, one after the other, to the same collector.
// Every timed run starts from emptied tables (untimed). A run whose events are not all stored
// is reported as an error, not as a figure.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "cli/Sync.h"
#include "fleet/Ingest.h"
#include "fleet/Postgres.h"
#include "fleet/Tokens.h"
#include "history/Event.h"
#include "http/Client.h"
#include "process/ChildProcess.h"
#include "testsupport/PostgresServer.h"
#include "testsupport/TestFolders.h"

namespace gwu::bench {

extern const char* const kGwfleetProgram;  // where this build made it (bench/CMakeLists.txt)

namespace {

using Json = nlohmann::json;

constexpr std::size_t kTesters = 4;         // posting at once
constexpr std::size_t kDevices = 50000;     // the serial numbers the events share
constexpr std::size_t kIngestBatch = 1000;  // events per request

// The collector on a database of the private cluster, started once for the whole program.
class Fleet {
public:
    static Fleet& Shared() {
        static Fleet fleet;
        return fleet;
    }

    const std::string& Error() const { return m_error; }
    const std::string& Uri() const { return m_uri; }
    const std::string& Url() const { return m_url; }
    int Port() const { return m_port; }
    fleet::Database& Db() { return *m_db; }
    const std::filesystem::path& Folder() const { return m_folder.Path(); }

    // A tester's token (the tester made with it).
    std::string Token(const std::string& tester) { return fleet::AddToken(*m_db, tester, false); }

    // Every event, conflict and device gone, the testers' counts back to 0, and the changes
    // written out, so that no run pays for the one before.
    void Empty() {
        m_db->Exec("TRUNCATE events, conflicts, devices, device_releases");
        m_db->Exec(
            "UPDATE testers SET last_sync = NULL, events = 0, highest_seq = 0, dropped = 0, "
            "clock_flagged = 0");
        m_db->Exec("CHECKPOINT");
    }

    // How many events the database holds.
    long long Events() { return m_db->Exec("SELECT count(*) FROM events").Int(0, 0); }

private:
    Fleet() {
        test::PostgresServer& cluster = test::PostgresServer::Shared();
        m_uri = cluster.Error().empty() ? cluster.CreateDatabase("fleet_bench") : "";
        if (m_uri.empty()) {
            m_error = "no PostgreSQL cluster: " + cluster.Error();
            return;
        }
        const std::string stem = (m_folder.Path() / "serve").string();
        m_serve = std::make_unique<host::ChildProcess>(
            std::vector<std::string>{kGwfleetProgram, "serve", "--db", m_uri, "--listen",
                                     "127.0.0.1:0"},
            stem);
        // Its first line names its port once it has migrated the database and listens.
        std::smatch port;
        std::string out;
        for (int i = 0; i < 600 && !std::regex_search(out, port, std::regex(R"(:(\d+)/\n)")) &&
                        m_serve->Wait(0) == -1;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            out = test::TestFolders::ReadFile(stem + ".out");
        }
        if (port.empty()) {
            m_error = "gwfleet serve did not start: " + test::TestFolders::ReadFile(stem + ".err");
            return;
        }
        m_port = std::stoi(port[1]);
        m_url = "http://127.0.0.1:" + std::to_string(m_port);
        m_db = std::make_unique<fleet::Database>(m_uri);
    }

    test::TempDir m_folder;
    std::string m_error, m_uri, m_url;
    int m_port = 0;
    std::unique_ptr<host::ChildProcess> m_serve;
    std::unique_ptr<fleet::Database> m_db;
};

// Events as testers make them: checks, updates and cable runs of devices that come back again
// and again (now and then one whose serial number could not be read), with their code types.
class EventMaker {
public:
    explicit EventMaker(std::string tester) : m_tester(std::move(tester)), m_random(Seed()) {}

    std::string NextLine() {
        history::Event event;
        char id[33];
        std::snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(m_random()),
                      static_cast<unsigned long long>(m_random()));
        event.id = id;
        event.sequence = ++m_sequence;
        event.time = m_time;
        event.tester = m_tester;
        event.tool = "gwctl 0.1.0";
        event.library = "0.1.0";
        event.card = "VCL";
        // A device stays on the tester for a few events (a check, an update and a check
        // again, a cable run), then the next one comes, from a pool all testers share.
        const std::uint64_t draw = m_random();
        if (m_left == 0) {
            char serial[16];
            std::snprintf(serial, sizeof serial, "HX%07llu",
                          static_cast<unsigned long long>(draw % kDevices));
            m_serial = draw % 100 == 7 ? "Unknown" : serial;
            m_left = 1 + (draw >> 20) % 4;
            m_updated = false;
        }
        --m_left;
        event.serial = m_serial;
        const int kind = static_cast<int>((draw >> 32) % 10);
        const std::string prom = m_updated ? "R2.0.4" : "R2.0." + std::to_string((draw >> 40) % 5);
        if (kind < 7 || m_updated) {
            event.operation = "check";
            event.codeTypes = {
                {"LC", "R4.2.1", "R4.2.1", "R4.2.1", "Same", true},
                {"PROM", prom, prom, "R2.0.4", prom == "R2.0.4" ? "Same" : "Older", true},
                {"BS", "R1.4.0", "R1.4.0", "R1.4.0", "Same", true}};
            event.exitStatus = prom == "R2.0.4" ? 0 : 1;
        } else if (kind < 9) {
            event.operation = "update";
            event.codeTypes = {{"LC", "R4.2.1", "R4.2.1", "R4.2.1", "Same", true},
                               {"PROM", prom, "R2.0.4", "R2.0.4", "Same", true},
                               {"BS", "R1.4.0", "R1.4.0", "R1.4.0", "Same", true}};
            event.rounds = {{1, "PROM", "succeeded", std::string("R2.0.4"), "R2.0.4", true, ""}};
            event.folder = history::FolderRecord{"a3f9c2d1e0b4", "Workshop signing key", 42, {}};
            event.exitStatus = 0;
            m_updated = true;
        } else {
            event.operation = "cable";
            event.exitStatus = 0;
        }
        return history::ToJsonLine(event);
    }

private:
    static std::uint64_t Seed() {
        std::random_device source;
        return (std::uint64_t{source()} << 32) ^ source();
    }

    std::string m_tester;
    std::mt19937_64 m_random;
    std::uint64_t m_sequence = 0;
    std::string m_serial;
    std::uint64_t m_left = 0;  // events still to come for the device
    bool m_updated = false;
    std::string m_time = history::UtcNow();
};

// The events table's row of the line as the collector stores it (receipt: its number; now: the
// time it is received, in seconds since 1970), in COPY's text format.
void AppendCopyRow(std::string& rows, const std::string& tester, const std::string& line,
                   long long receipt, long long now) {
    const std::string content = line.substr(0, line.size() - 1);
    const history::Event event = *history::ParseJsonLine(content).event;
    const std::optional<long long> epoch = fleet::UtcSeconds(event.time);
    const auto number = [](std::optional<std::uint64_t> value) {
        return value ? std::to_string(*value) : std::string("\\N");
    };
    for (const std::string& text :
         {event.id, std::to_string(receipt), tester, std::to_string(event.sequence),
          epoch ? fleet::TimestampText(*epoch) : "\\N", event.operation, event.card,
          event.serial}) {
        fleet::AppendCopyText(rows, text);
        rows += '\t';
    }
    rows += std::to_string(event.droppedCount.value_or(0)) + '\t';
    rows += number(event.droppedFirst) + '\t' + number(event.droppedLast) + '\t';
    rows += (epoch ? std::to_string(now - *epoch) : std::string("\\N")) + '\t';
    rows += !epoch || std::llabs(now - *epoch) > fleet::kClockToleranceSeconds ? "t\t" : "f\t";
    fleet::AppendCopyText(rows, content);
    rows += '\n';
}

http::Request EventsRequest(const std::string& token, std::string body) {
    return {"POST",
            "/api/v1/events",
            {{"Authorization", "Bearer " + token}, {"Content-Type", "application/x-ndjson"}},
            std::move(body)};
}

// The collector's answer to a batch: the events it stored, or -1 (and the problem said).
long long Stored(const std::optional<http::Response>& response, const std::string& error,
                 std::string& problem) {
    if (!response || response->status != 200) {
        problem = response ? response->body : error;
        return -1;
    }
    return Json::parse(response->body, nullptr, false).value("stored", -1LL);
}

void BM_FleetIngest(benchmark::State& state) {
    Fleet& fleet = Fleet::Shared();
    if (!fleet.Error().empty()) {
        Fail(state, fleet.Error());
        return;
    }
    const std::size_t events = Scaled(1000000, 2000);
    const std::size_t perTester = events / kTesters;
    const std::size_t batchSize = std::min(kIngestBatch, perTester);
    const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    // Each tester's batches, and the same rows as COPY text.
    std::vector<std::string> tokens;
    std::vector<std::vector<std::string>> batches(kTesters);
    std::string rows;
    rows.reserve(events * 700);
    long long receipt = 0;
    for (std::size_t t = 0; t < kTesters; ++t) {
        const std::string tester = "bench-" + std::to_string(t + 1);
        tokens.push_back(fleet.Token(tester));
        EventMaker maker(tester);
        for (std::size_t n = 0; n < perTester; n += batchSize) {
            std::string body;
            for (std::size_t i = n; i < std::min(n + batchSize, perTester); ++i) {
                const std::string line = maker.NextLine();
                body += line;
                AppendCopyRow(rows, tester, line, ++receipt, now);
            }
            batches[t].push_back(std::move(body));
        }
    }

    std::string problem;
    std::atomic<long long> stored{0};
    auto job = [&] {
        std::vector<std::thread> clients;
        std::vector<std::string> problems(kTesters);
        for (std::size_t t = 0; t < kTesters; ++t) {
            clients.emplace_back([&, t] {
                http::ClientOptions options;
                options.timeout = std::chrono::minutes(2);
                for (const std::string& body : batches[t]) {
                    std::string error;
                    const long long count =
                        Stored(http::Fetch("127.0.0.1", fleet.Port(),
                                           EventsRequest(tokens[t], body), error, options),
                               error, problems[t]);
                    if (count < 0) {
                        return;
                    }
                    stored += count;
                }
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }
        for (const std::string& said : problems) {
            problem = said.empty() ? problem : said;
        }
    };
    fleet::Database copier(fleet.Uri());
    auto floor = [&] {
        try {
            copier.Copy(
                "COPY events (id, receipt, tester, seq, tester_time, operation, card, serial, "
                "dropped, dropped_first, dropped_last, clock_seconds, clock_flagged, content) "
                "FROM STDIN",
                rows);
        } catch (const fleet::DbError& error) {
            problem = error.what();
        }
    };
    auto setup = [&] {
        fleet.Empty();
        stored = 0;
    };
    RunAgainstFloor(state, job, floor, setup);
    if (problem.empty() && (stored != static_cast<long long>(events) ||
                            fleet.Events() != static_cast<long long>(events))) {
        problem = "stored " + std::to_string(stored) + " of " + std::to_string(events);
    }
    if (!problem.empty()) {
        Fail(state, problem);
    }
    state.counters["events"] = static_cast<double>(events);
    state.counters["events_per_s"] =
        static_cast<double>(events) / (state.counters["median_us"] / 1e6);
}
BENCHMARK(BM_FleetIngest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(Tiny() ? 1 : 3);

void BM_FleetSync(benchmark::State& state) {
    Fleet& fleet = Fleet::Shared();
    if (!fleet.Error().empty()) {
        Fail(state, fleet.Error());
        return;
    }
    const std::size_t events = Scaled(10000, 1000);
    const std::string folder = (fleet.Folder() / "logs").string();
    std::filesystem::create_directories(folder);
    const std::string tokenFile = folder + "/token";
    const std::string token = fleet.Token("bench-sync");
    std::ofstream(tokenFile) << token << "\n";
    ::chmod(tokenFile.c_str(), 0600);
    // The history, and its batches as the sync makes them.
    std::vector<std::string> batches(1);
    std::size_t inBatch = 0;
    {
        std::ofstream history(folder + "/history.jsonl", std::ios::binary);
        EventMaker maker("bench-sync");
        for (std::size_t n = 0; n < events; ++n) {
            const std::string line = maker.NextLine();
            history << line;
            if (inBatch == cli::kBatchEvents ||
                batches.back().size() + line.size() > cli::kBatchBytes) {
                batches.emplace_back();
                inBatch = 0;
            }
            batches.back() += line;
            ++inBatch;
        }
    }

    cli::SyncSettings settings;
    settings.folder = folder;
    settings.url = fleet.Url();
    settings.tokenFile = tokenFile;
    settings.time = std::chrono::minutes(10);
    std::string problem;
    auto job = [&] {
        const cli::SyncResult result = cli::SyncHistory(settings);
        if (!result.complete || result.stored != events) {
            problem = "the sync stored " + std::to_string(result.stored) + " of " +
                      std::to_string(events) + ": " + result.problem;
        }
    };
    auto floor = [&] {
        http::ClientOptions options;
        options.timeout = std::chrono::minutes(2);
        for (const std::string& body : batches) {
            std::string error;
            http::Request request = EventsRequest(token, body);
            request.headers.emplace_back("Accept", "application/json");
            if (Stored(http::FetchUrl(fleet.Url() + "/api/v1/events", request, error, options),
                       error, problem) < 0) {
                return;
            }
        }
    };
    auto setup = [&] {
        fleet.Empty();
        std::filesystem::remove(folder + "/" + cli::kFleetCursorName);
    };
    RunAgainstFloor(state, job, floor, setup);
    if (problem.empty() && fleet.Events() != static_cast<long long>(events)) {
        problem = "the database holds " + std::to_string(fleet.Events()) + " events";
    }
    if (!problem.empty()) {
        Fail(state, problem);
    }
    state.counters["events"] = static_cast<double>(events);
    state.counters["batches"] = static_cast<double>(batches.size());
}
BENCHMARK(BM_FleetSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(Tiny() ? 1 : 10);

}  // namespace
}  // namespace gwu::bench

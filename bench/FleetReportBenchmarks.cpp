// The "behind" report against its floor, on a private PostgreSQL cluster (the tests' one):
//   BM_FleetBehind  the report of a set over 1,000,000 devices of which a tenth are behind,
//                   through the real report function (every behind device listed, its code types
//                   decoded into the JSON); floor: the bare statement it reads the maintained
//                   table with. Targets: under a second, and at most twice the floor.
// The inventory is copied in and the set's rows recomputed (RefreshSet) before the timing; that
// recomputation's time is reported too ("refresh_s").
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "fleet/Behind.h"
#include "fleet/Migrations.h"
#include "fleet/Postgres.h"
#include "fleet/Reports.h"
#include "testsupport/PostgresServer.h"

namespace gwu::bench {

namespace {

using Json = nlohmann::json;

constexpr double kTargetSeconds = 1.0;
constexpr double kTargetRatio = 2.0;

// A database of devices, each with its loaded code, PROM and bootstrap releases as a
// communication module publishes them; every tenth device's PROM one release behind the set's.
struct Inventory {
    std::unique_ptr<fleet::Database> db;
    std::string error;
    long long behind = 0;
    double refreshSeconds = 0;
};

Inventory MakeInventory(std::size_t devices) {
    Inventory made;
    test::PostgresServer& cluster = test::PostgresServer::Shared();
    const std::string uri = cluster.Error().empty() ? cluster.CreateDatabase("report_bench") : "";
    if (uri.empty()) {
        made.error = "no PostgreSQL cluster: " + cluster.Error();
        return made;
    }
    made.db = std::make_unique<fleet::Database>(uri);
    fleet::Database& db = *made.db;
    fleet::Migrate(db);
    std::string deviceRows, releaseRows;
    for (std::size_t n = 0; n < devices; ++n) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "HX%07zu", n);
        const bool behind = n % 10 == 3;
        made.behind += behind ? 1 : 0;
        deviceRows += std::string(serial) + "\tVCL\t2026-01-01 00:00:00+00\tbench-1\t" +
                      std::to_string(n + 1) + "\t2026-01-01 00:00:00+00\n";
        for (const char* row :
             {"\tLC\tKLEM_12345_R4.2.1\t", "\tBS\tKLEM_BOOT_R1.4.0\t",
              behind ? "\tPROM\tKLEM_PROM_R2.0.3\t" : "\tPROM\tKLEM_PROM_R2.0.4\t"}) {
            releaseRows += serial + std::string(row) + std::to_string(n + 1) + "\t" +
                           std::string(32, 'a') + "\n";
        }
    }
    db.Copy(
        "COPY devices (serial, card, last_seen, last_tester, last_receipt, tester_time) FROM "
        "STDIN",
        deviceRows);
    db.Copy("COPY device_releases (serial, code, release, receipt, event_id) FROM STDIN",
            releaseRows);
    db.Exec(
        "INSERT INTO publications (set_name, sequence, manifest, signature, manifest_sha256) "
        "VALUES ('bench', 1, '', '', repeat('0', 64))");
    db.Exec("INSERT INTO release_sets (name, publication) VALUES ('bench', lastval())");
    db.Exec(
        "INSERT INTO set_releases VALUES ('bench', 'communication', 'LC', 'KLEM_12345_R4.2.1.0'), "
        "('bench', 'communication', 'PROM', 'KLEM_PROM_R2.0.4'), ('bench', 'communication', "
        "'BS', 'KLEM_BOOT_R1.4'), ('bench', 'measurement', 'LC', 'R9.0')");
    const auto start = std::chrono::steady_clock::now();
    fleet::Transaction transaction(db);
    fleet::RefreshSet(db, "bench");
    transaction.Commit();
    made.refreshSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    db.Exec("VACUUM ANALYZE set_devices");
    db.Exec("VACUUM ANALYZE devices");
    db.Exec("SET jit = off");  // the floor as the report runs it: not compiled first
    return made;
}

void BM_FleetBehind(benchmark::State& state) {
    const std::size_t devices = Scaled(1000000, 2000);
    static Inventory inventory = MakeInventory(devices);
    if (!inventory.error.empty()) {
        Fail(state, inventory.error);
        return;
    }
    fleet::Database& db = *inventory.db;
    std::string problem;
    auto job = [&] {
        const std::optional<Json> report = fleet::BehindReport(db, "bench", std::nullopt);
        if (!report || (*report)["behind"] != inventory.behind ||
            (*report)["compared"] != static_cast<long long>(devices) ||
            (*report)["devices"].size() != static_cast<std::size_t>(inventory.behind)) {
            problem = "the report is not the inventory's: " +
                      (report ? std::to_string((*report)["behind"].get<long long>()) : "none");
        }
    };
    auto floor = [&] {
        if (db.Exec(fleet::kBehindDevicesSql, {"bench", std::nullopt}).Rows() != inventory.behind) {
            problem = "the bare statement does not list every device behind";
        }
    };
    RunAgainstFloor(state, job, floor);
    const double seconds = state.counters["median_us"] / 1e6;
    const std::string took = "the report took " + std::to_string(seconds) + " s, the bare " +
                             "statement " + std::to_string(state.counters["floor_us"] / 1e6) + " s";
    // The ratio is a target only at full size: a tiny run's statement takes a few milliseconds.
    if (problem.empty() &&
        (seconds >= kTargetSeconds || (!Tiny() && state.counters["ratio"] > kTargetRatio))) {
        problem = took;
    }
    if (!problem.empty()) {
        Fail(state, problem);
    }
    state.counters["devices"] = static_cast<double>(devices);
    state.counters["behind"] = static_cast<double>(inventory.behind);
    state.counters["refresh_s"] = inventory.refreshSeconds;
}
BENCHMARK(BM_FleetBehind)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(Tiny() ? 1 : 5);

}  // namespace
}  // namespace gwu::bench

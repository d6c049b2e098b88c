#include "fleet/Migrations.h"

#include <algorithm>
#include <iterator>

#include "FleetMigrations.h"

namespace gwu::fleet {

namespace {

// The advisory lock the collectors take turns on while they migrate (0x677766006c656574, the
// bytes of "gwf", a zero and "leet").
constexpr const char* kMigrationLock = "7455539860139763060";

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS schema_migrations (version integer PRIMARY KEY, name text NOT "
    "NULL, applied timestamptz NOT NULL DEFAULT now())";

int Version(Database& database) {
    return static_cast<int>(
        database.Exec("SELECT coalesce(max(version), 0) FROM schema_migrations").Int(0, 0));
}

std::string Newer(int version) {
    return "the database has schema version " + std::to_string(version) +
           ", newer than this gwfleet knows (" + std::to_string(KnownSchemaVersion()) +
           "): use a newer gwfleet";
}

}  // namespace

int KnownSchemaVersion() {
    return static_cast<int>(std::size(embedded::kMigrations));
}

MigrationOutcome Migrate(Database& database) {
    Transaction transaction(database);
    database.Exec("SELECT pg_advisory_xact_lock(" + std::string(kMigrationLock) + ")");
    database.Exec(kCreateTable);
    MigrationOutcome outcome;
    outcome.from = Version(database);
    if (outcome.from > KnownSchemaVersion()) {
        throw SchemaError(Newer(outcome.from));
    }
    for (const embedded::Migration& migration : embedded::kMigrations) {
        if (migration.version <= outcome.from) {
            continue;
        }
        database.ExecScript(migration.sql);
        database.Exec("INSERT INTO schema_migrations (version, name) VALUES ($1, $2)",
                      {std::to_string(migration.version), std::string(migration.name)});
        outcome.applied.emplace_back(migration.name);
    }
    transaction.Commit();
    outcome.to = std::max(outcome.from, KnownSchemaVersion());
    return outcome;
}

void RequireKnownSchema(Database& database) {
    const bool exists =
        database.Exec("SELECT to_regclass('schema_migrations') IS NOT NULL").Bool(0, 0);
    const int version = exists ? Version(database) : 0;
    if (version > KnownSchemaVersion()) {
        throw SchemaError(Newer(version));
    }
    if (version < KnownSchemaVersion()) {
        throw SchemaError("the database has schema version " + std::to_string(version) +
                          ", this gwfleet needs " + std::to_string(KnownSchemaVersion()) +
                          ": run gwfleet migrate");
    }
}

}  // namespace gwu::fleet

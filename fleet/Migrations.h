// The fleet database's schema: the migrations this program knows (fleet/migrations/*.sql, built
// in), applied in order, each once, and recorded in the table schema_migrations. Any number of
// collectors may start at once: they take turns on one advisory lock, in one transaction each.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "fleet/Postgres.h"

namespace gwu::fleet {

// The database is not at the version this program knows: it needs migrating, or it has been
// migrated by a newer program. The message says which, and what to do.
class SchemaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MigrationOutcome {
    int from = 0;                      // the database's version before
    int to = 0;                        // and after
    std::vector<std::string> applied;  // the migrations' names
};

// The newest migration this program knows.
int KnownSchemaVersion();

// Applies the migrations the database lacks. Throws SchemaError when the database has a migration
// this program does not know (nothing applied), DbError when the database fails.
MigrationOutcome Migrate(Database& database);

// Throws SchemaError unless the database's version is the one this program knows: the commands
// that only read or add rows leave migrating to `gwfleet migrate` and `gwfleet serve`.
void RequireKnownSchema(Database& database);

}  // namespace gwu::fleet

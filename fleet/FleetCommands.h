// gwfleet's commands, each returning the program's exit code: 0 done, 2 trouble (said on stderr).
// They open the database named by a libpq connection URI.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace gwu::fleet {

constexpr int kExitOk = 0;
constexpr int kExitTrouble = 2;

struct ServeOptions {
    std::string database;
    std::string listen = "127.0.0.1:8080";
    std::string tlsCert, tlsKey;
};

// Migrates the database, then serves the HTTP API on the address until SIGINT or SIGTERM; plain
// HTTP only on loopback.
int Serve(const ServeOptions& options);

// Applies the migrations the database lacks and says which.
int MigrateCommand(const std::string& database);

// Prints a new token of the tester (or admin) on stdout, the only time it is shown.
int AddTokenCommand(const std::string& database, const std::string& name, bool admin);
int RevokeTokensCommand(const std::string& database, const std::string& name);

class Database;

// What the commands' files share: the command run on the database, where a database that fails, or
// a schema of another version (unless the command migrates), ends it with the reason; a value of
// the database as shown on the terminal (escaped: it may hold anything a tester sent; "-" for
// null); a table in aligned columns on stdout; a tester's gaps in words.
int WithDatabase(const std::string& uri, bool migrates,
                 const std::function<int(Database&)>& command);
std::string Shown(const nlohmann::json& value);
void PrintTable(const std::vector<std::string>& heading,
                const std::vector<std::vector<std::string>>& rows);
std::string GapsText(const nlohmann::json& gaps, long long missing);

enum class Listing { Testers, Conflicts, Devices };

// The listing as a table on stdout, or as the HTTP API's JSON.
int ListCommand(const std::string& database, Listing listing,
                const std::optional<std::string>& serial, bool json);

}  // namespace gwu::fleet

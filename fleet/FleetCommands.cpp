#include "fleet/FleetCommands.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "fleet/Migrations.h"
#include "fleet/Postgres.h"
#include "fleet/Queries.h"
#include "fleet/Tokens.h"
#include "os/Format.h"

namespace gwu::fleet {

using Json = nlohmann::json;
using Row = std::vector<std::string>;

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "gwfleet: %s\n", EscapeForTerminal(message).c_str());
    return kExitTrouble;
}

}  // namespace

int WithDatabase(const std::string& uri, bool migrates,
                 const std::function<int(Database&)>& command) {
    if (uri.empty()) {
        return Fail("no database: give --db URI or set GWU_FLEET_DB");
    }
    try {
        Database database(uri);
        if (!migrates) {
            RequireKnownSchema(database);
        }
        return command(database);
    } catch (const DbError& error) {
        return Fail(error.what());
    } catch (const SchemaError& error) {
        return Fail(error.what());
    }
}

std::string Shown(const Json& value) {
    if (value.is_null()) {
        return "-";
    }
    return EscapeForTerminal(value.is_string() ? value.get<std::string>() : value.dump());
}

void PrintTable(const Row& heading, const std::vector<Row>& rows) {
    std::vector<size_t> widths;
    for (const std::string& title : heading) {
        widths.push_back(title.size());
    }
    for (const Row& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    const auto print = [&widths](const Row& row) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(widths[i] - row[i].size() + 2, ' ');
            }
        }
        std::cout << line << "\n";
    };
    print(heading);
    std::for_each(rows.begin(), rows.end(), print);
}

std::string GapsText(const Json& gaps, long long missing) {
    std::string text;
    for (const Json& gap : gaps) {
        const long long first = gap[0].get<long long>(), last = gap[1].get<long long>();
        text += (text.empty() ? "" : ", ") + std::to_string(first) +
                (last == first ? "" : "-" + std::to_string(last));
    }
    if (gaps.size() >= static_cast<size_t>(kGapsShown)) {
        text += ", ...";
    }
    return text.empty() ? (missing > 0 ? "?" : "-") : text;
}

namespace {

void PrintListing(Listing listing, const Json& json) {
    std::vector<Row> rows;
    if (listing == Listing::Testers) {
        for (const Json& t : json["testers"]) {
            rows.push_back({Shown(t["name"]), Shown(t["events"]), Shown(t["highest_seq"]),
                            Shown(t["missing"]), Shown(t["last_sync"]),
                            t["clock_flagged"].get<bool>() ? "off" : "ok",
                            GapsText(t["gaps"], t["missing"].get<long long>())});
        }
        PrintTable({"TESTER", "EVENTS", "HIGHEST", "MISSING", "LAST SYNC", "CLOCK", "GAPS"}, rows);
    } else if (listing == Listing::Conflicts) {
        for (const Json& c : json["conflicts"]) {
            rows.push_back({Shown(c["id"]), Shown(c["tester"]), Shown(c["seq"]),
                            Shown(c["received"]), Shown(c["stored_tester"]),
                            Shown(c["stored_seq"])});
        }
        PrintTable({"ID", "TESTER", "SEQ", "RECEIVED", "STORED BY", "STORED SEQ"}, rows);
    } else {
        for (const Json& d : json["devices"]) {
            std::string releases;
            for (const auto& [code, release] : d["releases"].items()) {
                releases +=
                    (releases.empty() ? "" : " ") + EscapeForTerminal(code) + "=" + Shown(release);
            }
            rows.push_back({Shown(d["serial"]), Shown(d["card"]), Shown(d["last_seen"]),
                            Shown(d["last_tester"]), Shown(d["tester_time"]),
                            releases.empty() ? "-" : releases});
        }
        PrintTable({"SERIAL", "CARD", "LAST SEEN", "TESTER", "TESTER TIME", "RELEASES"}, rows);
    }
}

}  // namespace

int MigrateCommand(const std::string& uri) {
    return WithDatabase(uri, true, [](Database& database) {
        const MigrationOutcome outcome = Migrate(database);
        for (const std::string& name : outcome.applied) {
            std::cout << "applied " << name << "\n";
        }
        std::cout << "the database is at schema version " << outcome.to << "\n";
        return kExitOk;
    });
}

int AddTokenCommand(const std::string& uri, const std::string& name, bool admin) {
    if (const std::string problem = NameProblem(name); !problem.empty()) {
        return Fail("bad name \"" + name + "\": " + problem);
    }
    return WithDatabase(uri, false, [&](Database& database) {
        const std::string token = AddToken(database, name, admin);
        std::cout << token << std::endl;
        std::fprintf(stderr,
                     "gwfleet: a new %s token for %s; it is shown this once, only its hash is "
                     "kept\n",
                     admin ? "admin" : "tester", EscapeForTerminal(name).c_str());
        return kExitOk;
    });
}

int RevokeTokensCommand(const std::string& uri, const std::string& name) {
    return WithDatabase(uri, false, [&](Database& database) {
        const long long revoked = RevokeTokens(database, name);
        if (revoked == 0) {
            return Fail("no token of " + name + " to revoke");
        }
        std::cout << "revoked " << revoked << " token" << (revoked == 1 ? "" : "s") << " of "
                  << EscapeForTerminal(name) << "\n";
        return kExitOk;
    });
}

int ListCommand(const std::string& uri, Listing listing, const std::optional<std::string>& serial,
                bool json) {
    return WithDatabase(uri, false, [&](Database& database) {
        const Json result = listing == Listing::Testers     ? Testers(database)
                            : listing == Listing::Conflicts ? Conflicts(database)
                                                            : Devices(database, serial);
        if (json) {
            std::cout << result.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
        } else {
            PrintListing(listing, result);
        }
        return kExitOk;
    });
}

}  // namespace gwu::fleet

// gwfleet: the fleet collector. Testers send it their history's events over HTTP; it stores each
// once in PostgreSQL, keeps the device inventory they make, and shows the fleet to its admins.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>

#include "fleet/FleetCommands.h"
#include "fleet/Migrations.h"
#include "fleet/ReleaseCommands.h"

namespace {

using namespace gwu::fleet;

// --db on a command: the libpq connection URI, GWU_FLEET_DB by default.
void AddDatabase(CLI::App& command, std::string& database) {
    command
        .add_option("--db", database,
                    "the database, a PostgreSQL connection URI such as "
                    "postgresql://gwfleet@dbhost/fleet")
        ->envname("GWU_FLEET_DB");
}

int Run(int argc, char** argv) {
    CLI::App app{
        "gwfleet: the fleet collector. Testers send their history's events (gwctl sync); each is\n"
        "stored once in PostgreSQL, by its id, and the device inventory follows the events.",
        "gwfleet"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("gwfleet ") + GWU_VERSION + ", schema version " +
                                          std::to_string(KnownSchemaVersion()));

    ServeOptions serve;
    std::string database;
    CLI::App* serveCommand = app.add_subcommand("serve", "serve the HTTP API");
    AddDatabase(*serveCommand, serve.database);
    serveCommand
        ->add_option("--listen", serve.listen,
                     "HOST:PORT to listen on; port 0 picks a free one; a host not on loopback "
                     "needs TLS")
        ->capture_default_str();
    serveCommand->add_option("--tls-cert", serve.tlsCert,
                             "the server's certificate chain, a PEM file");
    serveCommand->add_option("--tls-key", serve.tlsKey, "the server's private key, a PEM file");

    CLI::App* migrate = app.add_subcommand("migrate", "apply the migrations the database lacks");
    AddDatabase(*migrate, database);

    CLI::App* token = app.add_subcommand("token", "add or revoke a token");
    token->require_subcommand(1);
    std::string name;
    bool admin = false;
    CLI::App* add = token->add_subcommand("add", "print a new token of a tester or an admin");
    add->add_option("NAME", name, "the tester's (or admin's) name")->required();
    add->add_flag("--admin", admin, "an admin's token, which reads the fleet and sends nothing");
    AddDatabase(*add, database);
    CLI::App* revoke = token->add_subcommand("revoke", "revoke every token of a name");
    revoke->add_option("NAME", name, "the tester's (or admin's) name")->required();
    AddDatabase(*revoke, database);

    bool json = false;
    std::string serial;
    CLI::App* testers = app.add_subcommand("testers", "list the testers");
    CLI::App* conflicts = app.add_subcommand("conflicts", "list the conflicts");
    CLI::App* devices = app.add_subcommand("devices", "list the device inventory");
    CLI::Option* serialOption =
        devices->add_option("--serial", serial, "only this serial number's device");
    for (CLI::App* listing : {testers, conflicts, devices}) {
        listing->add_flag("--json", json, "the HTTP API's JSON instead of a table");
        AddDatabase(*listing, database);
    }
    const ReleaseCommands releases(app, AddDatabase);

    // Last, so that the commands' own help leaves it out.
    app.footer(
        "Commands:\n"
        "  serve      serve the HTTP API (POST /api/v1/events with a tester's token; GET\n"
        "             /api/v1/testers, /api/v1/conflicts, /api/v1/devices, /api/v1/sets with\n"
        "             an admin's; GET /api/v1/release, /api/v1/release/ID/NAME with a tester's;\n"
        "             GET /healthz), after applying the migrations the database lacks. SIGINT\n"
        "             or SIGTERM stops it\n"
        "  migrate    apply the migrations the database lacks, each once, however many\n"
        "             collectors start at once\n"
        "  token      token add NAME [--admin]: print a new token of the tester NAME (of the\n"
        "             admin NAME) on stdout, the only time it is shown; the database keeps\n"
        "             only its hash. token revoke NAME: revoke every token of NAME\n"
        "  testers    the testers: events stored, highest sequence number, numbers missing and\n"
        "             the first gaps, last sync, CLOCK off when an event's time was more than 10\n"
        "             minutes from the collector's\n"
        "  conflicts  events sent with the id of another stored event but other content or from\n"
        "             another tester\n"
        "  devices    the inventory: per serial number the latest event's card, tester and time,\n"
        "             and per code type the latest release seen after an operation\n"
        "  release    release publish FOLDER --set NAME: store a signed release folder (its\n"
        "             RELEASES.json, RELEASES.json.sig and every file they list, each checked)\n"
        "             as it is signed, as the set's new publication. release assign --set NAME\n"
        "             --group G: testers of the group get the set. release list: the sets,\n"
        "             their publication, sequence and groups\n"
        "  tester     tester group TESTER G: put the tester in the group G (--none: in none)\n\n"
        "Options of the commands:\n"
        "  --db URI            every command: the database, a PostgreSQL connection URI\n"
        "                      (default: GWU_FLEET_DB)\n"
        "  --listen HOST:PORT  serve: the address (default 127.0.0.1:8080; port 0: a free\n"
        "                      one); plain HTTP only on loopback\n"
        "  --tls-cert FILE     serve: the certificate chain (PEM), with --tls-key FILE, the key\n"
        "  --admin             token add: an admin's token, which reads and sends nothing\n"
        "  --json              testers, conflicts, devices, release list: the HTTP API's\n"
        "                      JSON, not a table\n"
        "  --serial S          devices: only that serial number's device\n"
        "  --set NAME          release publish, release assign: the set (letters, digits,\n"
        "                      '.', '-', '_', at most 64)\n"
        "  --group G           release assign: the group (a name as a set's)\n"
        "  --none              tester group: take the tester out of its group\n\n"
        "Exit codes: 0 done, 2 trouble (said on stderr).");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitTrouble;
    }
    if (serveCommand->parsed()) {
        return Serve(serve);
    }
    if (migrate->parsed()) {
        return MigrateCommand(database);
    }
    if (add->parsed()) {
        return AddTokenCommand(database, name, admin);
    }
    if (revoke->parsed()) {
        return RevokeTokensCommand(database, name);
    }
    if (const std::optional<int> done = releases.Run()) {
        return *done;
    }
    const Listing listing = testers->parsed()     ? Listing::Testers
                            : conflicts->parsed() ? Listing::Conflicts
                                                  : Listing::Devices;
    return ListCommand(
        database, listing,
        serialOption->count() > 0 ? std::optional<std::string>(serial) : std::nullopt, json);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gwfleet: %s\n", e.what());
        return kExitTrouble;
    }
}

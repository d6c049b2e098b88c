// gwfleet serve: the collector's HTTP API and the fleet page over the programs' HTTP server.
#include <csignal>
#include <cstdio>
#include <optional>

#include "fleet/Collector.h"
#include "fleet/FleetCommands.h"
#include "fleet/FleetPage.h"
#include "fleet/Ingest.h"
#include "fleet/Migrations.h"
#include "http/HostRule.h"
#include "http/Server.h"
#include "os/Format.h"
#include "wire/Address.h"

namespace gwu::fleet {

namespace {

// A batch's body with room for its request to say it is too large in the API's own words.
constexpr size_t kBodyBytes = kMaxBatchBytes + size_t{64} * 1024;
// Handler threads, each with its database connection while it handles a request.
constexpr size_t kHandlerThreads = 4;
// The time a whole batch may take to arrive: 4 MiB from a tester on a slow line.
constexpr std::chrono::seconds kRequestTime{60};
// The time a client may read nothing of an answer it is sent (a release file of up to 64 MiB
// goes to a tester on a slow line a piece at a time; each piece restarts the time).
constexpr std::chrono::seconds kWriteTime{30};

int Fail(const std::string& message) {
    std::fprintf(stderr, "gwfleet: %s\n", EscapeForTerminal(message).c_str());
    return kExitTrouble;
}

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int Serve(const ServeOptions& options) {
    const std::optional<wire::HostPort> address =
        wire::ParseHostPort(options.listen, {{}, false, true, 0});
    if (!address) {
        return Fail("bad --listen " + options.listen + ": expected HOST:PORT");
    }
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        return Fail("--tls-cert and --tls-key go together");
    }
    const bool tls = !options.tlsCert.empty();
    if (!tls && !wire::IsLoopbackHost(address->host)) {
        return Fail("refusing plain HTTP on " + address->host +
                    ", not on loopback: tokens would cross the network in clear; give "
                    "--tls-cert and --tls-key");
    }
    if (options.database.empty()) {
        return Fail("no database: give --db URI or set GWU_FLEET_DB");
    }
    try {
        Database database(options.database);
        const MigrationOutcome outcome = Migrate(database);
        for (const std::string& name : outcome.applied) {
            std::printf("gwfleet: applied %s\n", name.c_str());
        }
    } catch (const DbError& error) {
        return Fail(error.what());
    } catch (const SchemaError& error) {
        return Fail(std::string("refusing to serve: ") + error.what());
    }
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);  // a client that goes mid-answer is the server's to notice
#endif

    {
        Collector collector(options.database);  // outlives the server's handler threads
        http::Server* running = nullptr;
        http::ServerOptions serverOptions;
        serverOptions.limits.bodyBytes = kBodyBytes;
        serverOptions.limits.requestTime = kRequestTime;
        serverOptions.limits.writeTime = kWriteTime;
        serverOptions.limits.handlerThreads = kHandlerThreads;
        if (tls) {
            serverOptions.tls = http::TlsFiles{options.tlsCert, options.tlsKey};
        }
        // Set once the port is known, before serving: a collector on loopback answers only its
        // own address, so that no other site's page reaches it (nor the fleet page) by a name of
        // its own.
        http::HostRule hosts;
        serverOptions.handler = [&collector, &hosts](const http::Request& request) {
            if (!hosts.Allows(request.Header("Host"))) {
                return Collector::Error(403, "unexpected Host header");
            }
            if (std::optional<http::Response> page = PageResponse(request)) {
                return *page;
            }
            return collector.Handle(request);
        };
        serverOptions.refusal = [](int status, const std::string& sentence) {
            return Collector::Error(status, sentence);
        };
        // The first signal stops serving: the requests in flight finish their transactions (the
        // server's destructor waits for its handlers), their answers are not sent.
        serverOptions.onSignal = [&running](int, int) {
            if (running != nullptr) {
                running->Stop();
            }
        };
        http::Server server(serverOptions);
        running = &server;
        std::string error;
        const int port = server.Listen(address->host, address->port, error);
        if (port == 0) {
            return Fail("cannot listen on " + UrlHost(address->host) + ":" +
                        std::to_string(address->port) + ": " + error);
        }
        if (wire::IsLoopbackHost(address->host)) {
            hosts = http::HostRule::Loopback(UrlHost(address->host), port);
        }
        std::printf("gwfleet serving on %s://%s:%d/\n", tls ? "https" : "http",
                    UrlHost(address->host).c_str(), port);
        std::fflush(stdout);
        server.Run();
    }
    std::printf("gwfleet: stopped\n");
    return kExitOk;
}

}  // namespace gwu::fleet

// The collector's HTTP API (version 1) over a pool of database connections:
//   POST /api/v1/events     a tester's batch of history lines (its token), stored once each;
//   GET  /api/v1/testers, /api/v1/conflicts, /api/v1/devices[?serial=S]   (an admin's token);
//   GET  /api/v1/release, /api/v1/release/ID/NAME   the tester's group's set (its token);
//   GET  /api/v1/sets       the release sets (an admin's token);
//   GET  /healthz           200 "ok" while the database answers, else 503.
// Errors are JSON, {"error": WHAT}: 400 a bad batch, 401 no valid token (WWW-Authenticate:
// Bearer), 403 a token of the wrong kind, 404 no such path, 405 another method, 413 a batch too
// large, 503 the database unreachable or failing (Retry-After: 1; nothing of a batch stored).
// Handle is called on the HTTP server's handler threads, any number at once; each takes a
// connection of its own from the pool.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fleet/Postgres.h"
#include "http/Message.h"

namespace gwu::fleet {

// Database connections for the handler threads: an idle one is reused, a lost one dropped, and a
// new one made when none is idle (so at most one per thread that asks at once).
class Pool {
public:
    explicit Pool(std::string uri) : m_uri(std::move(uri)) {}

    // Runs work(Database&) on a connection and returns what it returns. An idle connection that
    // turns out to be lost (the database restarted since) is replaced by a new one at once, and
    // work runs again there: work must be safe to run twice (a transaction that did not commit,
    // or that only repeats what it did). Throws DbError.
    template <typename Work>
    auto With(Work work) -> decltype(work(std::declval<Database&>())) {
        if (std::unique_ptr<Database> idle = Take()) {
            try {
                auto result = work(*idle);
                Give(std::move(idle));
                return result;
            } catch (const DbError&) {
                if (!idle->Broken()) {
                    Give(std::move(idle));
                    throw;
                }
            }
        }
        auto fresh = std::make_unique<Database>(m_uri);
        try {
            auto result = work(*fresh);
            Give(std::move(fresh));
            return result;
        } catch (const DbError&) {
            Give(std::move(fresh));
            throw;
        }
    }

private:
    std::unique_ptr<Database> Take();
    void Give(std::unique_ptr<Database> database);  // dropped when broken

    const std::string m_uri;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Database>> m_idle;
};

class Collector {
public:
    // Connects lazily: a collector starts while its database is away, and answers 503 until it
    // is back.
    explicit Collector(std::string databaseUri) : m_pool(std::move(databaseUri)) {}

    http::Response Handle(const http::Request& request);

    // The answer in the API's form: {"error": sentence}.
    static http::Response Error(int status, const std::string& sentence);

private:
    // Nothing when the request's bearer token is valid and an admin's (admin) or a tester's (not),
    // with its name; else the refusal (401, 403).
    std::optional<http::Response> Authorize(const http::Request& request, bool admin,
                                            std::string& name);
    http::Response PostEvents(const http::Request& request);
    http::Response Read(const http::Request& request, const std::string& path);
    // The release sets' paths (ReleaseApi.cpp).
    static bool IsReleasePath(const std::string& path);
    http::Response Release(const http::Request& request, const std::string& path);

    Pool m_pool;
};

}  // namespace gwu::fleet

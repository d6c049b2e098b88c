#include "fleet/Collector.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "fleet/Ingest.h"
#include "fleet/Queries.h"
#include "fleet/Tokens.h"

namespace gwu::fleet {

namespace {

using Json = nlohmann::json;

// A batch that meets a serialization failure or a deadlock runs again, this often in all.
constexpr int kAttempts = 4;
constexpr std::chrono::milliseconds kFirstBackoff{20};

http::Response Reply(int status, const Json& body) {
    http::Response response;
    response.status = status;
    response.contentType = "application/json";
    response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return response;
}

http::Response Unavailable(const DbError& error) {
    // The detail is for the collector's operator; a tester is told to come back.
    std::fprintf(stderr, "gwfleet: database: %s\n", error.what());
    http::Response response = Collector::Error(503, "the database is unavailable; try again");
    response.headers.emplace_back("Retry-After", "1");
    return response;
}

// The token of "Authorization: Bearer TOKEN"; empty when there is none of that form.
std::string BearerToken(const http::Request& request) {
    const std::string header = request.Header("Authorization");
    static const std::string scheme = "bearer ";
    if (header.size() <= scheme.size()) {
        return {};
    }
    for (size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) {
            return {};
        }
    }
    const std::string token = header.substr(scheme.size());
    const bool plain = token.find_first_of(" \t,") == std::string::npos;
    return plain ? token : std::string();
}

// A query parameter of the target, percent-decoded ('+' is a blank); nothing when absent.
std::optional<std::string> QueryValue(const std::string& target, const std::string& name) {
    const size_t query = target.find('?');
    if (query == std::string::npos) {
        return std::nullopt;
    }
    size_t at = query + 1;
    while (at <= target.size()) {
        size_t end = target.find('&', at);
        end = end == std::string::npos ? target.size() : end;
        const std::string pair = target.substr(at, end - at);
        const size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            const std::string raw = equals == std::string::npos ? "" : pair.substr(equals + 1);
            std::string value;
            for (size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '%' && i + 2 < raw.size() &&
                    std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
                    std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
                    value += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    value += raw[i] == '+' ? ' ' : raw[i];
                }
            }
            return value;
        }
        at = end + 1;
    }
    return std::nullopt;
}

bool IsUtf8(const std::string& text) {
    try {
        return !Json(text).dump().empty();
    } catch (const Json::type_error&) {
        return false;  // what the JSON writer refuses: bytes that are not UTF-8
    }
}

}  // namespace

std::unique_ptr<Database> Pool::Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_idle.empty()) {
        return nullptr;
    }
    std::unique_ptr<Database> database = std::move(m_idle.back());
    m_idle.pop_back();
    return database;
}

void Pool::Give(std::unique_ptr<Database> database) {
    if (database->Broken()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle.push_back(std::move(database));
}

http::Response Collector::Error(int status, const std::string& sentence) {
    return Reply(status, Json{{"error", sentence}});
}

http::Response Collector::Handle(const http::Request& request) {
    const std::string path = request.Path();
    const bool release = IsReleasePath(path);
    const bool read = path == "/api/v1/testers" || path == "/api/v1/conflicts" ||
                      path == "/api/v1/devices" || path == "/healthz" || release;
    if (!read && path != "/api/v1/events") {
        return Error(404, "no such path");
    }
    const std::string allowed = read ? "GET" : "POST";
    if (request.method != allowed) {
        http::Response refused = Error(405, path + " takes " + allowed + " only");
        refused.headers.emplace_back("Allow", allowed);
        return refused;
    }
    try {
        return release ? Release(request, path) : read ? Read(request, path) : PostEvents(request);
    } catch (const DbError& error) {
        return Unavailable(error);
    }
}

std::optional<http::Response> Collector::Authorize(const http::Request& request, bool admin,
                                                   std::string& name) {
    const std::string token = BearerToken(request);
    const std::optional<Identity> who =
        token.empty() ? std::nullopt
                      : m_pool.With([&token](Database& db) { return Authenticate(db, token); });
    if (!who) {
        http::Response refused =
            Error(401, token.empty() ? "an Authorization: Bearer token is needed"
                                     : "the token is unknown or revoked");
        refused.headers.emplace_back("WWW-Authenticate", "Bearer");
        return refused;
    }
    if (who->admin != admin) {
        return Error(403, admin ? "reading the fleet needs an admin token"
                                : "an admin token cannot send events: use the tester's own");
    }
    name = who->name;
    return std::nullopt;
}

http::Response Collector::PostEvents(const http::Request& request) {
    std::string tester;
    if (std::optional<http::Response> refused = Authorize(request, false, tester)) {
        return *refused;
    }
    Batch batch;
    if (const std::optional<Refusal> refusal = ReadBatch(request.body, batch)) {
        return Error(refusal->status, refusal->error);
    }
    std::chrono::milliseconds backoff = kFirstBackoff;
    for (int attempt = 1;; ++attempt) {
        try {
            const StoreOutcome outcome =
                m_pool.With([&](Database& db) { return StoreBatch(db, tester, batch); });
            return Reply(200, Json{{"fleet", outcome.fleet},
                                   {"stored", outcome.stored},
                                   {"duplicates", outcome.duplicates},
                                   {"conflicts", outcome.conflicts},
                                   {"acknowledged", batch.acknowledged}});
        } catch (const DbError& error) {
            if (!error.Retryable() || attempt == kAttempts) {
                throw;
            }
        }
        std::this_thread::sleep_for(backoff);
        backoff *= 3;
    }
}

http::Response Collector::Read(const http::Request& request, const std::string& path) {
    if (path == "/healthz") {
        m_pool.With([](Database& db) { return db.Exec("SELECT 1").Rows(); });
        http::Response ok;
        ok.contentType = "text/plain; charset=utf-8";
        ok.body = "ok\n";
        return ok;
    }
    std::string admin;
    if (std::optional<http::Response> refused = Authorize(request, true, admin)) {
        return *refused;
    }
    const std::optional<std::string> serial = QueryValue(request.target, "serial");
    if (serial && (serial->find('\0') != std::string::npos || !IsUtf8(*serial))) {
        return Error(400, "the serial is no UTF-8 text");
    }
    const Json body = m_pool.With([&](Database& db) {
        if (path == "/api/v1/testers") {
            return Testers(db);
        }
        if (path == "/api/v1/conflicts") {
            return Conflicts(db);
        }
        return Devices(db, serial);
    });
    return Reply(200, body);
}

}  // namespace gwu::fleet

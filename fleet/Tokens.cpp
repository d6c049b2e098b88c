#include "fleet/Tokens.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace gwu::fleet {

namespace {

constexpr size_t kTokenBytes = 32;
constexpr size_t kMaxNameBytes = 128;

std::string Hex(const unsigned char* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(bytes[i]));
        text += pair;
    }
    return text;
}

}  // namespace

std::string NewToken() {
    unsigned char bytes[kTokenBytes];
    if (RAND_bytes(bytes, static_cast<int>(sizeof bytes)) != 1) {
        throw std::runtime_error("no random bytes for a token");
    }
    return "gwf_" + Hex(bytes, sizeof bytes);
}

std::string TokenHash(const std::string& token) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(token.data(), token.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return Hex(digest, length);
}

std::string NameProblem(const std::string& name) {
    if (name.empty()) {
        return "a name is needed";
    }
    if (name.size() > kMaxNameBytes) {
        return "a name has at most " + std::to_string(kMaxNameBytes) + " bytes";
    }
    if (name.front() == ' ' || name.back() == ' ') {
        return "a name has no blanks around it";
    }
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "a name has no control characters";
        }
    }
    return {};
}

std::string AddToken(Database& database, const std::string& name, bool admin) {
    if (const std::string problem = NameProblem(name); !problem.empty()) {
        throw std::invalid_argument(problem);
    }
    const std::string token = NewToken();
    Transaction transaction(database);
    if (!admin) {
        database.Exec("INSERT INTO testers (name) VALUES ($1) ON CONFLICT DO NOTHING", {name});
    }
    database.Exec("INSERT INTO tokens (hash, kind, name) VALUES ($1, $2, $3)",
                  {TokenHash(token), std::string(admin ? "admin" : "tester"), name});
    transaction.Commit();
    return token;
}

long long RevokeTokens(Database& database, const std::string& name) {
    return database
        .Exec(
            "WITH revoked AS (UPDATE tokens SET revoked = now() WHERE name = $1 AND revoked IS "
            "NULL RETURNING 1) SELECT count(*) FROM revoked",
            {name})
        .Int(0, 0);
}

std::optional<Identity> Authenticate(Database& database, const std::string& token) {
    const Result found =
        database.Exec("SELECT name, kind = 'admin' FROM tokens WHERE hash = $1 AND revoked IS NULL",
                      {TokenHash(token)});
    if (found.Rows() == 0) {
        return std::nullopt;
    }
    return Identity{found.Text(0, 0), found.Bool(0, 1)};
}

}  // namespace gwu::fleet

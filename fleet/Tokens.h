// The fleet's tokens: a tester's writes only that tester's events, an admin's reads the fleet.
// A token is 32 random bytes in hex after "gwf_"; the database keeps only its SHA-256, so that a
// copy of the database lets no one sync or read as anyone.
#pragma once

#include <optional>
#include <string>

#include "fleet/Postgres.h"

namespace gwu::fleet {

struct Identity {
    std::string name;
    bool admin = false;
};

// A new token, and the SHA-256 of a token in lower-case hex.
std::string NewToken();
std::string TokenHash(const std::string& token);

// Why the name cannot name a tester or an admin (empty, too long, blanks around it, control
// characters); empty when it can.
std::string NameProblem(const std::string& name);

// Stores a new token for the name (a tester's adds the tester when it is new) and returns it:
// the only time it is seen. Throws std::invalid_argument for a bad name, DbError.
std::string AddToken(Database& database, const std::string& name, bool admin);
// Revokes every token of the name not revoked yet; how many.
long long RevokeTokens(Database& database, const std::string& name);
// Who the token is; nothing for an unknown or revoked one.
std::optional<Identity> Authenticate(Database& database, const std::string& token);

}  // namespace gwu::fleet

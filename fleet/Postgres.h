// PostgreSQL through libpq, as the fleet collector uses it: a connection and a result, each the
// owner of its libpq object, and statements whose values are always bound as parameters
// (PQexecParams), never spliced into the SQL text. Blocking calls, one connection per thread.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace gwu::fleet {

// A statement or a connection that failed: the server's SQLSTATE (empty when none came back)
// and whether the connection itself is gone (it is then of no further use).
class DbError : public std::runtime_error {
public:
    DbError(const std::string& message, std::string sqlState, bool connectionLost)
        : std::runtime_error(message),
          m_sqlState(std::move(sqlState)),
          m_connectionLost(connectionLost) {}
    const std::string& SqlState() const { return m_sqlState; }
    bool ConnectionLost() const { return m_connectionLost; }
    // A serialization failure, a deadlock, or a unique key taken meanwhile by another
    // transaction (a batch's new event stored by a concurrent one): the transaction may be run
    // again as it was, and then sees what the other committed.
    bool Retryable() const {
        return m_sqlState == "40001" || m_sqlState == "40P01" || m_sqlState == "23505";
    }

private:
    std::string m_sqlState;
    bool m_connectionLost;
};

// One parameter, as text; nullopt is SQL NULL.
using Param = std::optional<std::string>;
using Params = std::vector<Param>;

// The rows of a statement, every value as text (libpq's text format).
class Result {
public:
    explicit Result(pg_result* result);
    int Rows() const;
    bool IsNull(int row, int column) const;
    // The value; empty for NULL.
    std::string Text(int row, int column) const;
    // A whole number (0 for NULL) and a boolean ("t").
    long long Int(int row, int column) const;
    bool Bool(int row, int column) const;

private:
    struct Clear {
        void operator()(pg_result* result) const;
    };
    std::unique_ptr<pg_result, Clear> m_result;
};

class Database {
public:
    // Connects with a libpq connection URI or "key=value" string; throws DbError when it cannot.
    explicit Database(const std::string& uri);

    // Runs one statement with its parameters ($1, $2, ...); throws DbError when it fails.
    Result Exec(const std::string& sql, const Params& params = {});
    // The same for bytes that no text escaping should double: the parameters whose indexes are
    // in rawParams go as they are (a bytea's content), and with rawResult every value comes back
    // in the server's binary form (a bytea's content as stored, a text's bytes; only such columns
    // are read this way).
    Result ExecRaw(const std::string& sql, const Params& params, const std::vector<int>& rawParams,
                   bool rawResult);
    // Runs COPY ... FROM STDIN with the rows in COPY's text format (each ends in "\n"); throws
    // DbError when it fails.
    void Copy(const std::string& sql, const std::string& rows);
    // Runs a script of several statements, without parameters (a migration).
    void ExecScript(const std::string& sql);
    // The connection has been lost: a new one is needed.
    bool Broken() const;

private:
    Result Check(pg_result* result, const char* what);

    struct Finish {
        void operator()(pg_conn* connection) const;
    };
    std::unique_ptr<pg_conn, Finish> m_connection;
};

// Values as the database reads them in a COPY's rows and in array parameters:
// - AppendCopyText: the text as a value of a row in COPY's text format (backslash, tab, newline
//   and carriage return escaped);
// - ArrayParam: an array parameter ({"a","b",NULL}: each element quoted, its quotes and
//   backslashes escaped), given with Text() as the value of a $n::text[] or $n::bigint[];
// - TimestampText: seconds since 1970 as the database's to_timestamp makes them, in its input
//   form ("YYYY-MM-DD HH:MM:SS+00", years before the first " BC").
void AppendCopyText(std::string& row, const std::string& value);
class ArrayParam {
public:
    void Add(const Param& element);
    void Add(long long number) { Add(std::to_string(number)); }
    void Add(std::optional<long long> number) {
        Add(number ? Param(std::to_string(*number)) : std::nullopt);
    }
    std::string Text() const { return m_text.empty() ? "{}" : m_text + '}'; }

private:
    std::string m_text;
};
std::string TimestampText(long long epoch);

// A transaction on the connection while it lives: rolled back unless committed.
class Transaction {
public:
    explicit Transaction(Database& database);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    Database& m_database;
    bool m_done = false;
};

}  // namespace gwu::fleet

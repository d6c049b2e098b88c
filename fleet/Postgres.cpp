#include "fleet/Postgres.h"

#include <libpq-fe.h>

#include <cstdlib>

namespace gwu::fleet {

namespace {

// The server's notices ("relation already exists, skipping") are no news to a collector.
void IgnoreNotice(void*, const char*) {}

// The first line of a message, without blanks at its end.
std::string Trimmed(const char* text) {
    std::string message = text == nullptr ? "" : text;
    message = message.substr(0, message.find('\n'));
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

}  // namespace

Result::Result(pg_result* result) : m_result(result) {}

void Result::Clear::operator()(pg_result* result) const {
    PQclear(result);
}

int Result::Rows() const {
    return PQntuples(m_result.get());
}

bool Result::IsNull(int row, int column) const {
    return PQgetisnull(m_result.get(), row, column) != 0;
}

std::string Result::Text(int row, int column) const {
    return std::string(PQgetvalue(m_result.get(), row, column),
                       static_cast<size_t>(PQgetlength(m_result.get(), row, column)));
}

long long Result::Int(int row, int column) const {
    return IsNull(row, column) ? 0
                               : std::strtoll(PQgetvalue(m_result.get(), row, column), nullptr, 10);
}

bool Result::Bool(int row, int column) const {
    return Text(row, column) == "t";
}

void Database::Finish::operator()(pg_conn* connection) const {
    PQfinish(connection);
}

Database::Database(const std::string& uri) {
    // The URI comes last, so that what it says wins over these defaults.
    const char* const keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* const values[] = {"10", "gwfleet", uri.c_str(), nullptr};
    m_connection.reset(PQconnectdbParams(keywords, values, 1));
    if (!m_connection) {
        throw DbError("out of memory connecting to the database", {}, true);
    }
    if (PQstatus(m_connection.get()) != CONNECTION_OK) {
        throw DbError(
            "cannot connect to the database: " + Trimmed(PQerrorMessage(m_connection.get())), {},
            true);
    }
    PQsetNoticeProcessor(m_connection.get(), IgnoreNotice, nullptr);
}

bool Database::Broken() const {
    return PQstatus(m_connection.get()) != CONNECTION_OK;
}

Result Database::Check(pg_result* raw, const char* what) {
    Result result(raw);
    const ExecStatusType status = raw == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(raw);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        return result;
    }
    const char* state = raw == nullptr ? nullptr : PQresultErrorField(raw, PG_DIAG_SQLSTATE);
    // The server's one-line message when it sent one, else libpq's own.
    const char* primary =
        raw == nullptr ? nullptr : PQresultErrorField(raw, PG_DIAG_MESSAGE_PRIMARY);
    const std::string message =
        Trimmed(primary != nullptr ? primary : PQerrorMessage(m_connection.get()));
    throw DbError(std::string(what) + " failed: " + message, state == nullptr ? "" : state,
                  Broken());
}

Result Database::Exec(const std::string& sql, const Params& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const Param& param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    return Check(PQexecParams(m_connection.get(), sql.c_str(), static_cast<int>(values.size()),
                              nullptr, values.data(), nullptr, nullptr, 0),
                 "a statement");
}

void Database::ExecScript(const std::string& sql) {
    Check(PQexec(m_connection.get(), sql.c_str()), "a script");
}

Transaction::Transaction(Database& database) : m_database(database) {
    m_database.Exec("BEGIN");
}

Transaction::~Transaction() {
    if (!m_done && !m_database.Broken()) {
        try {
            m_database.Exec("ROLLBACK");
        } catch (const DbError&) {
            // The connection is gone, and the transaction with it.
        }
    }
}

void Transaction::Commit() {
    m_done = true;
    m_database.Exec("COMMIT");
}

}  // namespace gwu::fleet

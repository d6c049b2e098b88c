#include "fleet/Postgres.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
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

Result Database::ExecRaw(const std::string& sql, const Params& params,
                         const std::vector<int>& rawParams, bool rawResult) {
    std::vector<const char*> values;
    std::vector<int> lengths(params.size(), 0), formats(params.size(), 0);
    values.reserve(params.size());
    for (const Param& param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    for (const int index : rawParams) {
        const Param& param = params.at(static_cast<size_t>(index));
        formats[static_cast<size_t>(index)] = 1;
        lengths[static_cast<size_t>(index)] = param ? static_cast<int>(param->size()) : 0;
    }
    return Check(
        PQexecParams(m_connection.get(), sql.c_str(), static_cast<int>(values.size()), nullptr,
                     values.data(), lengths.data(), formats.data(), rawResult ? 1 : 0),
        "a statement");
}

void Database::Copy(const std::string& sql, const std::string& rows) {
    pg_conn* connection = m_connection.get();
    pg_result* start = PQexec(connection, sql.c_str());
    if (start == nullptr || PQresultStatus(start) != PGRES_COPY_IN) {
        Check(start, "a copy");  // throws: the statement failed
        throw DbError("a copy failed: the statement is no COPY FROM STDIN", {}, false);
    }
    PQclear(start);
    constexpr size_t kPiece = size_t{1} << 20;
    bool sent = true;
    for (size_t at = 0; sent && at < rows.size(); at += kPiece) {
        const size_t piece = std::min(kPiece, rows.size() - at);
        sent = PQputCopyData(connection, rows.data() + at, static_cast<int>(piece)) == 1;
    }
    // Ended either way, so that the connection leaves the copy; a failed send aborts it.
    sent = PQputCopyEnd(connection, sent ? nullptr : "the rows could not be sent") == 1 && sent;
    pg_result* outcome = PQgetResult(connection);
    while (pg_result* more = PQgetResult(connection)) {
        PQclear(more);
    }
    if (!sent && outcome != nullptr && PQresultStatus(outcome) == PGRES_COMMAND_OK) {
        PQclear(outcome);
        outcome = nullptr;
    }
    Check(outcome, "a copy");
}

void Database::ExecScript(const std::string& sql) {
    Check(PQexec(m_connection.get(), sql.c_str()), "a script");
}

void AppendCopyText(std::string& row, const std::string& value) {
    // The text between the characters to escape goes in whole: most values have none.
    size_t from = 0;
    for (size_t at; (at = value.find_first_of("\\\t\n\r", from)) != std::string::npos;
         from = at + 1) {
        row.append(value, from, at - from);
        row += '\\';
        row += value[at] == '\\' ? '\\' : value[at] == '\t' ? 't' : value[at] == '\n' ? 'n' : 'r';
    }
    row.append(value, from, std::string::npos);
}

void ArrayParam::Add(const Param& element) {
    m_text += m_text.empty() ? '{' : ',';
    if (!element) {
        m_text += "NULL";
        return;
    }
    m_text += '"';
    for (const char c : *element) {
        if (c == '"' || c == '\\') {
            m_text += '\\';
        }
        m_text += c;
    }
    m_text += '"';
}

std::string TimestampText(long long epoch) {
    const long long days = (epoch >= 0 ? epoch : epoch - 86399) / 86400;
    const long long inDay = epoch - days * 86400;
    // The civil date of the days (years counted from March).
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long dayOfEra = z - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long shifted = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const long long month = shifted < 10 ? shifted + 3 : shifted - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[160];  // room for any long long, which the compiler cannot rule out
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld+00%s",
                  year > 0 ? year : 1 - year, month, day, inDay / 3600, inDay / 60 % 60, inDay % 60,
                  year > 0 ? "" : " BC");
    return text;
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

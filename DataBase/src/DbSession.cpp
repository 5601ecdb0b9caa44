#include "DbSession.h"

#include <sqlite3.h>

#include <sstream>

#include "SqliteText.h"

namespace Db {
void LogLine(LOG_MESSAGE_LEVEL level, const std::string& message, const char* operation) {
    std::wstringstream stream;
    // Narrow texts are widened byte by byte by the stream; the parentheses are wide.
    stream << "["
           << "DATABASE"
           << "]" << message.c_str() << L"(" << "DataBaseManager::" << operation << L")";
    VtLogger::GetInstance()->Log(level, stream);
}
}  // namespace Db

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        if (stmt != nullptr) sqlite3_finalize(stmt);
        stmt = std::exchange(other.stmt, nullptr);
    }
    return *this;
}

Statement::~Statement() {
    if (stmt != nullptr) sqlite3_finalize(stmt);
}

void Statement::Bind(int index, int value) { sqlite3_bind_int(stmt, index, value); }
void Statement::Bind(int index, long long value) { sqlite3_bind_int64(stmt, index, value); }
void Statement::Bind(int index, const std::wstring& text) { SqliteText::Bind(stmt, index, text); }
void Statement::BindBlob(int index, const void* data, int bytes) {
    sqlite3_bind_blob(stmt, index, data, bytes, SQLITE_STATIC);
}

int Statement::Step() { return sqlite3_step(stmt); }
void Statement::Reset() { sqlite3_reset(stmt); }

int Statement::Int(int column) const { return sqlite3_column_int(stmt, column); }
long long Statement::Int64(int column) const { return sqlite3_column_int64(stmt, column); }
std::wstring Statement::Text(int column) const { return SqliteText::Column(stmt, column); }
int Statement::CopyText(int column, wchar_t (&dest)[Db::kTextUnits]) const {
    return SqliteText::CopyColumn(stmt, column, dest, Db::kTextUnits);
}
const void* Statement::Blob(int column, int& bytes) const {
    const void* data = sqlite3_column_blob(stmt, column);
    bytes = sqlite3_column_bytes(stmt, column);
    return data;
}

void DbSession::Info(const std::string& message) const {
    Db::LogLine(LOG_LEVEL_INFO, message, operation);
}
void DbSession::Error(const std::string& message) const {
    Db::LogLine(LOG_LEVEL_ERROR, message, operation);
}
void DbSession::SqliteError() const { Error(std::string("SQLite error:") + sqlite3_errmsg(db)); }
void DbSession::SqliteError(const std::string& phrase, int code) const {
    Error("SQLite error:" + phrase + std::to_string(code) + ",reason:" + sqlite3_errmsg(db));
}

bool DbSession::Initialised(const char* notInitMessage) const {
    if (manager.isInit.load()) return true;
    Error(notInitMessage);
    return false;
}

void DbSession::Close() {
    if (db != nullptr) manager.CloseDb(std::exchange(db, nullptr));
}

Statement DbSession::Prepare(const std::string& sql, int* resultCode) const {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (resultCode != nullptr) *resultCode = rc;
    return Statement(stmt);
}

Statement DbSession::PrepareWrite(const std::string& sql) const {
    Statement stmt = Prepare(sql);
    if (!stmt && opened) SqliteError();  // a failed open has already said why
    return stmt;
}

int DbSession::ReadInt(const std::string& sql) {
    if (!OpenRead()) return 0;
    Statement stmt = Prepare(sql);
    if (!stmt) return 0;
    int value = 0;
    while (stmt.Step() == SQLITE_ROW) value = stmt.Int(0);
    return value;
}

bool DbSession::StepWrite(Statement& stmt) const {
    bool done = stmt.Step() == SQLITE_DONE;
    if (!done) SqliteError();
    stmt.Reset();
    return done;
}

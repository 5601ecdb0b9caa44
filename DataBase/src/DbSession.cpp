#include "DbSession.h"

#include <sqlite3.h>

#include "SqliteText.h"

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        Release();
        stmt = std::exchange(other.stmt, nullptr);
        kept = std::exchange(other.kept, nullptr);
        failed = std::exchange(other.failed, nullptr);
    }
    return *this;
}

void Statement::Release() {
    if (stmt == nullptr) return;
    if (kept != nullptr) {
        // Reset ends its read; cleared bindings leave no pointer into the caller's strings.
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        *kept = false;
    } else {
        sqlite3_finalize(stmt);
    }
    stmt = nullptr;
}

void Statement::Bind(int index, int value) { sqlite3_bind_int(stmt, index, value); }
void Statement::Bind(int index, long long value) { sqlite3_bind_int64(stmt, index, value); }
void Statement::Bind(int index, const std::wstring& text) { SqliteText::Bind(stmt, index, text); }
void Statement::Bind(int index, const Bytes& blob) {
    sqlite3_bind_blob(stmt, index, blob.data, blob.bytes, SQLITE_STATIC);
}

int Statement::Step() {
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE && failed != nullptr) *failed = true;
    return rc;
}
bool Statement::NextRow() { return Step() == SQLITE_ROW; }
void Statement::Reset() { sqlite3_reset(stmt); }

int Statement::Int(int column) const { return sqlite3_column_int(stmt, column); }
long long Statement::Int64(int column) const { return sqlite3_column_int64(stmt, column); }
std::wstring Statement::Text(int column) const { return SqliteText::Column(stmt, column); }
int Statement::CopyText(int column, wchar_t (&dest)[kRecordTextUnits]) const {
    return SqliteText::CopyColumn(stmt, column, dest, kRecordTextUnits);
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
void DbSession::SqliteError() const {
    failed = true;
    Error(std::string("SQLite error:") + sqlite3_errmsg(db));
}
void DbSession::SqliteError(const std::string& phrase, int code) const {
    failed = true;
    Error("SQLite error:" + phrase + std::to_string(code) + ",reason:" + sqlite3_errmsg(db));
}

bool DbSession::Initialised(const char* notInitMessage) const {
    if (manager.isInit.load()) return true;
    Error(notInitMessage);
    return false;
}

bool DbSession::OpenKept(PooledConnection::Kind kind) {
    DbConnectionPool& pool = manager.Connections();
    if (kind == PooledConnection::Kind::Write) {
        writerTurn = pool.WaitForWriterTurn();
        if (!writerTurn) {
            // As a write that waited out the busy handler on another process's lock.
            failed = true;
            Error("SQLite error:database is locked");
            return false;
        }
    }
    std::string folder;
    Db::GetDataFolder(folder);
    kept = pool.Lend(kind, Db::MainDbPath(folder), &db, opened);
    return db != nullptr;
}

void DbSession::Close() {
    if (kept != nullptr) {
        if (failed) kept->MarkFailed();
        db = nullptr;
        manager.Connections().Give(std::move(kept));
    } else if (db != nullptr) {
        Db::CloseConnection(std::exchange(db, nullptr));
    }
    writerTurn = WriterTurn();
}

Statement DbSession::Prepare(const std::string& sql, int* resultCode) const {
    sqlite3_stmt* stmt = nullptr;
    bool* inUse = nullptr;
    int rc = SQLITE_OK;
    if (kept != nullptr) {
        stmt = kept->Prepare(sql, rc, inUse);
    } else {
        rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    }
    if (resultCode != nullptr) *resultCode = rc;
    if (stmt == nullptr) failed = true;
    return Statement(stmt, inUse, &failed);
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
    bool done = Db::StepWrite(stmt.get(), db, operation);
    if (!done) failed = true;
    return done;
}

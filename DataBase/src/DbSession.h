// The per-operation helper. Every public operation of DataBaseManager reads as its description:
//
//     DbSession session(*this, "UpdateTaskStatus");
//     session.Info("start UpdateTaskStatus");
//     if (!session.Initialised("UpdateTaskStatus sql is not init")) return;
//     if (!session.OpenWrite()) return;
//     Statement stmt = session.Prepare(kUpdateTaskStatusSql);
//     if (!stmt) return;
//     stmt.BindAll(task.status, task.taskID);
//     session.StepWrite(stmt);
//
// The session owns the connection and closes it through CloseDb when it goes out of scope; a
// Statement owns its sqlite3_stmt and finalizes it. Declared after the session, a statement is
// always finalized before the connection is closed.
#pragma once

#include <string>
#include <utility>

#include "DataBaseManager.h"
#include "VtLogger.h"

namespace Db {
constexpr int kTextUnits = kRecordTextUnits;

// Hands one line in the library's format, "[DATABASE]message(DataBaseManager::operation)", to
// the logger.
void LogLine(LOG_MESSAGE_LEVEL level, const std::string& message, const char* operation);
}  // namespace Db

class Statement {
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt* stmt) : stmt(stmt) {}
    Statement(Statement&& other) noexcept : stmt(std::exchange(other.stmt, nullptr)) {}
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    explicit operator bool() const { return stmt != nullptr; }
    sqlite3_stmt* get() const { return stmt; }

    void Bind(int index, int value);
    void Bind(int index, long long value);
    void Bind(int index, const std::wstring& text);  // the text must outlive the step
    // Where wchar_t is UTF-16 the text is bound in place: a temporary would dangle by the step.
    void Bind(int index, std::wstring&& text) = delete;
    void BindBlob(int index, const void* data, int bytes);
    // Binds the values to parameters 1, 2, 3, ... in order.
    template <class... Values>
    void BindAll(const Values&... values) {
        int index = 0;
        (Bind(++index, values), ...);
    }

    int Step();  // sqlite3_step's result
    void Reset();

    int Int(int column) const;
    long long Int64(int column) const;
    std::wstring Text(int column) const;
    // Copies the column into a fixed field (wcsncpy_s, 511 units); returns the error number.
    int CopyText(int column, wchar_t (&dest)[Db::kTextUnits]) const;
    // The column's bytes, null when it holds none.
    const void* Blob(int column, int& bytes) const;

private:
    sqlite3_stmt* stmt = nullptr;
};

class DbSession {
public:
    DbSession(DataBaseManager& manager, const char* operation)
        : manager(manager), operation(operation) {}
    DbSession(const DbSession&) = delete;
    DbSession& operator=(const DbSession&) = delete;
    ~DbSession() { Close(); }

    void Info(const std::string& message) const;
    void Error(const std::string& message) const;
    // "SQLite error:" followed by the connection's message.
    void SqliteError() const;
    // "SQLite error:" + phrase + code + ",reason:" + the connection's message.
    void SqliteError(const std::string& phrase, int code) const;

    // False, after logging `notInitMessage`, while the manager is not initialised.
    bool Initialised(const char* notInitMessage) const;
    bool Initialised() const { return manager.isInit.load(); }

    // Open this operation's connection: every writer carries the busy handler, so that a write
    // that meets another writer waits instead of losing its row. True when a handle exists (a
    // failed open may still leave one; the prepare then fails and the session closes it).
    bool OpenWrite() { return Keep(manager.ConnectDb(&db, true, DB_TYPE_MIGRATION, false)); }
    bool OpenCache() { return Keep(manager.ConnectDb(&db, true, DB_TYPE_MIGRATION, true)); }
    bool OpenRead() { return Keep(manager.ConnectDbReadonly(&db, DB_TYPE_MIGRATION)); }
    sqlite3* Db() const { return db; }
    // Whether the open itself succeeded (a failed open may still have left a handle).
    bool Opened() const { return opened; }
    void Close();

    // Prepares on this session's connection; an empty statement when it does not prepare.
    Statement Prepare(const std::string& sql, int* resultCode = nullptr) const;
    // As Prepare, for a write: a statement that does not prepare on an open connection (a full
    // disk, a table of another layout) is logged, so that no write is lost without a line.
    Statement PrepareWrite(const std::string& sql) const;
    // Opens a read-only connection and reads column 0 of the last row of `sql` as a 32-bit
    // integer; 0 when there is no row or the read fails.
    int ReadInt(const std::string& sql);
    // Steps a writing statement once, logs a step that is not done, and resets it.
    bool StepWrite(Statement& stmt) const;

    int Execute(const std::string& sql) { return manager.ExecuteNoQuerySqlCmd(db, sql); }
    bool Begin() { return manager.BeginTransaction(db); }
    bool Commit() { return manager.CommitTransaction(db); }

    DataBaseManager& Manager() const { return manager; }

private:
    bool Keep(bool succeeded) {
        opened = succeeded;
        return db != nullptr;
    }

    DataBaseManager& manager;
    const char* operation;
    sqlite3* db = nullptr;
    bool opened = false;
};

// Fills at most `capacity` elements of a caller's array from the statement's rows, calling
// fill(row index) for each; returns how many were filled. Elements past them stay untouched.
template <class Fill>
int FillRows(Statement& stmt, int capacity, Fill&& fill) {
    int filled = 0;
    while (filled < capacity && stmt.Step() == 100 /* SQLITE_ROW */) {
        fill(filled);
        ++filled;
    }
    return filled;
}

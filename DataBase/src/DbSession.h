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
// The session is one call of the library (DbCall): its log lines reach the logger when it ends,
// after its locks are released. It borrows a kept connection to the migration database
// (DbConnections.h) and gives it back when it goes out of scope; a connection to the cache database
// is its own and is closed through CloseDb. A Statement gives a kept statement back, reset and with
// its bindings cleared, and finalizes any other. Declared after the session, a statement is always
// given back or finalized before its connection.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "DataBaseManager.h"
#include "DbConnections.h"
#include "DbLog.h"

// Raw bytes, bound as a blob; they must outlive the step.
struct Bytes {
    const void* data;
    int bytes;
};

class Statement {
public:
    Statement() = default;
    // `kept`: the in-use flag of a kept statement, which is given back instead of finalized.
    // `failed`: set when a step fails.
    explicit Statement(sqlite3_stmt* stmt, bool* kept = nullptr, bool* failed = nullptr)
        : stmt(stmt), kept(kept), failed(failed) {}
    Statement(Statement&& other) noexcept
        : stmt(std::exchange(other.stmt, nullptr)),
          kept(std::exchange(other.kept, nullptr)),
          failed(std::exchange(other.failed, nullptr)) {}
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { Release(); }

    explicit operator bool() const { return stmt != nullptr; }
    sqlite3_stmt* get() const { return stmt; }

    void Bind(int index, int value);
    void Bind(int index, long long value);
    void Bind(int index, const std::wstring& text);  // the text must outlive the step
    // Where wchar_t is UTF-16 the text is bound in place: a temporary would dangle by the step.
    void Bind(int index, std::wstring&& text) = delete;
    void Bind(int index, const Bytes& blob);
    // Binds the values to parameters 1, 2, 3, ... in order.
    template <class... Values>
    void BindAll(const Values&... values) {
        int index = 0;
        (Bind(++index, values), ...);
    }

    int Step();      // sqlite3_step's result
    bool NextRow();  // steps; true when a row is ready
    void Reset();

    int Int(int column) const;
    long long Int64(int column) const;
    std::wstring Text(int column) const;
    // Copies the column into a fixed field (wcsncpy_s, 511 units); returns the error number.
    int CopyText(int column, wchar_t (&dest)[kRecordTextUnits]) const;
    // The column's bytes, null when it holds none.
    const void* Blob(int column, int& bytes) const;

private:
    void Release();

    sqlite3_stmt* stmt = nullptr;
    bool* kept = nullptr;
    bool* failed = nullptr;
};

class DbSession {
public:
    DbSession(DataBaseManager& manager, const char* operation)
        : manager(manager), call(manager.Connections()), operation(operation) {}
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
    // failed open may still leave one; the prepare then fails and the session closes it). The
    // writers of this process take turns for the whole session; one whose turn does not come
    // within the busy handler's time fails as a write that finds the database locked.
    bool OpenWrite() { return OpenKept(PooledConnection::Kind::Write); }
    bool OpenRead() { return OpenKept(PooledConnection::Kind::Read); }
    bool OpenCache() { return NoteOpen(Db::OpenCacheDb(&db, true)); }
    sqlite3* Db() const { return db; }
    // Whether the open itself succeeded (a failed open may still have left a handle).
    bool Opened() const { return opened; }
    void Close();

    // Prepares on this session's connection (or takes the connection's kept statement for the
    // text); an empty statement when it does not prepare.
    Statement Prepare(const std::string& sql, int* resultCode = nullptr) const;
    // As Prepare, for a write: a statement that does not prepare on an open connection (a full
    // disk, a table of another layout) is logged, so that no write is lost without a line.
    Statement PrepareWrite(const std::string& sql) const;
    // Opens a read-only connection and reads column 0 of the last row of `sql` as a 32-bit
    // integer; 0 when there is no row or the read fails.
    int ReadInt(const std::string& sql);
    // Steps a writing statement once, logs a step that is not done, and resets it.
    bool StepWrite(Statement& stmt) const;

    // On this session's write connection (OpenWrite first): one statement, prepared (a statement
    // that does not prepare is logged), bound with `values` in order and stepped once. False when
    // nothing was written.
    template <class... Values>
    bool Write(const std::string& sql, const Values&... values) {
        Statement stmt = PrepareWrite(sql);
        if (!stmt) return false;
        stmt.BindAll(values...);
        return StepWrite(stmt);
    }
    // The bulk form: the statement stepped once for each row, bound by bindRow(stmt, row); a row
    // that fails is logged and the others still land. False when the statement did not prepare.
    template <class Rows, class BindRow>
    bool WriteRows(const std::string& sql, const Rows& rows, BindRow&& bindRow) {
        Statement stmt = PrepareWrite(sql);
        if (!stmt) return false;
        for (const auto& row : rows) {
            bindRow(stmt, row);
            StepWrite(stmt);
        }
        return true;
    }

    int Execute(const std::string& sql) { return Db::Execute(db, sql); }
    bool Begin() { return Db::Begin(db); }
    bool Commit() { return Db::Commit(db); }

    DataBaseManager& Manager() const { return manager; }

private:
    bool NoteOpen(bool succeeded) {
        opened = succeeded;
        return db != nullptr;
    }
    bool OpenKept(PooledConnection::Kind kind);

    DataBaseManager& manager;
    DbCall call;  // first in, last out: the lines wait until everything below is released
    const char* operation;
    sqlite3* db = nullptr;
    bool opened = false;
    std::unique_ptr<PooledConnection> kept;  // owns db when set
    WriterTurn writerTurn;
    mutable bool failed = false;  // an error met here: the connection is closed, not kept
};

// The texts of an operation that writes one statement: its name, its start line (null: none),
// its not-initialised line and its statement.
struct WriteOperation {
    const char* operation;
    const char* startLine;
    const char* notInitMessage;
    const char* sql;
};

// The whole course of such an operation: the start line, the initialised test, then the statement
// on a write connection, bound with `values` and stepped once.
template <class... Values>
void RunWrite(DataBaseManager& manager, const WriteOperation& write, const Values&... values) {
    DbSession session(manager, write.operation);
    if (write.startLine != nullptr) session.Info(write.startLine);
    if (!session.Initialised(write.notInitMessage) || !session.OpenWrite()) return;
    session.Write(write.sql, values...);
}

// Fills at most `capacity` elements of a caller's array from the statement's rows, calling
// fill(row index) for each; returns how many were filled. Elements past them stay untouched.
template <class Fill>
int FillRows(Statement& stmt, int capacity, Fill&& fill) {
    int filled = 0;
    while (filled < capacity && stmt.NextRow()) {
        fill(filled);
        ++filled;
    }
    return filled;
}

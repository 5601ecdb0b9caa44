// The baselines' tools: the same work written straight against SQLite's C interface, with the
// project's pinned SQLite linked into the benchmark (a copy apart from the library's own). Thin
// owners of a connection and a statement, and the text conversion that any program with a
// 32-bit wchar_t does before SQLite sees its wide text.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace raw {

// The open flags of the library's connections: read-write or read-only, without SQLite's
// per-connection mutex.
constexpr int kReadWrite = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
constexpr int kReadOnly = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;

// UTF-32 to UTF-8 and back through the library's own codec, as its binds and reads convert; what
// is not a character becomes U+FFFD. FromUtf8 stops after
// `maxUnits` characters.
std::string ToUtf8(const wchar_t* text, size_t length);
std::wstring FromUtf8(const unsigned char* text, size_t bytes,
                      size_t maxUnits = std::wstring::npos);

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void Bind(int index, int value) { sqlite3_bind_int(stmt, index, value); }
    void Bind(int index, long long value) { sqlite3_bind_int64(stmt, index, value); }
    // Up to its first 0 character, as the library binds wide text; converted, and copied by
    // SQLite.
    void Bind(int index, const std::wstring& text);

    int Step() { return sqlite3_step(stmt); }
    // Steps a write once; a step that is not done is counted, as the library logs it.
    void StepWrite();
    void Reset() { sqlite3_reset(stmt); }

    int Int(int column) const { return sqlite3_column_int(stmt, column); }
    long long Int64(int column) const { return sqlite3_column_int64(stmt, column); }
    std::wstring Text(int column) const;
    // At most units - 1 characters, always terminated.
    void CopyText(int column, wchar_t* dest, size_t units) const;

private:
    sqlite3_stmt* stmt = nullptr;
};

class Connection {
public:
    // Opens with `flags`, with the settings the library gives each of its connections (the
    // synchronous level of SetSynchronous, NORMAL by default, and the log's size limit) and a
    // busy handler as the library's connections carry one.
    Connection(const std::filesystem::path& file, int flags);
    ~Connection() { sqlite3_close_v2(db); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* get() const { return db; }
    void Exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
    void Begin() { Exec("begin transaction;"); }
    void Commit() { Exec("commit transaction;"); }

private:
    sqlite3* db = nullptr;
};

// The transactions of a bulk write, as the library commits them: one is begun at the start and
// committed, and another begun, as soon as it holds more than 10,000 rows (10,001 a batch).
class Batches {
public:
    explicit Batches(Connection& db) : db(db) { db.Begin(); }
    void RowDone() {
        if (++rows > 10000) {
            db.Commit();
            db.Begin();
            rows = 0;
        }
    }
    void Finish() { db.Commit(); }

private:
    Connection& db;
    int rows = 0;
};

// Rows the baseline wrote or read that SQLite refused; the harness reports a baseline that
// failed instead of timing a no-op.
size_t FailedSteps();

// The same multi-thread mode that the library asks of its SQLite.
void Configure();

// The synchronous level ("off", "normal", "full", "extra") that every baseline connection sets;
// NORMAL, the library's own, unless set. False for a name SQLite does not know.
bool SetSynchronous(const std::string& level);
// The level a read-write baseline connection to `file` (a WAL database) ends up with, as
// PRAGMA synchronous reads it after the first read: 0 off, 1 normal, 2 full, 3 extra.
int EffectiveSynchronous(const std::filesystem::path& file);
std::string SynchronousName(int level);

}  // namespace raw

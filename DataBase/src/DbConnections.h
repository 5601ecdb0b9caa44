// Connections to the migration database, opened and closed here, and kept open from one
// operation to the next. Opening a connection per call cost more than the call's own write: the
// open, the prepare, and, since the close of the last connection checkpoints and deletes the
// write-ahead log, a log rebuilt for every call. The pool therefore keeps its idle connections
// with their prepared statements and hands each to one operation at a time.
//
// What peers see stays what a connection per call gave them:
// - Idle for a second (kIdleTime), the kept connections are closed, read-only ones first, so the
//   last close checkpoints the log and removes it: between bursts of work the library holds no
//   file, and the folder holds one corvanel.db, as a fresh process would find it.
// - Before a fork, the calls under way finish and every kept connection is closed: the child
//   inherits no connection, nor SQLite's record of its locks, and both processes open anew.
// - A writer waits for another writer of this process as long as the busy handler would let it
//   wait for another process, then fails as a busy write does.
//
// A kept connection is used again only while the file at the database's path is still the file
// it has open and the write-ahead log beside it is still the one it wrote: a database deleted or
// replaced while the process runs, or a log that another copy of SQLite in this process
// checkpointed and removed, sends the next operation to a fresh connection, as a fresh start
// would.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "DbLocations.h"
#include "DbLog.h"
#include "Platform.h"
#include "PlatformThreads.h"

struct sqlite3;
struct sqlite3_stmt;

// The connection primitives, with their log lines under the manager's operation names.
namespace Db {
// Opens `path` with SQLite's open `flags` into *db, with the busy handler when asked, and the
// durability every connection of the library runs with; logs a failure as `operation`.
bool OpenConnection(const std::string& path, sqlite3** db, int flags, bool setBusyHandler,
                    const char* operation);
// Opens the migration database at `path` as ConnectDb (or, read-only, ConnectDbReadonly) does,
// with their log lines and the busy handler.
bool OpenMainDb(const std::string& path, bool readOnly, sqlite3** db);
// Opens the cache database in the data folder, read-write, as ConnectDb does for it.
bool OpenCacheDb(sqlite3** db, bool setBusyHandler);
// Closes as CloseDb does, with its log line.
bool CloseConnection(sqlite3* db);
// Runs statement text that returns no rows as ExecuteNoQuerySqlCmd does: a busy database is
// tried four times in all, with pauses of 500 ms; returns SQLite's result code.
int Execute(sqlite3* db, const std::string& sql);
// Steps a bound writing statement once, logs a step that is not done ("SQLite error:" and the
// connection's message) as `operation`, and resets it for the next row. True when done.
bool StepWrite(sqlite3_stmt* stmt, sqlite3* db, const char* operation);
// Begins or commits a transaction as BeginTransaction and CommitTransaction do.
bool Begin(sqlite3* db);
bool Commit(sqlite3* db);
}  // namespace Db

// One kept connection with its prepared statements. Used by one thread at a time.
class PooledConnection {
public:
    enum class Kind { Write, Read };

    PooledConnection(sqlite3* db, Kind kind, std::string path);
    PooledConnection(const PooledConnection&) = delete;
    PooledConnection& operator=(const PooledConnection&) = delete;
    // Finalizes the statements, then closes the connection.
    ~PooledConnection();

    sqlite3* Db() const { return db; }
    Kind GetKind() const { return kind; }
    const std::string& Path() const { return path; }

    // A statement for `sql`: a kept one when a free one exists, otherwise a new one, kept when
    // there is room. Null, with SQLite's result in *resultCode, when it does not prepare.
    // Sets *inUse to point at the kept statement's flag (null for one that is not kept).
    sqlite3_stmt* Prepare(const std::string& sql, int& resultCode, bool*& inUse);

    // An operation on this connection met an error: it is closed, not kept.
    void MarkFailed() { failed = true; }

    // Ends what the operation left open (a transaction it did not commit is rolled back, as a
    // close would) and notes the log beside the database. False when it must not be kept.
    bool Settle();
    // Whether the files at the path are still the ones this connection works on.
    bool StillCurrent() const;
    // The database at the path is another file than the one open here (deleted, replaced).
    bool DatabaseMoved() const;
    // The log at the path is the one this connection wrote beside its database.
    bool OwnsLogAtPath() const;
    // Closes without the checkpoint of a last close: the files at the path are no longer this
    // connection's, and a checkpoint, or the log's removal after it, would reach another
    // database's files.
    void Abandon();

private:
    struct KeptStatement {
        std::string sql;
        sqlite3_stmt* stmt;
        bool inUse;
        unsigned long long lastUse;
    };

    sqlite3* db;
    Kind kind;
    std::string path;
    Platform::FileId log;  // the write-ahead log beside the database when last settled
    bool settled = false;
    bool failed = false;
    unsigned long long uses = 0;
    std::vector<std::unique_ptr<KeptStatement>> statements;
};

class DbConnectionPool;

// One call of the library on this thread, from its first log line to its last. The outermost one
// on a thread holds the thread's log lines until it ends (DbLog.h), and keeps a fork waiting
// until it has ended.
class DbCall {
public:
    explicit DbCall(DbConnectionPool& pool);
    ~DbCall();
    DbCall(const DbCall&) = delete;
    DbCall& operator=(const DbCall&) = delete;

private:
    Db::HeldLines lines;        // handed over after the call has left every lock
    DbConnectionPool* entered;  // null for a call inside another one
};

// A writer's turn among this process's writers, held for its whole operation; empty when it did
// not come in time.
class WriterTurn {
public:
    WriterTurn() = default;
    WriterTurn(WriterTurn&& other) noexcept : pool(std::exchange(other.pool, nullptr)) {}
    WriterTurn& operator=(WriterTurn&& other) noexcept;
    WriterTurn(const WriterTurn&) = delete;
    WriterTurn& operator=(const WriterTurn&) = delete;
    ~WriterTurn() { End(); }
    explicit operator bool() const { return pool != nullptr; }

private:
    friend class DbConnectionPool;
    explicit WriterTurn(DbConnectionPool* pool) : pool(pool) {}
    void End();
    DbConnectionPool* pool = nullptr;
};

// The connections of one process, kept while they are used.
class DbConnectionPool {
public:
    // Idle for this long, the kept connections are closed.
    static constexpr std::chrono::milliseconds kIdleTime{1000};

    DbConnectionPool();
    DbConnectionPool(const DbConnectionPool&) = delete;
    DbConnectionPool& operator=(const DbConnectionPool&) = delete;
    ~DbConnectionPool();

    // A connection of `kind` to the database at `path`: a kept one when one is still current,
    // otherwise a new one (*opened false, with the open's line logged, when it failed; SQLite may
    // still have left a handle, returned then without being kept).
    std::unique_ptr<PooledConnection> Lend(PooledConnection::Kind kind, const std::string& path,
                                           sqlite3** db, bool& opened);
    // Keeps a lent connection for a later operation, or closes it.
    void Give(std::unique_ptr<PooledConnection> connection);

    // Waits for this writer's turn as the busy handler waits for a lock; empty when it did not
    // come in that time.
    WriterTurn WaitForWriterTurn();

    // Closes every idle connection at once.
    void CloseAll();
    // At the end of the process: stops letting go in the background, closes the idle connections
    // and closes every connection given back later.
    void Shutdown();

private:
    friend class DbCall;
    friend class WriterTurn;
    using Clock = std::chrono::steady_clock;

    // The fork handlers: the calls under way finish, the kept connections close; afterwards
    // both processes go on with an empty pool.
    static void BeforeFork();
    static void AfterForkInParent();
    static void AfterForkInChild();

    void Enter();
    void Leave();
    void EndWriterTurn();
    // The background thread's body: closes the kept connections once the pool has been idle for
    // kIdleTime, and ends when none is kept.
    static void LetGoWhenIdle(void* pool);
    void StopLettingGo();

    // Calls under way, and a fork waiting for them. Rebuilt in a forked child, where the threads
    // that waited here in the parent do not exist.
    struct Gate {
        Platform::Mutex mutex;
        Platform::CondVar changed{&mutex};
        int calls GUARDED_BY(mutex) = 0;
        bool forking GUARDED_BY(mutex) = false;
    };
    Gate gate;

    // Whether a writer of this process has its turn. The writers' turns order writes; they are
    // rebuilt in a forked child with the gate.
    struct Turns {
        Platform::Mutex mutex;
        Platform::CondVar ended{&mutex};
        bool taken GUARDED_BY(mutex) = false;
    };
    Turns turns;

    Platform::Mutex mutex;
    Platform::CondVar wakeLetGo{&mutex};
    std::vector<std::unique_ptr<PooledConnection>> idle GUARDED_BY(mutex);
    int lent GUARDED_BY(mutex) = 0;
    Clock::time_point lastGiven GUARDED_BY(mutex);
    bool lettingGo GUARDED_BY(mutex) = false;  // the background thread runs
    bool stopping GUARDED_BY(mutex) = false;   // a fork or the end: no letting go now
    bool shut GUARDED_BY(mutex) = false;       // the end: nothing is kept any more
    // Started and joined under `mutex` while not stopping; joined by StopLettingGo once stopping.
    Platform::BackgroundThread letGo;
};

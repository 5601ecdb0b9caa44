// The migration database's connections, kept open from one operation to the next. Opening a
// connection per call cost more than the call's own write: the open, the prepare, and, since the
// close of the last connection checkpoints and deletes the write-ahead log, a log rebuilt for
// every call. The manager therefore keeps its idle connections with their prepared statements,
// hands each to one operation at a time, and closes them when the process ends.
//
// A kept connection is used again only while the file at the database's path is still the file
// it has open and the write-ahead log beside it is still the one it wrote: a database deleted or
// replaced while the process runs, or a log that another copy of SQLite in this process
// checkpointed and removed, sends the next operation to a fresh connection, as a fresh start
// would.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform.h"

struct sqlite3;
struct sqlite3_stmt;

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

// The idle connections of one process. A forked child starts a pool of its own and leaves its
// parent's connections alone.
class DbConnectionPool {
public:
    // `parents`: the pool of the process this one was forked from, kept, never used.
    explicit DbConnectionPool(DbConnectionPool* parents);
    DbConnectionPool(const DbConnectionPool&) = delete;
    DbConnectionPool& operator=(const DbConnectionPool&) = delete;
    ~DbConnectionPool();  // closes the idle connections; the last close checkpoints the log

    unsigned long Owner() const { return owner; }

    // An idle connection of `kind` to the file at `path` that is still current, or null.
    std::unique_ptr<PooledConnection> Take(PooledConnection::Kind kind, const std::string& path);
    // Keeps a connection for a later operation, or closes it.
    void Give(std::unique_ptr<PooledConnection> connection);
    // Closes every idle connection.
    void CloseAll();

    // Writers of this process wait for each other here, briefly, instead of meeting at the
    // database's write lock, where SQLite's busy handler would pause them for 10 to 100 ms.
    std::mutex& Writers() { return writers; }

private:
    const unsigned long owner;
    [[maybe_unused]] DbConnectionPool* const
        parents;  // keeps them reachable, for leak checkers too
    std::mutex writers;
    std::mutex mutex;  // guards idle
    std::vector<std::unique_ptr<PooledConnection>> idle;
};

#include "DbConnections.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <thread>

#include "DbBusyHandler.h"

namespace {
// Enough for the operations that run at the same moment in a busy host; more are closed when
// they come back.
constexpr size_t kIdleConnections = 8;
// The operations' fixed texts, with room for queries that end in a task id.
constexpr size_t kKeptStatements = 24;

constexpr int kOpenReadWrite = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;  // 0x8002
constexpr int kOpenReadOnly = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;    // 0x8001

// A commit survives the application's crash and nothing corrupts; a power cut may lose the last
// commits, which a resume does again (FULL cost a sync of the log per write). A log that one
// large transaction grew is cut back to 16 MiB when it starts over. Set at every open, so that a
// build against the system's SQLite runs the same as one with the bundled SQLite.
const char* const kConnectionSettings =
    "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=16777216;";

constexpr int kExecuteRuns = 4;
constexpr auto kExecutePause = std::chrono::milliseconds(500);

std::string LogPath(const std::string& path) { return path + "-wal"; }

bool RunTransactionStatement(sqlite3* db, const char* sql, const char* failure,
                             const char* operation) {
    if (db == nullptr) return false;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    Db::LogLine(LOG_LEVEL_ERROR,
                std::string("SQLite error:") + failure + std::to_string(rc) +
                    ",reason:" + sqlite3_errmsg(db),
                operation);
    return false;
}

// Closes the connections, the read-only ones first: the last close checkpoints the log into the
// database and removes it, which needs a connection that may write.
void CloseInOrder(std::vector<std::unique_ptr<PooledConnection>>& connections) {
    std::stable_partition(connections.begin(), connections.end(), [](const auto& connection) {
        return connection->GetKind() == PooledConnection::Kind::Read;
    });
    for (auto& connection : connections) connection.reset();
    connections.clear();
}

// The pool the fork handlers act on.
std::atomic<DbConnectionPool*> livePool{nullptr};
// The outermost call of this thread, if any.
thread_local DbCall* currentCall = nullptr;
}  // namespace

namespace Db {

bool OpenConnection(const std::string& path, sqlite3** db, int flags, bool setBusyHandler,
                    const char* operation) {
    auto logError = [operation](const std::string& text) {
        LogLine(LOG_LEVEL_ERROR, "SQLite error:" + text, operation);
    };
    if (path.empty()) {
        *db = nullptr;
        logError("Open database failed,error code is " + std::to_string(SQLITE_CANTOPEN));
        return false;
    }
    int rc = sqlite3_open_v2(path.c_str(), db, flags, nullptr);
    if (rc != SQLITE_OK) {
        logError("Open database failed,error code is " + std::to_string(rc));
        return false;
    }
    sqlite3_exec(*db, kConnectionSettings, nullptr, nullptr, nullptr);
    if (setBusyHandler) {
        rc = sqlite3_busy_handler(*db, DbBusyHandler, *db);
        if (rc != SQLITE_OK) {
            logError("Set busy handler error,error code is " + std::to_string(rc) +
                     ",reason:" + sqlite3_errmsg(*db));
        }
    }
    return true;
}

bool OpenMainDb(const std::string& path, bool readOnly, sqlite3** db) {
    return readOnly ? OpenConnection(path, db, kOpenReadOnly, true, "ConnectDbReadonly")
                    : OpenConnection(path, db, kOpenReadWrite, true, "ConnectDb");
}

bool OpenCacheDb(sqlite3** db, bool setBusyHandler) {
    std::string folder;
    GetDataFolder(folder);
    LogLine(LOG_LEVEL_INFO, "connect cache DB", "ConnectDb");
    return OpenConnection(CacheDbPath(folder), db, kOpenReadWrite, setBusyHandler, "ConnectDb");
}

bool CloseConnection(sqlite3* db) {
    if (db == nullptr) return true;
    int rc = sqlite3_close_v2(db);
    if (rc == SQLITE_OK) return true;
    LogLine(LOG_LEVEL_ERROR,
            "SQLite error:Close database failed,error code is " + std::to_string(rc), "CloseDb");
    return false;
}

int Execute(sqlite3* db, const std::string& sql) {
    if (db == nullptr) return SQLITE_ERROR;
    auto run = [&] { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); };
    // A busy database: once more at once, then up to three pauses of 500 ms, four runs in all.
    int rc = run();
    for (int runs = 1; rc == SQLITE_BUSY && runs < kExecuteRuns; ++runs) {
        if (runs > 1) std::this_thread::sleep_for(kExecutePause);
        rc = run();
    }
    if (rc == SQLITE_BUSY) std::this_thread::sleep_for(kExecutePause);
    if (rc == SQLITE_OK) return SQLITE_OK;
    LogLine(LOG_LEVEL_ERROR,
            "SQLite error:ExecuteNoQuerySqlCmd failed,error code is " + std::to_string(rc) +
                ",reason:" + sqlite3_errmsg(db),
            "ExecuteNoQuerySqlCmd");
    return rc;
}

bool StepWrite(sqlite3_stmt* stmt, sqlite3* db, const char* operation) {
    bool done = sqlite3_step(stmt) == SQLITE_DONE;
    if (!done)
        LogLine(LOG_LEVEL_ERROR, std::string("SQLite error:") + sqlite3_errmsg(db), operation);
    sqlite3_reset(stmt);
    return done;
}

bool Begin(sqlite3* db) {
    return RunTransactionStatement(db, "begin transaction;",
                                   "Begin transaction failed,error code is ", "BeginTransaction");
}

bool Commit(sqlite3* db) {
    return RunTransactionStatement(db, "commit transaction;",
                                   "Commit transaction failed,error code is ", "CommitTransaction");
}
}  // namespace Db

// Kept connections.

PooledConnection::PooledConnection(sqlite3* db, Kind kind, std::string path)
    : db(db), kind(kind), path(std::move(path)) {}

PooledConnection::~PooledConnection() {
    if (DatabaseMoved() || (settled && !OwnsLogAtPath())) Abandon();
    for (auto& kept : statements) sqlite3_finalize(kept->stmt);
    statements.clear();
    Db::CloseConnection(db);
}

sqlite3_stmt* PooledConnection::Prepare(const std::string& sql, int& resultCode, bool*& inUse) {
    ++uses;
    inUse = nullptr;
    for (auto& kept : statements) {
        if (!kept->inUse && kept->sql == sql) {
            kept->inUse = true;
            kept->lastUse = uses;
            inUse = &kept->inUse;
            resultCode = SQLITE_OK;
            return kept->stmt;
        }
    }
    sqlite3_stmt* stmt = nullptr;
    resultCode = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (stmt == nullptr) return nullptr;
    if (statements.size() >= kKeptStatements) {
        // The least recently used free statement makes room; with all in use, this one is not
        // kept.
        auto oldest = statements.end();
        for (auto it = statements.begin(); it != statements.end(); ++it) {
            if (!(*it)->inUse &&
                (oldest == statements.end() || (*it)->lastUse < (*oldest)->lastUse)) {
                oldest = it;
            }
        }
        if (oldest == statements.end()) return stmt;
        sqlite3_finalize((*oldest)->stmt);
        statements.erase(oldest);
    }
    statements.push_back(std::make_unique<KeptStatement>(KeptStatement{sql, stmt, true, uses}));
    inUse = &statements.back()->inUse;
    return stmt;
}

bool PooledConnection::Settle() {
    if (failed) return false;
    if (sqlite3_get_autocommit(db) == 0 &&
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    log = Platform::IdentifyFile(LogPath(path));
    settled = true;
    // Tested after the log is noted: a log noted beside an unmoved database is this one's.
    return !DatabaseMoved();
}

bool PooledConnection::StillCurrent() const { return !DatabaseMoved() && OwnsLogAtPath(); }

bool PooledConnection::DatabaseMoved() const {
    int moved = 0;
    return sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
           moved != 0;
}

bool PooledConnection::OwnsLogAtPath() const {
    return settled && Platform::IdentifyFile(LogPath(path)) == log;
}

void PooledConnection::Abandon() {
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

// Calls.

DbCall::DbCall(DbConnectionPool& pool) : entered(nullptr) {
    if (currentCall != nullptr) return;
    pool.Enter();
    entered = &pool;
    currentCall = this;
}

DbCall::~DbCall() {
    if (entered == nullptr) return;
    currentCall = nullptr;
    entered->Leave();
}

void DbConnectionPool::Enter() {
    Platform::MutexLock lock(&gate.mutex);
    while (gate.forking) gate.changed.Wait();
    ++gate.calls;
}

void DbConnectionPool::Leave() {
    Platform::MutexLock lock(&gate.mutex);
    if (--gate.calls == 0 && gate.forking) gate.changed.SignalAll();
}

// The pool.

DbConnectionPool::DbConnectionPool() {
    static std::once_flag handlersRegistered;
    std::call_once(handlersRegistered,
                   [] { Platform::AtFork(BeforeFork, AfterForkInParent, AfterForkInChild); });
    livePool = this;
}

DbConnectionPool::~DbConnectionPool() {
    Shutdown();
    DbConnectionPool* self = this;
    livePool.compare_exchange_strong(self, nullptr);
}

std::unique_ptr<PooledConnection> DbConnectionPool::Lend(PooledConnection::Kind kind,
                                                         const std::string& path, sqlite3** db,
                                                         bool& opened) {
    // One of the kind asked for if there is one; otherwise any kept connection to the path still
    // tells whether the files moved before a fresh connection opens them.
    std::unique_ptr<PooledConnection> found;
    {
        Platform::MutexLock lock(&mutex);
        ++lent;
        auto atPath = [&](const auto& c) { return c->Path() == path; };
        auto it = std::find_if(idle.rbegin(), idle.rend(),
                               [&](const auto& c) { return atPath(c) && c->GetKind() == kind; });
        if (it == idle.rend()) it = std::find_if(idle.rbegin(), idle.rend(), atPath);
        if (it != idle.rend()) {
            found = std::move(*it);
            idle.erase(std::next(it).base());
        }
    }
    if (found != nullptr && found->StillCurrent()) {
        if (found->GetKind() == kind) {
            *db = found->Db();
            opened = true;
            return found;
        }
        Platform::MutexLock lock(&mutex);
        idle.push_back(std::move(found));
    } else if (found != nullptr) {
        // The files changed under the kept connections: none of them is used again.
        std::vector<std::unique_ptr<PooledConnection>> stale;
        {
            Platform::MutexLock lock(&mutex);
            stale.swap(idle);
        }
        // A log left beside a database that is no longer there belongs to the old file: the
        // next open would replay its pages into the new one. The old database is gone, and with
        // it what the log held, as when the old file's last connection closes.
        bool removeLog = found->DatabaseMoved() && found->OwnsLogAtPath();
        stale.push_back(std::move(found));
        for (auto& connection : stale) connection->Abandon();
        stale.clear();
        if (removeLog) {
            std::remove(LogPath(path).c_str());
            std::remove((path + "-shm").c_str());
        }
    }
    opened = Db::OpenMainDb(path, kind == PooledConnection::Kind::Read, db);
    if (opened) return std::make_unique<PooledConnection>(*db, kind, path);
    Platform::MutexLock lock(&mutex);
    --lent;  // a handle a failed open left is the session's to close
    return nullptr;
}

void DbConnectionPool::Give(std::unique_ptr<PooledConnection> connection) {
    bool keep = connection->Settle();
    {
        Platform::MutexLock lock(&mutex);
        --lent;
        lastGiven = Clock::now();
        if (keep && !shut && idle.size() < kIdleConnections) {
            idle.push_back(std::move(connection));
            if (!lettingGo && !stopping) {
                letGo.Join();  // one that ended before: at once
                lettingGo = letGo.Start(LetGoWhenIdle, this);
            }
        }
    }
    // Closed here, outside the lock, when it is not kept: never the last connection while others
    // are kept, so it costs no checkpoint.
}

WriterTurn DbConnectionPool::WaitForWriterTurn() {
    Platform::MutexLock lock(&turns.mutex);
    // The busy handler's rounds and pauses, each cut short when the turn comes.
    for (int round = 0;; ++round) {
        Clock::time_point until = Clock::now() + Busy::Pause();
        while (turns.taken && turns.ended.WaitUntil(until)) {
        }
        if (!turns.taken) {
            turns.taken = true;
            return WriterTurn(this);
        }
        if (round >= Busy::kRetries) return WriterTurn();
    }
}

void DbConnectionPool::EndWriterTurn() {
    Platform::MutexLock lock(&turns.mutex);
    turns.taken = false;
    turns.ended.Signal();
}

WriterTurn& WriterTurn::operator=(WriterTurn&& other) noexcept {
    if (this != &other) {
        End();
        pool = std::exchange(other.pool, nullptr);
    }
    return *this;
}

void WriterTurn::End() {
    if (pool != nullptr) std::exchange(pool, nullptr)->EndWriterTurn();
}

void DbConnectionPool::CloseAll() {
    std::vector<std::unique_ptr<PooledConnection>> closing;
    {
        Platform::MutexLock lock(&mutex);
        closing.swap(idle);
    }
    CloseInOrder(closing);
}

void DbConnectionPool::LetGoWhenIdle(void* context) {
    auto* pool = static_cast<DbConnectionPool*>(context);
    Platform::MutexLock lock(&pool->mutex);
    while (!pool->stopping && !pool->idle.empty()) {
        // Woken only by the end or a fork; a busy pool costs its writers one clock read each.
        Clock::time_point due = pool->lastGiven + kIdleTime;
        if (Clock::now() < due || pool->lent > 0) {
            pool->wakeLetGo.WaitUntil(std::max(due, Clock::now() + kIdleTime / 4));
            continue;
        }
        std::vector<std::unique_ptr<PooledConnection>> closing;
        closing.swap(pool->idle);
        pool->mutex.Unlock();
        CloseInOrder(closing);
        pool->mutex.Lock();
    }
    pool->lettingGo = false;
}

void DbConnectionPool::StopLettingGo() {
    {
        Platform::MutexLock lock(&mutex);
        stopping = true;
    }
    wakeLetGo.SignalAll();
    letGo.Join();
    Platform::MutexLock lock(&mutex);
    lettingGo = false;
}

void DbConnectionPool::Shutdown() {
    // A thread that the end of the process stopped while it held the lock (Windows ends the
    // other threads first) must not stop the end: the connections are then left to the system.
    for (int tries = 0; !mutex.TryLock(); ++tries) {
        if (tries == 100) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    shut = true;
    mutex.Unlock();
    StopLettingGo();
    CloseAll();
}

// Fork.

void DbConnectionPool::BeforeFork() {
    DbConnectionPool* pool = livePool.load();
    if (pool == nullptr) return;
    {
        // The forking thread's own call, if it forks inside one, cannot end first.
        int own = currentCall != nullptr ? 1 : 0;
        Platform::MutexLock lock(&pool->gate.mutex);
        pool->gate.forking = true;
        while (pool->gate.calls > own) pool->gate.changed.Wait();
    }
    pool->StopLettingGo();
    pool->CloseAll();
}

void DbConnectionPool::AfterForkInParent() {
    DbConnectionPool* pool = livePool.load();
    if (pool == nullptr) return;
    {
        Platform::MutexLock lock(&pool->mutex);
        pool->stopping = false;
    }
    Platform::MutexLock lock(&pool->gate.mutex);
    pool->gate.forking = false;
    pool->gate.changed.SignalAll();
}

void DbConnectionPool::AfterForkInChild() {
    DbConnectionPool* pool = livePool.load();
    if (pool == nullptr) return;
    int calls = currentCall != nullptr ? 1 : 0;
    // Threads of the parent may have waited at the gate or held its lock for a moment: the child
    // has none of them, and a condition variable that counts them would wait for them forever.
    new (&pool->gate) Gate();
    new (&pool->turns) Turns();
    Platform::MutexLock gateLock(&pool->gate.mutex);
    pool->gate.calls = calls;
    Platform::MutexLock lock(&pool->mutex);
    pool->stopping = false;
}

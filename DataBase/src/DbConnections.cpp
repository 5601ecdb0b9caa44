#include "DbConnections.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

#include "DbSession.h"

namespace {
// Enough for the operations that run at the same moment in a busy host; more are closed when
// they come back.
constexpr size_t kIdleConnections = 8;
// The operations' fixed texts, with room for queries that end in a task id.
constexpr size_t kKeptStatements = 24;

std::string LogPath(const std::string& path) { return path + "-wal"; }

// Closes the connections, the read-only ones first: the last close checkpoints the log into the
// database and removes it, which needs a connection that may write.
void CloseInOrder(std::vector<std::unique_ptr<PooledConnection>>& connections) {
    std::stable_partition(connections.begin(), connections.end(), [](const auto& connection) {
        return connection->GetKind() == PooledConnection::Kind::Read;
    });
    for (auto& connection : connections) connection.reset();
    connections.clear();
}
}  // namespace

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

DbConnectionPool::DbConnectionPool(DbConnectionPool* parents)
    : owner(Platform::ProcessId()), parents(parents) {}

DbConnectionPool::~DbConnectionPool() {
    // A thread ended while it held the lock (a process torn down around it) must not stop the
    // exit: its connections are then left to the operating system.
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    if (lock.owns_lock()) CloseInOrder(idle);
}

std::unique_ptr<PooledConnection> DbConnectionPool::Take(PooledConnection::Kind kind,
                                                         const std::string& path) {
    // One of the kind asked for if there is one; otherwise any kept connection to the path still
    // tells whether the files moved before a fresh connection opens them.
    std::unique_ptr<PooledConnection> found;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto atPath = [&](const auto& c) { return c->Path() == path; };
        auto it = std::find_if(idle.rbegin(), idle.rend(),
                               [&](const auto& c) { return atPath(c) && c->GetKind() == kind; });
        if (it == idle.rend()) it = std::find_if(idle.rbegin(), idle.rend(), atPath);
        if (it == idle.rend()) return nullptr;
        found = std::move(*it);
        idle.erase(std::next(it).base());
    }
    if (found->StillCurrent()) {
        if (found->GetKind() == kind) return found;
        std::lock_guard<std::mutex> lock(mutex);
        idle.push_back(std::move(found));
        return nullptr;
    }
    // The files changed under the kept connections: none of them is used again.
    std::vector<std::unique_ptr<PooledConnection>> stale;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stale.swap(idle);
    }
    // A log left beside a database that is no longer there belongs to the old file: the next
    // open would replay its pages into the new one. The old database is gone, and with it what
    // the log held, as when the old file's last connection closes.
    bool removeLog = found->DatabaseMoved() && found->OwnsLogAtPath();
    stale.push_back(std::move(found));
    for (auto& connection : stale) connection->Abandon();
    stale.clear();
    if (removeLog) {
        std::remove(LogPath(path).c_str());
        std::remove((path + "-shm").c_str());
    }
    return nullptr;
}

void DbConnectionPool::Give(std::unique_ptr<PooledConnection> connection) {
    if (!connection->Settle()) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (idle.size() < kIdleConnections) {
            idle.push_back(std::move(connection));
            return;
        }
    }
    // Closed here, outside the lock: never the last connection, so it costs no checkpoint.
}

void DbConnectionPool::CloseAll() {
    std::vector<std::unique_ptr<PooledConnection>> closing;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing.swap(idle);
    }
    CloseInOrder(closing);
}

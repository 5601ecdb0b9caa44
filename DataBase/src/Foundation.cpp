// The foundation of DataBaseManager: the singleton and its start-up under the console user's
// identity, the data folder and the two database paths, connections, statement text with retry,
// transactions, and the migration schema with its in-place upgrade.
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "DataBaseManager.h"
#include "DbBusyHandler.h"
#include "DbSession.h"
#include "Platform.h"
#include "VtFileUtil.h"

namespace {

constexpr int kOpenReadWrite = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;  // 0x8002
constexpr int kOpenCreate =
    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;  // 0x8006

// The tables of the migration database, in the order start-up creates them.
const char* const kCreateTableSql[] = {
    "CREATE TABLE IF NOT EXISTS TransferTask (taskID INTEGER PRIMARY KEY AUTOINCREMENT,startTime "
    "integer,endTime integer, transferFileNums INTEGER NOT NULL,completeNums INTEGER NOT NULL, "
    "transferSize INTEGER NOT NULL,completeSize INTEGER NOT NULL, completeEmptyFolderNum INTEGER "
    "DEFAULT 0, status INTEGER NOT NULL,transferAppNums INTEGER NOT NULL, transferSucAppNums "
    "INTEGER NOT NULL,macAddr TEXT, transferSettingNums INTEGER NOT NULL, transferSucSettingNums "
    "INTEGER NOT NULL, session BLOB DEFAULT '', fileStatus integer DEFAULT 0, appStatus integer "
    "DEFAULT 0, settingStatus integer DEFAULT 0, newPCType INTEGER DEFAULT 0, newPCModel text "
    "DEFAULT '')",
    "create table if not exists TransferFileInfo (taskID integer not null,fileName "
    "text,sendFilePath text,errCode integer DEFAULT -1, targetPath text,status integer DEFAULT -1)",
    "CREATE TABLE IF NOT EXISTS TransferAppInfo (taskID INTEGER NOT NULL,appName "
    "TEXT,downStatusIndex INTEGER DEFAULT -1, installStatusIndex INTEGER DEFAULT -1,appIconPath "
    "text DEFAULT '')",
    "CREATE TABLE IF NOT EXISTS TransferSettingInfo (taskID INTEGER NOT NULL,settingName TEXT, "
    "resultType INTEGER DEFAULT 0, primary key (taskID,settingName))",
    "CREATE TABLE IF NOT EXISTS TransferBookmarkInfo (taskID INTEGER NOT NULL,browserName TEXT)",
};

struct UpgradeStep {
    const char* probe;  // counts 0 while the column (or index) is missing
    const char* alter;
};

const UpgradeStep kTaskTableSteps[] = {
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like "
     "'%transferSettingNums%'",
     "alter table TransferTask add column transferSettingNums integer DEFAULT 0"},
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like "
     "'%transferSucSettingNums%'",
     "alter table TransferTask add column transferSucSettingNums integer DEFAULT 0"},
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like '%session%'",
     "alter table TransferTask add column session BLOB DEFAULT ''"},
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like '%fileStatus%'",
     "alter table TransferTask add column fileStatus integer DEFAULT 0"},
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like '%appStatus%'",
     "alter table TransferTask add column appStatus integer DEFAULT 0"},
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like "
     "'%settingStatus%'",
     "alter table TransferTask add column settingStatus integer DEFAULT 0"},
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like "
     "'%completeEmptyFolderNum%'",
     "alter table TransferTask add column completeEmptyFolderNum integer DEFAULT 0"},
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like '%newPCType%'",
     "alter table TransferTask add column newPCType integer DEFAULT -1"},
    // Declared text: a numeric type word would store a model name such as "007" as 7.
    {"select count(1) from sqlite_master where name = 'TransferTask' and sql like '%newPCModel%'",
     "alter table TransferTask add column newPCModel text DEFAULT ''"},
    {"select count(1) from sqlite_master where name = 'fileIndex' and tbl_name = "
     "'TransferFileInfo' and sql like '%create index fileIndex%'",
     "create index fileIndex on TransferFileInfo(taskID,sendFilePath)"},
};

const UpgradeStep kFileTableSteps[] = {
    {"select count(1) from sqlite_master where name = 'TransferFileInfo' and sql like "
     "'%targetPath%'",
     "alter table TransferFileInfo add column targetPath text"},
    {"select count(1) from sqlite_master where name = 'TransferFileInfo' and sql like '%status%'",
     "alter table TransferFileInfo add column status integer DEFAULT -1"},
};

const UpgradeStep kAppTableSteps[] = {
    {"select count(1) from sqlite_master where name = 'TransferAppInfo' and sql like "
     "'%appIconPath%'",
     "alter table TransferAppInfo add column appIconPath text DEFAULT ''"},
};

}  // namespace

namespace {
// The instance once its construction has completed: letting go of the connections must not be
// what starts the manager up.
std::atomic<DataBaseManager*> constructed{nullptr};

// Reverts the impersonation and closes the console token on every path out of start-up,
// exceptions included.
class ConsoleIdentity {
public:
    ~ConsoleIdentity() {
        if (impersonating) RevertToSelf();
        if (token != nullptr) CloseHandle(token);
    }
    HANDLE token = nullptr;
    bool impersonating = false;
};
}  // namespace

// Lifecycle.

DataBaseManager* DataBaseManager::GetInstance() {
    static DataBaseManager instance;
    return &instance;
}

DataBaseManager::DataBaseManager() : isInit(false) {
    // The logger is made first so that it outlives the manager, whose end may still log.
    VtLogger::GetInstance();
    connections = new DbConnectionPool();
    try {
        InitInstance();
    } catch (...) {
        delete connections;  // the next GetInstance constructs anew
        throw;
    }
    constructed = this;
}

// Closes the kept connections; the last close checkpoints the write-ahead log into the database
// and removes it. The pool itself stays for the rest of the process: a host's thread may still be
// in an operation while the process ends, and what it gives back is closed, not kept.
DataBaseManager::~DataBaseManager() { connections->Shutdown(); }

void DataBaseManager::CloseIdleConnections() {
    if (DataBaseManager* manager = constructed.load()) manager->Connections().CloseAll();
}

void DataBaseManager::InitInstance() {
    constexpr const char* kOperation = "InitInstance";
    // One start-up at a time. Its lines reach the logger once the lock is released, still in the
    // identity it ran in: the console user is reverted to last.
    auto startUp = [this] {
        DbCall call(Connections());
        Platform::MutexLock startUp(&startUpMutex);
        Initialize();
    };
    ConsoleIdentity identity;
    DWORD sessionId = WTSGetActiveConsoleSessionId();
    if (WTSQueryUserToken(sessionId, &identity.token) != TRUE) {
        identity.token = nullptr;
        if (GetLastError() == ERROR_PRIVILEGE_NOT_HELD) {
            // Not allowed to act for the console user (not the local system): run as ourselves.
            startUp();
            return;
        }
        Db::LogLine(LOG_LEVEL_ERROR,
                    "DataBaseManager WTSQueryUserToken failed!: " +
                        std::to_string(static_cast<unsigned long>(GetLastError())),
                    kOperation);
        return;
    }
    if (ImpersonateLoggedOnUser(identity.token) != TRUE) {
        Db::LogLine(LOG_LEVEL_ERROR, "DataBaseManager ImpersonateLoggedOnUser failed!", kOperation);
        return;
    }
    identity.impersonating = true;
    startUp();
}

// Under startUpMutex (InitInstance): callers that start up again after a failed start-up would
// otherwise race on the statement list and the schema.
void DataBaseManager::Initialize() {
    if (isInit) return;
    std::string folder;
    GetDBFilePath(folder);
    std::string path = Db::MainDbPath(folder);
    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
    // Initialised here, once, so that no later first use races another thread's.
    sqlite3_initialize();
    try {
        CreateDb(path);
    } catch (const std::exception& e) {
        Db::LogLine(LOG_LEVEL_ERROR, std::string("SQLite exception: ") + e.what(), "Initialize");
        return;
    }
    {
        DbSession session(*this, "Initialize");
        if (session.OpenWrite()) {
            for (const char* sql : kCreateTableSql) session.Execute(sql);
        }
    }
    isInit = true;
    UpdateTable();
}

// Database locations.

int DataBaseManager::GetDBFilePath(std::string& folder) { return Db::GetDataFolder(folder); }

std::string DataBaseManager::CreateDocCachePath() {
    std::string folder;
    GetDBFilePath(folder);
    if (folder.empty()) return std::string();  // never "\db_cache\" at the root of the drive
    DE::DeleteDeepDirectory(Db::CacheFolder(folder));
    DE::CreateDeepDirectory(Db::CacheFolder(folder), nullptr);
    return Db::CacheDbPath(folder);
}

// Connections, statements and transactions.

bool DataBaseManager::ConnectDb(sqlite3** db, bool setBusyHandler, DbType, bool isCacheDb) {
    if (db == nullptr) {
        Db::LogLine(LOG_LEVEL_ERROR, "connect DB, dataBase pointer is nullptr", "ConnectDb");
        return false;
    }
    if (isCacheDb) return Db::OpenCacheDb(db, setBusyHandler);
    std::string folder;
    GetDBFilePath(folder);
    return Db::OpenConnection(Db::MainDbPath(folder), db, kOpenReadWrite, setBusyHandler,
                              "ConnectDb");
}

bool DataBaseManager::ConnectDbReadonly(sqlite3** db, DbType) {
    if (db == nullptr) {
        Db::LogLine(LOG_LEVEL_ERROR, "Connect Db read only, dataBase pointer is nullptr",
                    "ConnectDbReadonly");
        return false;
    }
    std::string folder;
    GetDBFilePath(folder);
    return Db::OpenMainDb(Db::MainDbPath(folder), true, db);
}

bool DataBaseManager::CloseDb(sqlite3* db) { return Db::CloseConnection(db); }

bool DataBaseManager::CreateDb(const std::string& path) {
    auto logError = [](const std::string& text) {
        Db::LogLine(LOG_LEVEL_ERROR, "SQLite error:" + text, "CreateDb");
    };
    if (path.empty()) {
        // SQLite would open a private temporary database for "": refuse it as unopenable.
        logError("Create sync database failed,error code is ." + std::to_string(SQLITE_CANTOPEN));
        return false;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, kOpenCreate, nullptr);
    bool created = rc == SQLITE_OK;
    if (!created) {
        logError("Create sync database failed,error code is ." + std::to_string(rc));
    } else {
        // A process starting at the same moment may hold the new file: wait for it, or the
        // file can be left without write-ahead logging and auto-vacuum.
        sqlite3_busy_handler(db, DbBusyHandler, db);
        sqlite3_exec(db, "PRAGMA auto_vacuum=1;", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
        rc = sqlite3_exec(db, "PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            logError("Set wal or synchronous failed,error code: " + std::to_string(rc) +
                     ",reason:" + sqlite3_errmsg(db));
        }
    }
    // Its close must not checkpoint: with synchronous=OFF the checkpoint neither syncs the log
    // before it writes the database nor the database before the log is deleted.
    if (db != nullptr) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (db != nullptr) sqlite3_close(db);
    return created;
}

int DataBaseManager::ExecuteNoQuerySqlCmd(sqlite3* db, const std::string& sql) {
    return Db::Execute(db, sql);
}

bool DataBaseManager::ExecuteMulitNoQuerySQL(const std::vector<std::string>& sqls) {
    DbSession session(*this, "ExecuteMulitNoQuerySQL");
    if (!session.OpenWrite()) return false;
    bool allDone = true;
    for (const std::string& sql : sqls) allDone = session.Execute(sql) == SQLITE_OK && allDone;
    return allDone;
}

bool DataBaseManager::BeginTransaction(sqlite3* db) { return Db::Begin(db); }

bool DataBaseManager::CommitTransaction(sqlite3* db) { return Db::Commit(db); }

// Schema upgrade.

void DataBaseManager::UpdateTable() {
    DbSession session(*this, "UpdateTable");
    session.Info("Start update table.");
    if (session.OpenWrite()) {
        // Probes and alters in one write transaction, so that a process starting at the same
        // moment finds the index and columns added instead of adding them again. A file that
        // cannot be written runs them without it, as before.
        bool locked =
            sqlite3_exec(session.Db(), "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
        UpdateTaskTable(session.Db());
        UpdateFileTable(session.Db());
        UpdateAppTable(session.Db());
        if (locked) session.Commit();
        session.Close();
    }
    session.Info("End update table.");
}

void DataBaseManager::UpdateTaskTable(sqlite3* db) {
    for (const UpgradeStep& step : kTaskTableSteps) AlterTableAddItem(db, step.probe, step.alter);
}

void DataBaseManager::UpdateFileTable(sqlite3* db) {
    for (const UpgradeStep& step : kFileTableSteps) AlterTableAddItem(db, step.probe, step.alter);
}

void DataBaseManager::UpdateAppTable(sqlite3* db) {
    for (const UpgradeStep& step : kAppTableSteps) AlterTableAddItem(db, step.probe, step.alter);
}

void DataBaseManager::AlterTableAddItem(sqlite3* db, const std::string& querySql,
                                        const std::string& alterSql) {
    if (db == nullptr) return;
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, querySql.c_str(), static_cast<int>(querySql.size()), &raw, nullptr);
    Statement probe(raw);
    if (!probe || probe.Step() != SQLITE_ROW) return;
    int count = probe.Int(0);
    // The probe's read must end before the alter: an open read keeps an old snapshot, and the
    // alter would then fail for good with "database is locked" after another writer's commit.
    probe.Reset();
    if (count == 0) ExecuteNoQuerySqlCmd(db, alterSql);
}

// The persistence library: one DataBaseManager per process records every transfer task and the
// outcome of each of its items in the migration database, keeps the document cache, and
// rebuilds a directory tree's selection on resume. Operations run on the callers' threads, several
// at a time. Failures are logged, never thrown.
//
// Connections. The manager keeps its connections to the migration database open between calls
// while they are used, and closes them once no operation has used them for one second: the last
// close writes the log into corvanel.db and removes it, so between bursts of work the library holds
// no file open and the data folder holds corvanel.db alone, as a fresh process would find it. They
// are closed too at the end of the process and before a fork.
//
// Threads and the log. A writer waits for another writer of the process as long as it would wait
// for another process's lock (the busy handler's 500 rounds of 10 to 100 ms), then fails as a
// write to a locked database fails, with the line "SQLite error:database is locked". Log lines
// reach the logger's sink after the operation has released every lock of the library, on the
// thread that called it: a sink may call the library.
//
// A host that forks may rely on this: fork() waits until the operations under way in other
// threads have ended, and neither process inherits a connection of the other; both use the
// library afterwards as they did before, and no write that returned in either is lost when the
// other exits, writes or forks again. Fork from a thread that is not inside an operation (a sink
// or a pool job may fork; a fork from inside an operation waits for nothing but itself).
//
// Linking. The interface passes standard-library types (std::string, std::vector, std::list) and
// each library carries its own C++ runtime, so a host is built with the same compiler family and
// runtime as the four libraries: the mingw-w64 (GCC, posix threads) build with its runtime, or,
// for an MSVC host, the four libraries rebuilt with the same MSVC toolset.
#pragma once

#include <atomic>
#include <list>
#include <string>
#include <vector>

#include "DataBaseRecords.h"
#include "DirectoryTreeManager.h"
#include "PlatformMutex.h"
#include "VtExport.h"

struct sqlite3;
struct sqlite3_stmt;
class DbConnectionPool;

// Which database a connection operation is for. Every call passes 0; the cache database is
// chosen by ConnectDb's isCacheDb argument alone.
enum DbType : int {
    DB_TYPE_MIGRATION = 0,
};

// Splits `text` at every character of `delimiters` and appends the parts to `parts`: a leading
// delimiter gives an empty first part, runs of delimiters count as one, trailing ones give no
// empty last part, and an empty text gives one empty part.
DATABASE_API void SplitString(const std::wstring& text, const std::wstring& delimiters,
                              std::vector<std::wstring>& parts);

class DATABASE_API DataBaseManager {
public:
    static DataBaseManager* GetInstance();

    // Runs the start-up under the console user's identity; the constructor calls it, and a
    // caller may call it again (it does nothing more once the manager is initialised).
    void InitInstance();

    // Empties and recreates the cache folder; returns the cache database's path.
    std::string CreateDocCachePath();

    // Task writes.
    void InsertOneTask(TransferTask& task);
    void InsertOneTask(int transferFileNums, char* session, int transferAppNums, int newPCType,
                       const std::string& newPCModel);
    void UpdateFileTaskInfo(TransferTask& task);
    void UpdateAppTaskInfo(TransferTask& task);
    void UpdateSettingTaskInfo(TransferTask& task);
    void UpdateTaskStatus(TransferTask& task);
    void UpdateTaskStatusById(const int& taskID, const int& status);
    void UpdateTaskSessionById(const int& taskID, char* session);
    void UpdateTaskCompleteInfoById(int taskID, int completeNums, long long completeSize,
                                    int completeEmptyFolderNum);

    // Task queries.
    void GetLastUnCompleteTask(TransferTask& task);
    int GetAllTaskInfo(TaskInfoNode* nodes, int capacity);
    long long GetMigrationConsumerTime();
    void QueryTaskCompleteInfoByID(int taskID, int& completeNums, long long& completeSize,
                                   int& completeEmptyFolderNum);
    int GetMaxTaskID();
    int GetTransferHistoryNum();

    // The history keeps the three newest tasks.
    void UpdateTransferHistory();
    bool CleanTransferHistory();

    // Applications.
    void InsertAppInfo(std::vector<SendAppInfo>& apps, int taskId);
    void UpdateTaskAPPStatus(const SendAppInfo& app, const int& taskId);
    int QueryAppNumByID(int taskId);
    void QueryAppInfoByID(AppInfoPariNode* out, int taskId, int count);
    void QueryAllAppNameByID(std::vector<std::wstring>& names, const int& taskId);

    // Settings and bookmarks.
    void InsertSettingInfo(std::vector<TransferSettingInfo>& settings, int taskId);
    void UpdateSettingInfo(TransferSettingInfo setting, int taskId);
    int QuerySettingNumByID(int taskId);
    void QuerySettingInfoByID(SettingInfoPariNode* out, int taskId, int count);
    void GetTaskSettingInfo(int taskId, std::vector<std::wstring>& names);
    void InsertBookmarkInfo(std::vector<std::wstring>& browsers, int taskId);
    void GetTaskBookmarkInfo(int taskId, std::vector<std::wstring>& names);

    // File results.
    void UpdateFailFileInfo(std::vector<SendFailedFileInfo>& files, int taskId);
    void UpdateTaskFileStatus(TransferFileInfo& file);
    // The outcomes of many files in one transaction: each record's status and errCode, found
    // by (taskId, filePath) as the single form finds them. A record whose row is missing
    // changes nothing; a record whose write fails is logged as the single form logs it, and the
    // others still commit. An empty vector does nothing; the records are not changed.
    void UpdateTaskFileStatus(std::vector<TransferFileInfo>& files);
    int QueryFailNumByID(int taskId);
    void QueryFailFileInfoByID(MapFailPariNode* out, int taskId, int count);
    void GetTaskFileInfo(int taskId, std::list<TransferFileInfo>& files);

    // The file tree: recording the selection and rebuilding it on resume.
    void InsertFileInfo(DirTreeNode* root, const int& taskId);
    void RecoveryDirTreeByID(std::vector<SendFailedFileInfo>& failedFiles,
                             DirectoryTreeManager& tree, int& missingCount);
    // The cache-resume row loop; `stmt` must come from the library's own SQLite (pass null).
    void RecoveryDirTree(sqlite3_stmt* stmt, DirectoryTreeManager& tree);

    // The document cache.
    void CreateDocCacheDb();
    void InsertFilesToCacheDb(const std::vector<CacheNode>& files, bool isSmallFile);
    void InsertFileToCacheDB(sqlite3_stmt* stmt, const CacheNode& file, sqlite3* db);
    void InsertEmptyFilesToCacheDb(const std::vector<CacheEmptyNode>& files);
    void InsertEmptyFileToCacheDB(sqlite3_stmt* stmt, const CacheEmptyNode& file, sqlite3* db);
    void RecoveryDirTreeByCacheDb(DirectoryTreeManager& tree, bool isSmallFile);

    DataBaseManager(const DataBaseManager&) = delete;
    DataBaseManager& operator=(const DataBaseManager&) = delete;

private:
    DataBaseManager();
    ~DataBaseManager();

    // Start-up and locations.
    void Initialize() REQUIRES(startUpMutex);
    int GetDBFilePath(std::string& folder);

    // Connections, statements and transactions.
    bool ConnectDb(sqlite3** db, bool setBusyHandler, DbType dbType, bool isCacheDb);
    bool ConnectDbReadonly(sqlite3** db, DbType dbType);
    bool CloseDb(sqlite3* db);
    bool CreateDb(const std::string& path);
    int ExecuteNoQuerySqlCmd(sqlite3* db, const std::string& sql);
    bool ExecuteMulitNoQuerySQL(const std::vector<std::string>& sqls);
    bool BeginTransaction(sqlite3* db);
    bool CommitTransaction(sqlite3* db);

    // Schema upgrade.
    void UpdateTable();
    void UpdateTaskTable(sqlite3* db);
    void UpdateFileTable(sqlite3* db);
    void UpdateAppTable(sqlite3* db);
    void AlterTableAddItem(sqlite3* db, const std::string& querySql, const std::string& alterSql);

    int GetMinTaskID();
    bool ClearData();
    int QueryCountById(const int& taskId, const std::string& sqlPrefix);
    void InitFileInfoDB(sqlite3_stmt* stmt, const int& taskId, DirTreeNode* node, sqlite3* db);
    void RecoveryDirTree(sqlite3_stmt* stmt, DirectoryTreeManager& tree,
                         std::vector<SendFailedFileInfo>& failedFiles, int& missingCount);
    void FillShotPath(const std::wstring& cachePath, DirTreeNode* node);

    Platform::Mutex dbMutex;       // taken by GetMaxTaskID alone: its readers take turns
    std::atomic<bool> isInit;      // read on many threads while InitInstance may write it
    Platform::Mutex startUpMutex;  // one start-up at a time, however many call InitInstance
    // The migration database's connections, kept between operations (DbConnections.h).
    DbConnectionPool* connections = nullptr;
    DbConnectionPool& Connections() { return *connections; }
    static void CloseIdleConnections();  // of the instance, when there is one

    friend class DbSession;  // the per-operation helper

public:
    // The library's own sources reach the private members through this; no installed header
    // defines it.
    struct Internals;
};

// The manager's private members, for the library's own sources and for the tests and fuzz
// targets that check them one by one. Not installed: a program built on the library sees only
// the public operations.
#pragma once

#include <string>
#include <vector>

#include "DataBaseManager.h"

struct DataBaseManager::Internals {
    static DataBaseManager& Manager() { return *DataBaseManager::GetInstance(); }

    // Lets go of the connections kept between operations, as the end of the process does.
    static void CloseIdleConnections() { DataBaseManager::CloseIdleConnections(); }
    static bool IsInit() { return Manager().isInit.load(); }
    static void SetInit(bool value) { Manager().isInit = value; }
    static void Initialize() {
        Platform::MutexLock startUp(&Manager().startUpMutex);
        Manager().Initialize();
    }
    static int GetDBFilePath(std::string& folder) { return Manager().GetDBFilePath(folder); }
    static bool ConnectDb(sqlite3** db, bool busy, DbType type, bool cache) {
        return Manager().ConnectDb(db, busy, type, cache);
    }
    static bool ConnectDbReadonly(sqlite3** db, DbType type) {
        return Manager().ConnectDbReadonly(db, type);
    }
    static bool CloseDb(sqlite3* db) { return Manager().CloseDb(db); }
    static bool CreateDb(const std::string& path) { return Manager().CreateDb(path); }
    static int ExecuteNoQuerySqlCmd(sqlite3* db, const std::string& sql) {
        return Manager().ExecuteNoQuerySqlCmd(db, sql);
    }
    static bool ExecuteMulitNoQuerySQL(const std::vector<std::string>& sqls) {
        return Manager().ExecuteMulitNoQuerySQL(sqls);
    }
    static bool BeginTransaction(sqlite3* db) { return Manager().BeginTransaction(db); }
    static bool CommitTransaction(sqlite3* db) { return Manager().CommitTransaction(db); }
    static void UpdateTable() { Manager().UpdateTable(); }
    static void AlterTableAddItem(sqlite3* db, const std::string& probe, const std::string& alter) {
        Manager().AlterTableAddItem(db, probe, alter);
    }
    static int GetMinTaskID() { return Manager().GetMinTaskID(); }
    static bool ClearData() { return Manager().ClearData(); }
    static int QueryCountById(const int& taskId, const std::string& prefix) {
        return Manager().QueryCountById(taskId, prefix);
    }
    static void InitFileInfoDB(sqlite3_stmt* stmt, const int& taskId, DirTreeNode* node,
                               sqlite3* db) {
        Manager().InitFileInfoDB(stmt, taskId, node, db);
    }
    static void RecoveryDirTreeRows(sqlite3_stmt* stmt, DirectoryTreeManager& tree,
                                    std::vector<SendFailedFileInfo>& failed, int& missing) {
        Manager().RecoveryDirTree(stmt, tree, failed, missing);
    }
    static void FillShotPath(const std::wstring& cachePath, DirTreeNode* node) {
        Manager().FillShotPath(cachePath, node);
    }
};

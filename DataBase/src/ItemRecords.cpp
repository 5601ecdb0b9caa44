// Per-item result records: the applications, settings, browsers and files of a transfer task,
// their status updates, the per-task counts, and the reads that fill the caller's lists and
// fixed-size arrays.
#include <sqlite3.h>

#include "DataBaseManager.h"
#include "DbSession.h"

namespace {
// Applications.
const std::string kInsertAppSql =
    "INSERT INTO TransferAppInfo (taskID,appName,downStatusIndex, "
    "installStatusIndex,appIconPath) VALUES (?,?,?,?,?)";
const WriteOperation kUpdateAppStatus = {
    "UpdateTaskAPPStatus", nullptr, "UpdateTaskAPPStatus sql is not init",
    "UPDATE TransferAppInfo SET downStatusIndex=? where taskID=? and appName=?"};
const std::string kAppCountPrefix = "SELECT COUNT(1) FROM TransferAppInfo where taskID = ";
const std::string kAppInfoPrefix =
    "SELECT appName,downStatusIndex,installStatusIndex,appIconPath FROM TransferAppInfo where "
    "taskID = ";
const std::string kAppNamePrefix = "SELECT appName FROM TransferAppInfo where taskID = ";

// Settings and bookmarks.
const std::string kInsertSettingSql =
    "INSERT INTO TransferSettingInfo (taskID,SettingName,resultType) VALUES (?,?,?)";
// Its not-initialised line names UpdateAppTaskInfo; log readers know it by that text.
const WriteOperation kUpdateSetting = {
    "UpdateSettingInfo", nullptr, "UpdateAppTaskInfo sql is not init",
    "UPDATE TransferSettingInfo set resultType = ? where taskID = ? and settingName = ?"};
const std::string kSettingCountPrefix = "SELECT COUNT(1) FROM TransferSettingInfo where taskID = ";
const std::string kSettingInfoPrefix =
    "SELECT settingName,resultType FROM TransferSettingInfo where taskID = ";
const std::string kSettingNamePrefix =
    "SELECT settingName FROM TransferSettingInfo where taskID = ";
const std::string kInsertBookmarkSql =
    "INSERT INTO TransferBookmarkInfo (taskID,browserName) VALUES (?,?)";
const std::string kBrowserNamePrefix =
    "SELECT browserName FROM TransferBookmarkInfo where taskID = ";

// Files. The table keeps no file size, so the file list reads 0 for it.
const std::string kUpdateFailFileSql =
    "UPDATE TransferFileInfo SET errCode=?, status=? where taskID=? and sendFilePath=?";
const WriteOperation kUpdateFileStatus = {
    "UpdateTaskFileStatus", nullptr, "UpdateTaskFileStatus sql is not init",
    "UPDATE TransferFileInfo SET status=?, errCode=? where taskID=? and sendFilePath=?"};
const std::string kFailCountPrefix =
    "SELECT COUNT(1) FROM TransferFileInfo where status = 0 and taskID = ";
const std::string kFailFilePrefix =
    "SELECT fileName,sendFilePath,errCode FROM TransferFileInfo where status = 0 and taskID = ";
const std::string kTaskFilePrefix =
    "SELECT taskID,status,0,sendFilePath,errCode FROM TransferFileInfo where taskID = ";

constexpr int kFailedFileStatus = 0;

// Locale-independent: the id is always plain digits, whatever locale the host has installed.
std::string WithTaskId(const std::string& prefix, int taskId) {
    return prefix + std::to_string(taskId);
}

// Writes one row per element, without a transaction: each row commits by itself, and a row
// that fails is logged while the others still land. An empty list is refused with the same line
// as an uninitialised manager.
template <class Items, class BindRow>
void InsertRows(DataBaseManager& manager, const char* operation, const char* notInitMessage,
                const Items& items, const std::string& sql, BindRow&& bindRow) {
    DbSession session(manager, operation);
    if (items.empty()) {
        session.Error(notInitMessage);
        return;
    }
    if (!session.Initialised(notInitMessage) || !session.OpenWrite()) return;
    session.WriteRows(sql, items, bindRow);
}

// One statement for every element, in one transaction: a failing row is logged and the others
// still commit. A transaction that did not begin still lets each row commit by itself; one left
// open by a statement that did not prepare ends, empty, with the connection.
template <class Items, class BindRow>
void WriteInOneTransaction(DbSession& session, const std::string& sql, const Items& items,
                           BindRow&& bindRow) {
    if (!session.OpenWrite()) return;
    session.Begin();
    if (session.WriteRows(sql, items, bindRow)) session.Commit();
}

// Reads column 0 of every row into `names`, appending or replacing what the caller held. A NULL
// name reads as an empty string, so the list keeps one entry per row.
void ReadNames(DataBaseManager& manager, const char* operation, const char* notInitMessage,
               const std::string& sql, std::vector<std::wstring>& names, bool replace) {
    DbSession session(manager, operation);
    if (!session.Initialised(notInitMessage)) return;
    if (replace) names.clear();
    if (!session.OpenRead()) return;
    Statement stmt = session.Prepare(sql);
    if (!stmt) return;
    while (stmt.Step() == SQLITE_ROW) names.push_back(stmt.Text(0));
}

// The read behind an array query; an empty statement when there is nothing to fill. A null
// array or a count below 1 opens no connection and logs nothing.
Statement ReadForArray(DbSession& session, const char* notInitMessage, const void* out, int count,
                       const std::string& sql) {
    if (!session.Initialised(notInitMessage) || out == nullptr || count < 1) return Statement();
    if (!session.OpenRead()) return Statement();
    return session.Prepare(sql);
}
}  // namespace

// Applications.

void DataBaseManager::InsertAppInfo(std::vector<SendAppInfo>& apps, int taskId) {
    InsertRows(*this, "InsertAppInfo", "InsertAppInfo sql is not init", apps, kInsertAppSql,
               [taskId](Statement& stmt, const SendAppInfo& app) {
                   stmt.BindAll(taskId, app.appName, app.downStatusIndex, app.installStatusIndex,
                                app.appIconPath);
               });
}

void DataBaseManager::UpdateTaskAPPStatus(const SendAppInfo& app, const int& taskId) {
    RunWrite(*this, kUpdateAppStatus, app.downStatusIndex, taskId, app.appName);
}

int DataBaseManager::QueryCountById(const int& taskId, const std::string& sqlPrefix) {
    // Every count shares this routine and its not-initialised line.
    DbSession session(*this, "QueryCountById");
    if (!session.Initialised("QueryAppNumByID sql is not init")) return 0;
    return session.ReadInt(WithTaskId(sqlPrefix, taskId));
}

int DataBaseManager::QueryAppNumByID(int taskId) { return QueryCountById(taskId, kAppCountPrefix); }

void DataBaseManager::QueryAppInfoByID(AppInfoPariNode* out, int taskId, int count) {
    DbSession session(*this, "QueryAppInfoByID");
    Statement stmt = ReadForArray(session, "QueryAppInfoByID sql is not init", out, count,
                                  WithTaskId(kAppInfoPrefix, taskId));
    if (!stmt) return;
    FillRows(stmt, count, [&](int i) {
        AppInfoPariNode& node = out[i];
        if (int error = stmt.CopyText(0, node.appName)) {
            session.Error("QueryAppInfoByID wcscpy_s appName failed, errName = " +
                          std::to_string(error));
        }
        node.downStatusIndex = stmt.Int(1);
        node.installStatusIndex = stmt.Int(2);
        if (int error = stmt.CopyText(3, node.appIconPath)) {
            session.Error("QueryAppInfoByID wcscpy_s appIconPath failed, errName = " +
                          std::to_string(error));
        }
    });
}

void DataBaseManager::QueryAllAppNameByID(std::vector<std::wstring>& names, const int& taskId) {
    ReadNames(*this, "QueryAllAppNameByID", "QueryAllAppNameByID sql is not init",
              WithTaskId(kAppNamePrefix, taskId), names, false);
}

// Settings and bookmarks.

void DataBaseManager::InsertSettingInfo(std::vector<TransferSettingInfo>& settings, int taskId) {
    InsertRows(*this, "InsertSettingInfo", "InsertSettingInfo sql is not init", settings,
               kInsertSettingSql, [taskId](Statement& stmt, const TransferSettingInfo& setting) {
                   stmt.BindAll(taskId, setting.settingName, setting.resultType);
               });
}

void DataBaseManager::UpdateSettingInfo(TransferSettingInfo setting, int taskId) {
    RunWrite(*this, kUpdateSetting, setting.resultType, taskId, setting.settingName);
}

int DataBaseManager::QuerySettingNumByID(int taskId) {
    return QueryCountById(taskId, kSettingCountPrefix);
}

void DataBaseManager::QuerySettingInfoByID(SettingInfoPariNode* out, int taskId, int count) {
    DbSession session(*this, "QuerySettingInfoByID");
    Statement stmt = ReadForArray(session, "QueryAppInfoByID sql is not init", out, count,
                                  WithTaskId(kSettingInfoPrefix, taskId));
    if (!stmt) return;
    FillRows(stmt, count, [&](int i) {
        SettingInfoPariNode& node = out[i];
        if (int error = stmt.CopyText(0, node.settingName)) {
            session.Error("QueryAppInfoByID wcscpy_s failed, errName = " + std::to_string(error));
        }
        node.resultType = stmt.Int(1);
    });
}

void DataBaseManager::GetTaskSettingInfo(int taskId, std::vector<std::wstring>& names) {
    ReadNames(*this, "GetTaskSettingInfo", "GetTaskSettingInfo sql is not init",
              WithTaskId(kSettingNamePrefix, taskId), names, true);
}

void DataBaseManager::InsertBookmarkInfo(std::vector<std::wstring>& browsers, int taskId) {
    InsertRows(*this, "InsertBookmarkInfo", "InsertBookmarkInfo sql is not init", browsers,
               kInsertBookmarkSql, [taskId](Statement& stmt, const std::wstring& browser) {
                   stmt.BindAll(taskId, browser);
               });
}

void DataBaseManager::GetTaskBookmarkInfo(int taskId, std::vector<std::wstring>& names) {
    ReadNames(*this, "GetTaskBookmarkInfo", "GetTaskBookmarkInfo sql is not init",
              WithTaskId(kBrowserNamePrefix, taskId), names, true);
}

// Files.

void DataBaseManager::UpdateFailFileInfo(std::vector<SendFailedFileInfo>& files, int taskId) {
    DbSession session(*this, "UpdateFailFileInfo");
    if (files.empty() || !session.Initialised()) return;
    WriteInOneTransaction(session, kUpdateFailFileSql, files,
                          [taskId](Statement& stmt, const SendFailedFileInfo& file) {
                              stmt.BindAll(file.errCode, kFailedFileStatus, taskId,
                                           file.sendFilePath);
                          });
}

void DataBaseManager::UpdateTaskFileStatus(TransferFileInfo& file) {
    RunWrite(*this, kUpdateFileStatus, file.status, file.errCode, file.taskId, file.filePath);
}

void DataBaseManager::UpdateTaskFileStatus(std::vector<TransferFileInfo>& files) {
    DbSession session(*this, kUpdateFileStatus.operation);
    if (files.empty() || !session.Initialised(kUpdateFileStatus.notInitMessage)) return;
    WriteInOneTransaction(session, kUpdateFileStatus.sql, files,
                          [](Statement& stmt, const TransferFileInfo& file) {
                              stmt.BindAll(file.status, file.errCode, file.taskId, file.filePath);
                          });
}

int DataBaseManager::QueryFailNumByID(int taskId) {
    return QueryCountById(taskId, kFailCountPrefix);
}

void DataBaseManager::QueryFailFileInfoByID(MapFailPariNode* out, int taskId, int count) {
    DbSession session(*this, "QueryFailFileInfoByID");
    Statement stmt = ReadForArray(session, "QueryFailFileInfoByID sql is not init", out, count,
                                  WithTaskId(kFailFilePrefix, taskId));
    if (!stmt) return;
    FillRows(stmt, count, [&](int i) {
        MapFailPariNode& node = out[i];
        int nameError = stmt.CopyText(0, node.fileName);
        int pathError = stmt.CopyText(1, node.sendFilePath);
        if (nameError != 0 || pathError != 0) {
            session.Error("QueryFailFileInfoByID wcscpy_s failed, errName = " +
                          std::to_string(nameError) + "errPath= " + std::to_string(pathError));
        }
        node.errCode = stmt.Int(2);
    });
}

void DataBaseManager::GetTaskFileInfo(int taskId, std::list<TransferFileInfo>& files) {
    DbSession session(*this, "GetTaskFileInfo");
    if (!session.Initialised("GetTaskFileInfo sql is not init")) return;
    files.clear();
    if (!session.OpenRead()) return;
    Statement stmt = session.Prepare(WithTaskId(kTaskFilePrefix, taskId));
    if (!stmt) return;
    while (stmt.Step() == SQLITE_ROW) {
        TransferFileInfo file;
        file.taskId = stmt.Int(0);
        file.status = stmt.Int(1);
        file.fileSize = stmt.Int64(2);
        file.filePath = stmt.Text(3);  // NULL reads as an empty path
        file.errCode = stmt.Int(4);
        files.push_back(std::move(file));
    }
}

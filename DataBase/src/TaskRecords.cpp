// Transfer task records: the task writes, the task queries and the pruning of the history.
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <new>

#include "DataBaseManager.h"
#include "DbConnections.h"
#include "DbSession.h"
#include "Platform.h"

namespace {
constexpr int kSessionBytes = sizeof(TransferTask::session);

// The history keeps the tasks whose ids lie within this distance below the largest one.
constexpr int kHistoryKept = 3;

// The tables a prune or a clean deletes from. The task table comes first; bookmark rows are
// not among them and outlive their tasks.
const char* const TransferTableNames[] = {
    "TransferTask",
    "TransferFileInfo",
    "TransferAppInfo",
    "TransferSettingInfo",
};

// The first column of the last row of `sql`, read on a connection of its own.
int ReadInt(DataBaseManager& manager, const char* operation, const std::string& sql) {
    return DbSession(manager, operation).ReadInt(sql);
}

// Narrow text in the system's ANSI code page as a wide string; empty when it does not convert
// or no buffer can be had.
std::wstring WidenAnsi(const std::string& text) {
    int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    // One unit more than asked for and zero-filled, so the text always ends within the buffer.
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[units + 1]());
    if (!buffer) return std::wstring();
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, buffer.get(), units);
    return std::wstring(buffer.get());
}

// Copies a stored session into the 16-byte field. A shorter value (written by another program)
// gives only its own bytes, the rest zero; a longer one gives its first 16.
void CopySession(const DbSession& session, const Statement& stmt, int column,
                 char (&dest)[kSessionBytes]) {
    int bytes = 0;
    const void* blob = stmt.Blob(column, bytes);
    if (blob == nullptr || bytes <= 0) {
        session.Error("SQLite error, session is nullptr");
        return;
    }
    size_t copied = static_cast<size_t>(std::min(bytes, kSessionBytes));
    if (memcpy_s(dest, sizeof dest, blob, copied) != 0) {
        session.Error("memcpy_s failed, GetLastError=" +
                      std::to_string(static_cast<unsigned long>(GetLastError())));
        return;
    }
    std::fill(dest + copied, dest + kSessionBytes, '\0');
}

// Runs "DELETE FROM <table><condition>" over the history tables; a table that fails is logged
// with `failure` and the others still run. Each DELETE commits by itself.
void DeleteFromHistory(DbSession& session, const std::string& condition, const char* failure) {
    for (const char* table : TransferTableNames) {
        int rc = session.Execute(std::string("DELETE FROM ") + table + condition);
        if (rc != SQLITE_OK) session.SqliteError(failure, rc);
    }
}
}  // namespace

// Task writes.

const WriteOperation kInsertTask = {
    "InsertOneTask", nullptr, "InsertOneTask sql is not init",
    "INSERT INTO TransferTask (taskID,startTime,endTime,transferFileNums,completeNums, "
    "transferSize,completeSize,status,transferAppNums,transferSucAppNums,macAddr,session, "
    "transferSettingNums, transferSucSettingNums, newPCType, newPCModel) VALUES "
    "(NULL,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"};

// The database assigns the id; fileStatus, appStatus, settingStatus and completeEmptyFolderNum
// take their column defaults.
void DataBaseManager::InsertOneTask(TransferTask& task) {
    const std::wstring macAddr = WidenAnsi(task.macAddr);
    RunWrite(*this, kInsertTask, task.startTime, task.endTime, task.transferFileNums,
             task.completeNums, task.transferSize, task.completeSize, task.status,
             task.transferAppNums, task.transferSucAppNums, macAddr,
             Bytes{task.session, kSessionBytes}, task.transferSettingNums,
             task.transferSucSettingNums, task.newPCType, task.newPCModel);
}

void DataBaseManager::InsertOneTask(int transferFileNums, char* session, int transferAppNums,
                                    int newPCType, const std::string& newPCModel) {
    if (session == nullptr) return;
    TransferTask task;
    task.startTime = task.endTime = _time64(nullptr);
    task.transferFileNums = transferFileNums;
    task.transferAppNums = transferAppNums;
    task.newPCType = newPCType;
    std::copy(session, session + kSessionBytes, task.session);
    task.macAddr = " ";
    task.newPCModel = WidenAnsi(newPCModel);
    InsertOneTask(task);
}

const WriteOperation kUpdateFileTaskInfo = {
    "UpdateFileTaskInfo", "start UpdateFileTaskInfo", "UpdateFileTaskInfo sql is not init",
    "UPDATE TransferTask SET "
    "completeNums=?,completeSize=?,endTime=?,fileStatus=?,completeEmptyFolderNum=? where taskID=?"};

void DataBaseManager::UpdateFileTaskInfo(TransferTask& task) {
    RunWrite(*this, kUpdateFileTaskInfo, task.completeNums, task.completeSize, task.endTime,
             task.fileStatus, task.completeEmptyFolderNum, task.taskID);
}

const WriteOperation kUpdateAppTaskInfo = {
    "UpdateAppTaskInfo", "start UpdateAppTaskInfo", "UpdateAppTaskInfo sql is not init",
    "UPDATE TransferTask SET endTime=?,transferAppNums=?,transferSucAppNums=?,appStatus=? where "
    "taskID=?"};

void DataBaseManager::UpdateAppTaskInfo(TransferTask& task) {
    RunWrite(*this, kUpdateAppTaskInfo, task.endTime, task.transferAppNums, task.transferSucAppNums,
             task.appStatus, task.taskID);
}

const WriteOperation kUpdateSettingTaskInfo = {
    "UpdateSettingTaskInfo", "start UpdateSettingTaskInfo", "UpdateSettingTaskInfo sql is not init",
    "UPDATE TransferTask SET endTime=?,transferSettingNums=?,transferSucSettingNums=?, "
    "settingStatus=? where taskID=?"};

void DataBaseManager::UpdateSettingTaskInfo(TransferTask& task) {
    RunWrite(*this, kUpdateSettingTaskInfo, task.endTime, task.transferSettingNums,
             task.transferSucSettingNums, task.settingStatus, task.taskID);
}

const char* const kUpdateStatusSql = "UPDATE TransferTask SET status=? where taskID=?";

const WriteOperation kUpdateTaskStatus = {"UpdateTaskStatus", "start UpdateTaskStatus",
                                          "UpdateTaskStatus sql is not init", kUpdateStatusSql};

void DataBaseManager::UpdateTaskStatus(TransferTask& task) {
    RunWrite(*this, kUpdateTaskStatus, task.status, task.taskID);
}

// Its not-initialised line names UpdateAppTaskInfo; log readers know it by that text.
const WriteOperation kUpdateTaskStatusById = {"UpdateTaskStatusById", "start UpdateTaskStatusById",
                                              "UpdateAppTaskInfo sql is not init",
                                              kUpdateStatusSql};

void DataBaseManager::UpdateTaskStatusById(const int& taskID, const int& status) {
    RunWrite(*this, kUpdateTaskStatusById, status, taskID);
}

const WriteOperation kUpdateTaskSessionById = {
    "UpdateTaskSessionById", "start UpdateTaskSessionById", "UpdateTaskSessionById sql is not init",
    "UPDATE TransferTask SET session=? where taskID=?"};

void DataBaseManager::UpdateTaskSessionById(const int& taskID, char* session) {
    // Without a session the call ends quietly after the initialised test.
    DbSession db(*this, kUpdateTaskSessionById.operation);
    db.Info(kUpdateTaskSessionById.startLine);
    if (!db.Initialised(kUpdateTaskSessionById.notInitMessage) || session == nullptr ||
        !db.OpenWrite()) {
        return;
    }
    db.Write(kUpdateTaskSessionById.sql, Bytes{session, kSessionBytes}, taskID);
}

const WriteOperation kUpdateTaskCompleteInfoById = {
    "UpdateTaskCompleteInfoById", nullptr, "UpdateTaskCompleteNumsById sql is not init",
    "UPDATE TransferTask SET completeNums=?, completeSize=?, completeEmptyFolderNum=? where "
    "taskID=?"};

// Leaves endTime alone: completion counters are not progress in time.
void DataBaseManager::UpdateTaskCompleteInfoById(int taskID, int completeNums,
                                                 long long completeSize,
                                                 int completeEmptyFolderNum) {
    RunWrite(*this, kUpdateTaskCompleteInfoById, completeNums, completeSize,
             static_cast<long long>(completeEmptyFolderNum), taskID);
}

// Task queries.

const std::string kLastTaskSql =
    "select taskID, startTime, endTime, transferFileNums, completeNums, transferSize, "
    "completeSize, status, session from TransferTask order by taskID desc limit 1";

// The newest task whatever its status: the caller decides from status and the counters whether
// it is unfinished. Fields the query does not select keep the caller's values.
void DataBaseManager::GetLastUnCompleteTask(TransferTask& task) {
    DbSession session(*this, "GetLastUnCompleteTask");
    if (!session.Initialised("GetLastUnCompleteTask sql is not init") || !session.OpenRead()) {
        return;
    }
    Statement stmt = session.Prepare(kLastTaskSql);
    if (!stmt) return;
    while (stmt.Step() == SQLITE_ROW) {
        task.taskID = stmt.Int(0);
        task.startTime = stmt.Int64(1);
        task.endTime = stmt.Int64(2);
        task.transferFileNums = stmt.Int(3);
        task.completeNums = stmt.Int(4);
        task.transferSize = stmt.Int64(5);
        task.completeSize = stmt.Int64(6);
        task.status = stmt.Int(7);
        CopySession(session, stmt, 8, task.session);
    }
}

const std::string kHistorySql =
    "SELECT taskId,startTime,endTime,transferFileNums,completeNums, "
    "completeSize,transferAppNums,transferSucAppNums,transferSettingNums,transferSucSettingNums, "
    "status,newPCType,newPCModel FROM TransferTask order by taskId desc limit 3";

// The newest three tasks at most, newest first.
int DataBaseManager::GetAllTaskInfo(TaskInfoNode* nodes, int capacity) {
    DbSession session(*this, "GetAllTaskInfo");
    if (!session.Initialised("GetAllTaskInfo sql is not init")) return 0;
    if (nodes == nullptr || capacity < 1 || !session.OpenRead()) return 0;
    Statement stmt = session.Prepare(kHistorySql);
    if (!stmt) return 0;
    return FillRows(stmt, capacity, [&](int n) {
        TaskInfoNode& node = nodes[n];
        node.taskID = stmt.Int(0);
        node.startTime = stmt.Int64(1);
        node.endTime = stmt.Int64(2);
        node.transferFileNums = stmt.Int(3);
        node.completeNums = stmt.Int(4);
        node.completeSize = stmt.Int64(5);
        node.transferAppNums = stmt.Int(6);
        node.transferSucAppNums = stmt.Int(7);
        node.transferSettingNums = stmt.Int(8);
        node.transferSucSettingNums = stmt.Int(9);
        node.status = stmt.Int(10);
        node.newPCType = stmt.Int(11);
        int err = stmt.CopyText(12, node.newPCModel);
        if (err != 0) {
            node.newPCModel[0] = L'\0';
            session.Error("taskInfoNode wcscpy_s failed, err = " + std::to_string(err));
        }
    });
}

const std::string kConsumerTimeSql = "SELECT startTime,endTime FROM TransferTask WHERE taskID = ";

// Seconds from the newest task's start to its latest progress.
long long DataBaseManager::GetMigrationConsumerTime() {
    DbSession session(*this, "GetMigrationConsumerTime");
    if (!session.Initialised("GetMigrationConsumerTime sql is not init") || !session.OpenRead()) {
        return 0;
    }
    Statement stmt = session.Prepare(kConsumerTimeSql + std::to_string(GetMaxTaskID()));
    if (!stmt) return 0;
    long long elapsed = 0;
    while (stmt.Step() == SQLITE_ROW) {
        // Wraps instead of overflowing on times that no clock gave (a damaged row).
        elapsed = static_cast<long long>(static_cast<unsigned long long>(stmt.Int64(1)) -
                                         static_cast<unsigned long long>(stmt.Int64(0)));
    }
    return elapsed;
}

const std::string kCompleteInfoSql =
    "SELECT completeNums, completeSize, completeEmptyFolderNum FROM TransferTask where taskID = ";

void DataBaseManager::QueryTaskCompleteInfoByID(int taskID, int& completeNums,
                                                long long& completeSize,
                                                int& completeEmptyFolderNum) {
    DbSession session(*this, "QueryTaskCompleteInfoByID");
    if (!session.Initialised("QueryTaskCompleteInfoByID sql is not init") || !session.OpenRead()) {
        return;
    }
    Statement stmt = session.Prepare(kCompleteInfoSql + std::to_string(taskID));
    if (!stmt) return;
    while (stmt.Step() == SQLITE_ROW) {
        completeNums = stmt.Int(0);
        completeSize = stmt.Int64(1);
        completeEmptyFolderNum = stmt.Int(2);
    }
}

const std::string kMaxTaskIdSql = "select max(taskID) from TransferTask";

int DataBaseManager::GetMaxTaskID() {
    if (!DbSession(*this, "GetMaxTaskID").Initialised("GetMaxTaskID sql is not init")) return 0;
    DbCall call(Connections());  // its lines wait until the lock below is released
    // The one lock of the database side, held over the whole read (connect to close):
    // concurrent callers read the largest id in turn.
    Platform::MutexLock lock(&dbMutex);
    return ReadInt(*this, "GetMaxTaskID", kMaxTaskIdSql);
}

// Quiet even when not initialised: the pruning asks it on every call.
int DataBaseManager::GetTransferHistoryNum() {
    if (!isInit) return 0;
    return ReadInt(*this, "GetTransferHistoryNum", "SELECT COUNT(1) FROM TransferTask");
}

int DataBaseManager::GetMinTaskID() {
    if (!isInit) return 0;
    return ReadInt(*this, "GetMinTaskID", "SELECT MIN(taskID) FROM TransferTask");
}

// The history.

// Keeps the tasks within three ids of the largest, with their file, application and setting
// rows; ids are never reused, so these are the three newest (or fewer, where ids are missing).
void DataBaseManager::UpdateTransferHistory() {
    DbSession session(*this, "UpdateTransferHistory");
    if (!session.Initialised()) return;
    session.Info("Start update transfer history");
    if (!session.OpenWrite()) return;
    if (GetTransferHistoryNum() > kHistoryKept) {
        DeleteFromHistory(session,
                          " WHERE taskID <= " + std::to_string(GetMaxTaskID() - kHistoryKept),
                          "UpdateTransferHistory failed,error code is ");
    }
    session.Close();
    session.Info("Finish update transfer history");
}

bool DataBaseManager::CleanTransferHistory() { return ClearData(); }

// Does not test the initialised flag. The id counter is not reset: later tasks get ids above
// every id used before.
bool DataBaseManager::ClearData() {
    DbSession session(*this, "ClearData");
    if (!session.OpenWrite()) return false;
    DeleteFromHistory(session, "", "DeleteErrorTask failed,error code is ");
    // A database that could not be opened was not cleared, whatever handle SQLite left.
    return session.Opened();
}

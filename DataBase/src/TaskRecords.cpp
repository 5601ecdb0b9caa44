// Transfer task records: the task writes, the task queries and the pruning of the history.
#include <sqlite3.h>

#include "DataBaseManager.h"
#include "DbSession.h"

namespace {
const std::string kMaxTaskIdSql = "select max(taskID) from TransferTask";
}  // namespace

int DataBaseManager::GetMaxTaskID() {
    if (!DbSession(*this, "GetMaxTaskID").Initialised("GetMaxTaskID sql is not init")) return 0;
    // The one lock of the database side, held over the whole read (connect to close):
    // concurrent callers read the largest id in turn.
    std::lock_guard<std::mutex> lock(dbMutex);
    DbSession session(*this, "GetMaxTaskID");
    if (!session.OpenRead()) return 0;
    Statement stmt = session.Prepare(kMaxTaskIdSql);
    if (!stmt) return 0;
    int maxId = 0;
    while (stmt.Step() == SQLITE_ROW) maxId = stmt.Int(0);
    return maxId;
}

// The task's file results: a batch of failures recorded in a task of a million files, and the
// reads that the host makes once per screen (the history, the failure list), each beside the
// same work done straight with SQLite. The status writes are in OutcomeCases.cpp.
#include <cwchar>

#include "Cases.h"
#include "RawSqlite.h"
#include "Workload.h"

namespace bench {
namespace {
const std::string kUpdateFailSql =
    "UPDATE TransferFileInfo SET errCode=?, status=? where taskID=? and sendFilePath=?";
const std::string kHistorySql =
    "SELECT taskId,startTime,endTime,transferFileNums,completeNums, "
    "completeSize,transferAppNums,transferSucAppNums,transferSettingNums,transferSucSettingNums, "
    "status,newPCType,newPCModel FROM TransferTask order by taskId desc limit 3";
const std::string kFailFileSqlPrefix =
    "SELECT fileName,sendFilePath,errCode FROM TransferFileInfo where status = 0 and taskID = ";

const std::string kFailuresDigest =
    "SELECT count(*) || ',' || total(errCode) FROM TransferFileInfo where status = 0";

constexpr int kFailedStatus = 0;
constexpr int kHistoryRows = 3;

void BaselineUpdateFailures(const std::vector<SendFailedFileInfo>& failures, int taskId) {
    raw::Connection db(BaselineDbFile(), raw::kReadWrite);
    db.Begin();
    raw::Statement update(db.get(), kUpdateFailSql);
    for (const SendFailedFileInfo& file : failures) {
        update.Bind(1, file.errCode);
        update.Bind(2, kFailedStatus);
        update.Bind(3, taskId);
        update.Bind(4, file.sendFilePath);
        update.StepWrite();
    }
    db.Commit();
}

// Fills at most `capacity` elements from the rows of `sql`, on a read-only connection of its
// own, as each of the library's queries does; returns how many.
template <class Fill>
int BaselineRead(const std::string& sql, int capacity, Fill&& fill) {
    raw::Connection db(BaselineDbFile(), raw::kReadOnly);
    raw::Statement rows(db.get(), sql);
    int filled = 0;
    while (filled < capacity && rows.Step() == SQLITE_ROW) fill(rows, filled++);
    return filled;
}

int BaselineTaskHistory(TaskInfoNode* nodes, int capacity) {
    return BaselineRead(kHistorySql, capacity, [nodes](raw::Statement& row, int i) {
        TaskInfoNode& node = nodes[i];
        node.taskID = row.Int(0);
        node.startTime = row.Int64(1);
        node.endTime = row.Int64(2);
        node.transferFileNums = row.Int(3);
        node.completeNums = row.Int(4);
        node.completeSize = row.Int64(5);
        node.transferAppNums = row.Int(6);
        node.transferSucAppNums = row.Int(7);
        node.transferSettingNums = row.Int(8);
        node.transferSucSettingNums = row.Int(9);
        node.status = row.Int(10);
        node.newPCType = row.Int(11);
        row.CopyText(12, node.newPCModel, kRecordTextUnits);
    });
}

void BaselineFailedFiles(MapFailPariNode* out, int taskId, int count) {
    BaselineRead(kFailFileSqlPrefix + std::to_string(taskId), count,
                 [out](raw::Statement& row, int i) {
                     row.CopyText(0, out[i].fileName, kRecordTextUnits);
                     row.CopyText(1, out[i].sendFilePath, kRecordTextUnits);
                     out[i].errCode = row.Int(2);
                 });
}

std::string HistoryDigest(const TaskInfoNode* nodes, int filled) {
    std::string digest = std::to_string(filled);
    for (int i = 0; i < filled; ++i) {
        digest += "," + std::to_string(nodes[i].taskID) + ":" +
                  std::to_string(nodes[i].completeSize) + ":" +
                  std::to_string(std::wcslen(nodes[i].newPCModel));
    }
    return digest;
}

std::string FailedFilesDigest(const std::vector<MapFailPariNode>& out) {
    size_t text = 0;
    long long codes = 0;
    for (const MapFailPariNode& node : out) {
        text += std::wcslen(node.fileName) + std::wcslen(node.sendFilePath);
        codes += node.errCode;
    }
    return std::to_string(text) + "," + std::to_string(codes);
}

void UpdateFailFileInfoCase(benchmark::State& state, size_t files, size_t count) {
    const std::string start = FilesSnapshot(files, files / 100);
    const int taskId = NewestTaskId();
    // Other files than those the task has failed already, spread over the whole task.
    std::vector<SendFailedFileInfo> failures = Failures(files, count, files / count / 2);
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(count);
    comparison.prepare = [&](Side side) { Restore(side, start); };
    comparison.library = [&] { Manager().UpdateFailFileInfo(failures, taskId); };
    comparison.baseline = [&] { BaselineUpdateFailures(failures, taskId); };
    Compare(state, comparison);
    ExpectSameResult(state, LibraryDbFile(), BaselineDbFile(), kFailuresDigest);
}

void GetAllTaskInfoCase(benchmark::State& state) {
    Restore(Side::Library, TasksSnapshot());
    Restore(Side::Baseline, TasksSnapshot());
    TaskInfoNode library[kHistoryRows] = {};
    TaskInfoNode baseline[kHistoryRows] = {};
    int filled[2] = {0, 0};
    ComparePerCall(
        state, RunSizes().perCallReads,
        [&](size_t) { filled[0] = Manager().GetAllTaskInfo(library, kHistoryRows); },
        [&](size_t) { filled[1] = BaselineTaskHistory(baseline, kHistoryRows); });
    ExpectSameResult(state, HistoryDigest(library, filled[0]), HistoryDigest(baseline, filled[1]));
}

void QueryFailFileInfoByIDCase(benchmark::State& state) {
    const Sizes& sizes = RunSizes();
    const std::string start = FilesSnapshot(sizes.perCallFiles, sizes.perCallFailures);
    Restore(Side::Library, start);
    Restore(Side::Baseline, start);
    const int count = static_cast<int>(sizes.perCallFailures);
    const int taskId = NewestTaskId();
    std::vector<MapFailPariNode> library(sizes.perCallFailures);
    std::vector<MapFailPariNode> baseline(sizes.perCallFailures);
    ComparePerCall(
        state, sizes.perCallReads,
        [&](size_t) { Manager().QueryFailFileInfoByID(library.data(), taskId, count); },
        [&](size_t) { BaselineFailedFiles(baseline.data(), taskId, count); });
    ExpectSameResult(state, FailedFilesDigest(library), FailedFilesDigest(baseline));
}
}  // namespace

void RegisterRecordCases() {
    const Sizes& sizes = RunSizes();
    Register("UpdateFailFileInfo/" + std::to_string(sizes.failures) + "_of_" +
                 std::to_string(sizes.largeTree),
             sizes.bulkIterations, UpdateFailFileInfoCase, sizes.largeTree, sizes.failures);
    const std::string reads = std::to_string(sizes.perCallReads);
    Register("GetAllTaskInfo/" + reads + "_calls", sizes.callIterations, GetAllTaskInfoCase);
    Register("QueryFailFileInfoByID/" + reads + "_calls_of_" +
                 std::to_string(sizes.perCallFailures) + "_rows",
             sizes.callIterations, QueryFailFileInfoByIDCase);
}

}  // namespace bench

#include "TaskRecorder.h"

#include <cstdio>
#include <ctime>
#include <iterator>
#include <list>

#include "Console.h"
#include "Files.h"
#include "Library.h"
#include "Locks.h"
#include "Text.h"
#include "Tool.h"

namespace transferdb {
namespace {
const wchar_t* const kSampleApps[] = {L"Text Editor", L"Photo Viewer", L"Spreadsheet"};
const wchar_t* const kSampleSettings[] = {L"Desktop background", L"Mouse pointer speed",
                                          L"Regional format"};
const wchar_t* const kSampleBrowsers[] = {L"Web browser (default profile)",
                                          L"Web browser (work profile)"};
constexpr size_t kListed = 10;

// Marks the task's applications and settings migrated, with their category counters.
void FinishSampleItems(DataBaseManager& db, int taskId, long long now) {
    TransferTask task;
    task.taskID = taskId;
    task.endTime = now;
    std::vector<std::wstring> names;
    db.QueryAllAppNameByID(names, taskId);
    for (const std::wstring& name : names) {
        SendAppInfo app;
        app.appName = name;
        app.downStatusIndex = kItemDone;
        db.UpdateTaskAPPStatus(app, taskId);
    }
    task.transferAppNums = task.transferSucAppNums = static_cast<int>(names.size());
    task.appStatus = kTaskFinished;
    db.UpdateAppTaskInfo(task);

    db.GetTaskSettingInfo(taskId, names);
    for (const std::wstring& name : names) db.UpdateSettingInfo({name, kItemDone}, taskId);
    task.transferSettingNums = task.transferSucSettingNums = static_cast<int>(names.size());
    task.settingStatus = kTaskFinished;
    db.UpdateSettingTaskInfo(task);
}
}  // namespace

int SampleApplications() { return static_cast<int>(std::size(kSampleApps)); }
int SampleSettings() { return static_cast<int>(std::size(kSampleSettings)); }

void RecordSampleItems(DataBaseManager& db, int taskId) {
    std::vector<SendAppInfo> apps;
    for (const wchar_t* name : kSampleApps) {
        SendAppInfo app;
        app.appName = name;
        app.downStatusIndex = kItemPending;
        app.installStatusIndex = kItemPending;
        apps.push_back(app);
    }
    db.InsertAppInfo(apps, taskId);
    std::vector<TransferSettingInfo> settings;
    for (const wchar_t* name : kSampleSettings) settings.push_back({name, kItemPending});
    db.InsertSettingInfo(settings, taskId);
    std::vector<std::wstring> browsers(std::begin(kSampleBrowsers), std::end(kSampleBrowsers));
    db.InsertBookmarkInfo(browsers, taskId);
}

TaskRecorder::TaskRecorder(DataBaseManager& db, LockFile& lock, const SourceAndTarget& files,
                           const DirTreeNode* top, int taskId)
    : db(db), lock(lock), files(files), top(top) {
    progress.taskID = taskId;
}

void TaskRecorder::Resumed(int filesBefore, long long bytes, int folders, int failuresBefore) {
    progress.completeNums = filesBefore;
    progress.completeSize = bytes;
    progress.completeEmptyFolderNum = folders;
    failed += failuresBefore;
}

void TaskRecorder::Add(const Entry& entry, int code) {
    if (!entry.NeedsCopy()) return;
    if (Pending() == 0) batchStarted = Clock::now();
    const DirTreeNode* node = entry.node;
    if (code != 0) {
        if (failedNow.size() < kListed) failedNow.emplace_back(node->sendFilePath, code);
        failures.push_back({node->fileName, node->sendFilePath, code});
        return;
    }
    TransferFileInfo file;
    file.taskId = progress.taskID;
    file.status = kFileCopied;
    file.fileSize = entry.size;
    file.filePath = node->sendFilePath;
    file.errCode = 0;
    copied.push_back(std::move(file));
    if (node->isFolder) {
        ++batchFolders;
    } else {
        ++batchFiles;
        batchBytes += entry.size;
    }
}

void TaskRecorder::FolderComplete(const DirTreeNode* folder) { finishing.push_back(folder); }

bool TaskRecorder::Due() const {
    return Pending() >= kBatchSize || (Pending() > 0 && Clock::now() >= Deadline());
}

void TaskRecorder::Flush() {
    if (Pending() > 0) {
        files.Sync();
        db.UpdateTaskFileStatus(copied);
        db.UpdateFailFileInfo(failures, progress.taskID);
        progress.completeNums += batchFiles;
        progress.completeSize += batchBytes;
        progress.completeEmptyFolderNum += batchFolders;
        failed += static_cast<int>(failures.size());
        copied.clear();
        failures.clear();
        batchFiles = batchFolders = 0;
        batchBytes = 0;
        Checkpoint(kTaskRunning);
    }
    // Deepest first, as they were completed: a folder closed to its owner is closed last.
    for (const DirTreeNode* folder : finishing) {
        std::filesystem::path relative = RelativePath(folder, top);
        int error = files.FinishFolder(relative);
        if (error == 0) continue;
        if (++unfinishedFolders <= static_cast<int>(kListed)) {
            Console::Get().Note("transferdb: cannot give " + Printable(folder->sendFilePath) +
                                "'s permissions and times to its copy: " + ErrorText(error));
        }
    }
    finishing.clear();
}

void TaskRecorder::Checkpoint(int fileState) {
    progress.endTime = std::time(nullptr);
    progress.fileStatus = fileState;
    db.UpdateFileTaskInfo(progress);
    RequireRecorded();
}

// The library's updates of a task that is gone change nothing and say nothing.
void TaskRecorder::RequireRecorded() {
    int completeNums = -1;
    long long completeSize = 0;
    int completeEmptyFolderNum = 0;
    db.QueryTaskCompleteInfoByID(progress.taskID, completeNums, completeSize,
                                 completeEmptyFolderNum);
    if (completeNums >= 0) return;
    throw ToolError(kExitFailure, "task " + std::to_string(progress.taskID) +
                                      " was removed from the database while it ran (the "
                                      "history was pruned or cleaned by another program); "
                                      "the copies in TARGET stay, their record is lost");
}

// The history keeps the three newest tasks; pruning waits until no other run of the tool is
// copying, since a running task can be older than three finished ones.
void TaskRecorder::PruneHistory() {
    lock.Unlock(LockFile::Task(progress.taskID));
    lock.Unlock(LockFile::kRunning);
    if (!lock.TryLock(LockFile::kRunning, true)) {
        Console::Get().Note(
            "transferdb: the history is not pruned while another transferdb process "
            "migrates; the last run to end prunes it");
        return;
    }
    db.UpdateTransferHistory();
    lock.Unlock(LockFile::kRunning);
}

int TaskRecorder::Finish(long long started) {
    Flush();
    int state = failed > 0 ? kTaskFinishedWithFailures : kTaskFinished;
    Checkpoint(state);
    FinishSampleItems(db, progress.taskID, progress.endTime);
    db.UpdateTaskStatusById(progress.taskID, state);
    RequireRecorded();
    PruneHistory();

    if (LibraryErrors() > 0) {
        PrintWhatTheDatabaseHolds();
        throw ToolError(kExitFailure,
                        "the library reported errors; the task's record may be incomplete");
    }
    std::printf("task %d %s in %s: %d files (%s) and %d empty folders copied, %d failed\n",
                progress.taskID, TaskStateText(state).c_str(),
                FormatDuration(progress.endTime - started).c_str(), progress.completeNums,
                FormatSize(progress.completeSize).c_str(), progress.completeEmptyFolderNum, failed);
    for (const auto& [path, code] : failedNow) {
        std::printf("  failed: %s (%s)\n", Printable(path).c_str(), ErrorText(code).c_str());
    }
    if (failed > 0) std::printf("the failures: transferdb failures %d\n", progress.taskID);
    std::fflush(stdout);
    return failed > 0 ? kExitFilesFailed : kExitOk;
}

// After the library refused some writes, the run's own counts say what was copied, not what was
// recorded: the summary is read back from the task's rows instead.
void TaskRecorder::PrintWhatTheDatabaseHolds() {
    std::list<TransferFileInfo> rows;
    db.GetTaskFileInfo(progress.taskID, rows);
    long long copiedRows = 0, failedRows = 0, without = 0;
    for (const TransferFileInfo& row : rows) {
        if (row.status == kFileCopied) {
            ++copiedRows;
        } else if (row.status == kFileFailed) {
            ++failedRows;
        } else {
            ++without;
        }
    }
    std::printf(
        "task %d: the database holds %lld entries copied, %lld failed and %lld without "
        "an outcome\n",
        progress.taskID, copiedRows, failedRows, without);
    std::fflush(stdout);
}

}  // namespace transferdb

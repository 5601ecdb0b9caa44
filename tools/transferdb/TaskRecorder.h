// The record of a task's run: outcomes recorded in batches, each after one sync that makes its
// copies durable (an outcome is never recorded before its file is on the disk), the task's
// counters with each batch, the folders finished once their contents are recorded, and the end
// of the task with its summary.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "DataBaseManager.h"
#include "Selection.h"

namespace transferdb {

class LockFile;
class SourceAndTarget;

// Applications, settings and browsers that every task carries, so that the records of every
// kind are filled as in a migration to a new PC; they "migrate" once the files are done.
int SampleApplications();
int SampleSettings();
void RecordSampleItems(DataBaseManager& db, int taskId);

class TaskRecorder {
public:
    using Clock = std::chrono::steady_clock;

    TaskRecorder(DataBaseManager& db, LockFile& lock, const SourceAndTarget& files,
                 const DirTreeNode* top, int taskId);

    // What earlier runs of the task recorded.
    void Resumed(int files, long long bytes, int folders, int failures);
    // Failures that have no row to be recorded in.
    void Unrecorded(int failures) { failed += failures; }

    // An entry's outcome: 0 for copied, else its error code; entries that an earlier run
    // recorded are passed over. Recorded with the next batch.
    void Add(const Entry& entry, int code);
    // A folder whose every entry has been added: it gets its source's permissions and times
    // once the batch holding them is recorded.
    void FolderComplete(const DirTreeNode* folder);

    // Whether the batch should be recorded now, and when it will be old enough to be.
    bool Due() const;
    bool Empty() const { return Pending() == 0 && finishing.empty(); }
    Clock::time_point Deadline() const { return batchStarted + kBatchAge; }
    // Records the batch: its copies are made durable first, then its outcomes and the task's
    // counters are written, then its finished folders get their permissions and times.
    void Flush();

    // Records the last batch and the end of the task, prints its summary and returns the exit
    // code.
    int Finish(long long started);

    // Outcomes are recorded together: a batch is recorded when it holds this many, or when its
    // first outcome is this old, whichever comes first.
    static constexpr size_t kBatchSize = 1000;
    static constexpr std::chrono::milliseconds kBatchAge{200};

private:
    size_t Pending() const { return copied.size() + failures.size(); }
    void Checkpoint(int fileState);
    void RequireRecorded();
    void PruneHistory();
    void PrintWhatTheDatabaseHolds();

    DataBaseManager& db;
    LockFile& lock;
    const SourceAndTarget& files;
    const DirTreeNode* top;
    TransferTask progress;      // taskID, the recorded completion counters, endTime and fileStatus
    int failed = 0;             // recorded failures, and those that have no row
    int unfinishedFolders = 0;  // folders that could not get their permissions and times
    // The batch: outcomes not recorded yet, and the folders they complete.
    std::vector<TransferFileInfo> copied;
    std::vector<SendFailedFileInfo> failures;
    std::vector<const DirTreeNode*> finishing;
    int batchFiles = 0;
    int batchFolders = 0;
    long long batchBytes = 0;
    Clock::time_point batchStarted;
    std::vector<std::pair<std::wstring, int>> failedNow;  // the first few, with the error code
};

}  // namespace transferdb

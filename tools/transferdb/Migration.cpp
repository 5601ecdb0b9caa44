#include "Migration.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "Console.h"
#include "CopyQueue.h"
#include "DataBaseManager.h"
#include "Files.h"
#include "Library.h"
#include "Locks.h"
#include "Selection.h"
#include "TaskRecorder.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
constexpr size_t kFailuresListed = 10;

// What a run waits for, when it has to.
const char* const kWaitForPrune = "a prune or clean in another transferdb process to end";
const char* const kWaitForCreate = "another transferdb process to record its task";

bool Inside(const fs::path& inner, const fs::path& outer) {
    fs::path relative = inner.lexically_relative(outer);
    return !relative.empty() && *relative.begin() != "..";
}

// Without a trailing separator: the path the scan names SOURCE's node after.
fs::path WithoutTrailingSeparator(fs::path path) {
    path = path.lexically_normal();
    if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
    return path;
}

fs::path AbsoluteFolder(const std::string& argument, std::error_code& error) {
    return WithoutTrailingSeparator(fs::absolute(PathFromArgument(argument), error));
}

// An older run recorded TARGET as typed, with a trailing separator if it had one.
bool SameFolder(const fs::path& recorded, const fs::path& folder) {
    return WithoutTrailingSeparator(recorded) == folder;
}
}  // namespace

MigrationFolders FoldersFromArguments(const std::string& sourceArgument,
                                      const std::string& targetArgument, bool targetExists) {
    MigrationFolders folders;
    std::error_code error;
    folders.source = AbsoluteFolder(sourceArgument, error);
    if (error || !fs::is_directory(folders.source, error)) {
        throw ToolError(kExitUsage, "SOURCE " + sourceArgument + " is not a folder");
    }
    folders.target = AbsoluteFolder(targetArgument, error);
    const bool exists = fs::exists(folders.target, error);
    if (error || (exists && !fs::is_directory(folders.target, error)) ||
        (targetExists && !exists)) {
        throw ToolError(kExitUsage, "TARGET " + targetArgument + " is not a folder");
    }
    if (!TextFromPath(folders.target, folders.targetText)) {
        throw ToolError(kExitUsage, "TARGET " + targetArgument + " is not a UTF-8 path");
    }
    TextFromPath(folders.source.make_preferred(), folders.sourceText);
    // Copying a folder into itself, or over the folder that holds it, would overwrite sources.
    fs::path source = fs::weakly_canonical(folders.source, error);
    fs::path target = fs::weakly_canonical(folders.target, error);
    if (Inside(target, source) || Inside(source, target)) {
        throw ToolError(kExitUsage, "SOURCE and TARGET must not lie inside each other");
    }
    return folders;
}

void RequireRecordedTarget(int taskId, const std::wstring& recorded,
                           const MigrationFolders& folders) {
    // The library's records keep the first 511 characters.
    const bool cut = recorded.size() == kRecordTextUnits - 1;
    if (cut ? folders.targetText.compare(0, recorded.size(), recorded) == 0
            : SameFolder(PathFromText(recorded), folders.target)) {
        return;
    }
    throw ToolError(kExitUsage, "task " + std::to_string(taskId) + " migrated into " +
                                    Printable(recorded) + ", not into TARGET " +
                                    Printable(folders.target));
}

namespace {
void RandomSession(char (&session)[16]) {
    std::random_device random;
    for (char& byte : session) byte = static_cast<char>(random() & 0xFF);
}

std::string Hex(const char (&bytes)[16]) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (char byte : bytes) {
        text += kDigits[(byte >> 4) & 0xF];
        text += kDigits[byte & 0xF];
    }
    return text;
}

// The folders of the entries on the way, from SOURCE down: when the walk leaves a folder,
// everything in it has been added, and it is complete.
class FolderWalk {
public:
    FolderWalk(TaskRecorder& recorder, const DirTreeNode* top) : recorder(recorder), top(top) {}

    // Follows the walk to `entry`'s folder (an empty folder is its own).
    void MoveTo(const DirTreeNode* entry) {
        way.clear();
        for (const DirTreeNode* at = entry->isFolder ? entry : entry->parent; at != nullptr;
             at = at == top ? nullptr : at->parent) {
            way.push_back(at);
        }
        size_t shared = 0;
        while (shared < open.size() && shared < way.size() &&
               open[shared] == way[way.size() - 1 - shared]) {
            ++shared;
        }
        CloseDownTo(shared);
        for (size_t k = way.size() - shared; k-- > 0;) open.push_back(way[k]);
    }
    void CloseAll() { CloseDownTo(0); }

private:
    void CloseDownTo(size_t depth) {
        while (open.size() > depth) {
            recorder.FolderComplete(open.back());
            open.pop_back();
        }
    }

    TaskRecorder& recorder;
    const DirTreeNode* top;
    std::vector<const DirTreeNode*> open;  // SOURCE first
    std::vector<const DirTreeNode*> way;
};

// Ends the process on the spot: the batch in progress, the counters and the status are not
// written, which is what a crash or a pulled plug leaves behind.
[[noreturn]] void StopAsACrashWould(int stopAfter, int taskId) {
    Console::Get().Note("transferdb: --stop-after " + std::to_string(stopAfter) +
                        ": stopping here as a crash would; task " + std::to_string(taskId) +
                        " is left unfinished");
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(kExitInterrupted);
}

// What Migrate and Resume share once the task's entries are known: the copies on the pool, their
// outcomes recorded in order, each folder finished after its contents, and the end of the task.
int CopyAndRecord(const DirTreeNode* top, const std::vector<Entry>& entries, TaskRecorder& recorder,
                  const SourceAndTarget& copies, const MigrationOptions& options, int taskId,
                  long long started) {
    // The files and bytes to do, and those that earlier runs did: the progress counts entries
    // that are not folders, failed or copied.
    long long totalFiles = 0, totalBytes = 0, files = 0, bytes = 0;
    for (const Entry& entry : entries) {
        if (entry.node->isFolder) continue;
        ++totalFiles;
        totalBytes += entry.size;
        if (!entry.NeedsCopy()) {
            ++files;
            bytes += entry.size;
        }
    }
    Console& console = Console::Get();
    console.StartProgress(totalFiles, totalBytes, files, bytes);
    int copiedHere = 0;
    {
        CopyQueue queue(copies, top, entries, options.workers);
        FolderWalk walk(recorder, top);
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& entry = entries[i];
            // A batch is recorded when it is old enough, even while a large file is copied.
            while (!recorder.Empty() && !queue.WaitNext(recorder.Deadline())) recorder.Flush();
            int code = queue.TakeNext();
            walk.MoveTo(entry.node);
            recorder.Add(entry, code);
            if (entry.NeedsCopy() && !entry.node->isFolder) {
                console.Progress(++files, bytes += entry.size);
            }
            if (entry.NeedsCopy() && ++copiedHere == options.stopAfter) {
                StopAsACrashWould(options.stopAfter, taskId);
            }
            if (recorder.Due()) recorder.Flush();
        }
        walk.CloseAll();
    }
    console.EndProgress();
    return recorder.Finish(started);
}
}  // namespace

int Migrate(const MigrationOptions& options) {
    MigrationFolders folders = FoldersFromArguments(options.source, options.target);
    LockFile& lock = LockFile::Get();
    lock.Lock(LockFile::kRunning, false, kWaitForPrune);
    DataBaseManager& db = Library();
    DirectoryTreeManager tree;
    Scan scan = ScanSource(tree, folders.source);
    SelectAll(scan.top);
    std::vector<Entry> entries = SelectedEntries(tree, scan);

    TransferTask task;
    task.startTime = task.endTime = std::time(nullptr);
    task.status = kTaskRunning;
    int files = 0;
    int emptyFolders = 0;
    for (Entry& entry : entries) {
        if (entry.node->isFolder) {
            ++emptyFolders;
            continue;
        }
        ++files;
        if (options.failEvery > 0 && files % options.failEvery == 0 && entry.presetError == 0) {
            entry.presetError = kInjectedError;
        }
        task.transferSize += entry.size;
    }
    task.transferFileNums = files;
    task.transferAppNums = SampleApplications();
    task.transferSettingNums = SampleSettings();
    task.macAddr = " ";
    RandomSession(task.session);
    // A local migration's "new PC" is its target; an entry's place there is its place below
    // SOURCE, so the rows' target paths stay empty.
    task.newPCModel = folders.targetText;
    // The library reads back the largest id: no other run of the tool may insert in between.
    lock.Lock(LockFile::kCreate, true, kWaitForCreate);
    db.InsertOneTask(task);
    int taskId = db.GetMaxTaskID();
    if (taskId == 0) throw ToolError(kExitFailure, "the library did not record the task");
    lock.TryLock(LockFile::Task(taskId), true);
    lock.Unlock(LockFile::kCreate);
    db.InsertFileInfo(tree.GetRootNode(), taskId);
    RecordSampleItems(db, taskId);

    std::printf("task %d: migrating %d files (%s) and %d empty folders from %s to %s\n", taskId,
                files, FormatSize(task.transferSize).c_str(), emptyFolders,
                Printable(folders.source).c_str(), Printable(folders.target).c_str());
    std::fflush(stdout);
    SourceAndTarget copies(folders.source, folders.target);
    TaskRecorder recorder(db, lock, copies, scan.top, taskId);
    recorder.Unrecorded(scan.unrecorded);
    return CopyAndRecord(scan.top, entries, recorder, copies, options, taskId, task.startTime);
}

namespace {
// The newest task, when it is unfinished and no other process copies it; null otherwise.
bool TaskToResume(DataBaseManager& db, LockFile& lock, TransferTask& task) {
    db.GetLastUnCompleteTask(task);
    if (task.taskID == 0) throw ToolError(kExitFailure, "no task to resume: the history is empty");
    if (task.status != kTaskRunning) {
        std::printf("task %d has %s; nothing to resume\n", task.taskID,
                    TaskStateText(task.status).c_str());
        return false;
    }
    if (!lock.TryLock(LockFile::Task(task.taskID), true)) {
        throw ToolError(kExitFailure, "task " + std::to_string(task.taskID) +
                                          " is being copied by another transferdb process; "
                                          "it can be resumed once that process has ended");
    }
    return true;
}

// The task migrated into the "new PC" it recorded: TARGET must be that folder.
void RequireSameTarget(DataBaseManager& db, int taskId, const MigrationFolders& folders) {
    std::vector<TaskInfoNode> newest(3);
    int count = db.GetAllTaskInfo(newest.data(), static_cast<int>(newest.size()));
    if (count < 1 || newest[0].taskID != taskId) return;
    RequireRecordedTarget(taskId, newest[0].newPCModel, folders);
}
}  // namespace

int Resume(const MigrationOptions& options) {
    MigrationFolders folders = FoldersFromArguments(options.source, options.target);
    RequireDatabase();
    LockFile& lock = LockFile::Get();
    lock.Lock(LockFile::kRunning, false, kWaitForPrune);
    DataBaseManager& db = Library();
    TransferTask task;
    if (!TaskToResume(db, lock, task)) return kExitOk;
    RequireSameTarget(db, task.taskID, folders);
    // What was recorded, read before the tree is built: the library's records of a million
    // entries take more memory than the tree.
    RecordedOutcomes outcomes(db, task.taskID, folders.sourceText);

    DirectoryTreeManager tree;
    Scan scan = ScanSource(tree, folders.source);
    // The library rebuilds the newest task: no migration may start one until it has.
    lock.Lock(LockFile::kCreate, true, kWaitForCreate);
    int scannedFor = task.taskID;
    db.GetLastUnCompleteTask(task);
    if (task.taskID != scannedFor) {
        throw ToolError(kExitFailure, "task " + std::to_string(task.taskID) +
                                          " was started by another transferdb process while "
                                          "SOURCE was scanned; only the newest task resumes");
    }
    std::vector<SendFailedFileInfo> failures;
    int missing = 0;
    db.RecoveryDirTreeByID(failures, tree, missing);
    lock.Unlock(LockFile::kCreate);
    // What verify found different or missing is copied again: no failure of the task.
    const auto again = std::remove_if(failures.begin(), failures.end(), [](const auto& failure) {
        return CopiedAgainOnResume(failure.errCode);
    });
    const long long foundByVerify = failures.end() - again;
    failures.erase(again, failures.end());
    std::vector<Entry> entries = SelectedEntries(tree, scan);
    if (entries.empty() && missing > 0) {
        throw ToolError(kExitUsage, "task " + std::to_string(task.taskID) + " did not migrate " +
                                        Printable(folders.source) + ": none of its " +
                                        std::to_string(missing) + " entries is there");
    }

    int doneFiles = 0;
    int doneFolders = 0;
    long long doneBytes = 0;
    size_t left = 0;
    for (Entry& entry : entries) {
        entry.earlier = outcomes.Of(entry.node);
        if (entry.earlier == Earlier::kNothing) {
            ++left;
        } else if (entry.earlier == Earlier::kCopied && entry.node->isFolder) {
            ++doneFolders;
        } else if (entry.earlier == Earlier::kCopied) {
            ++doneFiles;
            doneBytes += entry.size;
        }
    }
    // The counters recorded before the interruption lag behind the files: count them again.
    db.UpdateTaskCompleteInfoById(task.taskID, doneFiles, doneBytes, doneFolders);

    std::printf(
        "resuming task %d of %s (session %s)\n  done: %d files, %d empty folders; "
        "failed: %zu; gone from SOURCE: %d; left to copy: %zu\n",
        task.taskID, FormatTime(task.startTime).c_str(), Hex(task.session).c_str(), doneFiles,
        doneFolders, failures.size(), missing, left);
    if (foundByVerify > 0) {
        std::printf("  to copy again, found different or missing by verify: %lld\n", foundByVerify);
    }
    for (size_t i = 0; i < failures.size() && i < kFailuresListed; ++i) {
        std::printf("  failed earlier: %s (%s)\n", Printable(failures[i].sendFilePath).c_str(),
                    ErrorText(failures[i].errCode).c_str());
    }
    std::fflush(stdout);

    SourceAndTarget copies(folders.source, folders.target);
    // The copies of entries since gone from SOURCE that the interruption cut short leave
    // nothing either; those of the others are removed when the entries are copied again.
    outcomes.ForEachWithout([&](const std::string& relative) {
        std::wstring text;
        fs::path path = PathFromArgument(relative);
        if (!relative.empty() && TextFromPath(folders.source / path, text) &&
            tree.FindNodeByPath(text) == nullptr) {
            copies.RemoveTemporary(path);
        }
    });
    TaskRecorder recorder(db, lock, copies, scan.top, task.taskID);
    recorder.Unrecorded(scan.unrecorded);
    recorder.Resumed(doneFiles, doneBytes, doneFolders, static_cast<int>(failures.size()));
    return CopyAndRecord(scan.top, entries, recorder, copies, options, task.taskID, task.startTime);
}

}  // namespace transferdb

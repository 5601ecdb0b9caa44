#include "Migration.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <future>
#include <iterator>
#include <list>
#include <map>
#include <random>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Console.h"
#include "DataBaseManager.h"
#include "FileTreeThreadPool.h"
#include "Files.h"
#include "Library.h"
#include "Locks.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {

// Applications, settings and browsers that every task carries, so that the records of every
// kind are filled as in a migration to a new PC; they "migrate" once the files are done.
const wchar_t* const kSampleApps[] = {L"Text Editor", L"Photo Viewer", L"Spreadsheet"};
const wchar_t* const kSampleSettings[] = {L"Desktop background", L"Mouse pointer speed",
                                          L"Regional format"};
const wchar_t* const kSampleBrowsers[] = {L"Web browser (default profile)",
                                          L"Web browser (work profile)"};

// Outcomes are recorded together, made durable by one sync first: a batch is recorded when it
// holds this many, or when its first outcome is this old, whichever comes first.
constexpr size_t kBatchSize = 1000;
constexpr std::chrono::milliseconds kBatchAge{200};
// Copies queued ahead of the recording, so that the queue does not grow with the tree.
constexpr size_t kCopiesAhead = 4 * kBatchSize;
constexpr size_t kCopiesPerJob = 32;
constexpr int kCancelled = -1;  // a queued copy skipped because the run ends early
constexpr size_t kFailuresListed = 10;

using Clock = std::chrono::steady_clock;

// What a run waits for, when it has to.
const char* const kWaitForPrune = "a prune or clean in another transferdb process to end";
const char* const kWaitForCreate = "another transferdb process to record its task";

// One selected leaf of the tree: a file, a link or an empty folder.
struct Entry {
    DirTreeNode* node = nullptr;
    fs::path relative;  // below SOURCE and TARGET; empty for SOURCE itself
    fs::path source;
    fs::path target;
    long long size = 0;
    bool folder = false;
    int presetError = 0;  // recorded as it is, without a copy: --fail-every, or unreadable
};

struct Folders {
    fs::path source;
    fs::path target;
    std::wstring targetText;
};

bool Inside(const fs::path& inner, const fs::path& outer) {
    fs::path relative = inner.lexically_relative(outer);
    return !relative.empty() && *relative.begin() != "..";
}

Folders CheckFolders(const MigrationOptions& options) {
    Folders folders;
    std::error_code error;
    folders.source = fs::absolute(PathFromArgument(options.source), error).lexically_normal();
    if (error || !fs::is_directory(folders.source, error)) {
        throw ToolError(kExitUsage, "SOURCE " + options.source + " is not a folder");
    }
    folders.target = fs::absolute(PathFromArgument(options.target), error).lexically_normal();
    if (error || (fs::exists(folders.target, error) && !fs::is_directory(folders.target, error))) {
        throw ToolError(kExitUsage, "TARGET " + options.target + " is not a folder");
    }
    if (!TextFromPath(folders.target, folders.targetText)) {
        throw ToolError(kExitUsage, "TARGET " + options.target + " is not a UTF-8 path");
    }
    // Copying a folder into itself, or over the folder that holds it, would overwrite sources.
    fs::path source = fs::weakly_canonical(folders.source, error);
    fs::path target = fs::weakly_canonical(folders.target, error);
    if (Inside(target, source) || Inside(source, target)) {
        throw ToolError(kExitUsage, "SOURCE and TARGET must not lie inside each other");
    }
    return folders;
}

// What the scan of SOURCE gives: the tree, and the entries it could not read, each with its
// error code. Those are nodes of the tree too, so that the task records them and they count as
// failures of the run; a folder that can be listed but not entered has its entries there, and
// is not taken for an empty folder.
struct Scan {
    DirTreeNode* top = nullptr;
    std::unordered_map<const DirTreeNode*, int> unreadable;
    int unrecorded = 0;  // unreadable, and without a node: a name taken by another
};

Scan ScanSource(DirectoryTreeManager& tree, const fs::path& source) {
    std::vector<DiskScanSkip> skipped;
    Scan scan;
    scan.top = tree.BuildDiskTree(source, skipped);
    if (scan.top == nullptr) {
        throw ToolError(kExitUsage, "cannot read SOURCE " + Show(source) +
                                        (skipped.empty() ? "" : ": " + skipped[0].error.message()));
    }
    for (size_t i = 0; i < skipped.size(); ++i) {
        const DiskScanSkip& skip = skipped[i];
        if (i < kFailuresListed) {
            Console::Get().Note("cannot read " + Show(skip.path) + ": " + skip.error.message());
        }
        std::wstring parentText;
        DirTreeNode* parent = TextFromPath(skip.path.parent_path(), parentText)
                                  ? tree.FindNodeByPath(parentText)
                                  : nullptr;
        std::wstring name = TextFromPathLossy(skip.path.filename());
        if (parent == nullptr || parent->children.count(name) != 0) {
            ++scan.unrecorded;
            continue;
        }
        std::error_code ignored;
        bool folder = fs::is_directory(fs::symlink_status(skip.path, ignored));
        int code = skip.error ? skip.error.value() : static_cast<int>(std::errc::io_error);
        scan.unreadable[tree.AddNode(parent, name, folder)] = code;
    }
    if (!skipped.empty()) {
        Console::Get().Note(std::to_string(skipped.size()) +
                            " entries of SOURCE cannot be read: they count as failed");
    }
    return scan;
}

// Entries the scan could not read fail as they are, without a copy.
void MarkUnreadable(const Scan& scan, std::vector<Entry>& entries) {
    for (Entry& entry : entries) {
        auto it = scan.unreadable.find(entry.node);
        if (it != scan.unreadable.end()) entry.presetError = it->second;
    }
}

void SelectAll(DirTreeNode* top) {
    std::vector<DirTreeNode*> pending{top};
    while (!pending.empty()) {
        DirTreeNode* node = pending.back();
        pending.pop_back();
        node->Select();
        for (auto& child : node->children) pending.push_back(child.second);
    }
}

bool IsLeaf(const DirTreeNode* node) {
    if (!node->isFolder) return true;
    return std::none_of(node->children.begin(), node->children.end(),
                        [](const auto& child) { return child.second->selectState != 0; });
}

Entry MakeEntry(DirTreeNode* node, const fs::path& target, const fs::path& relative) {
    Entry entry;
    entry.node = node;
    entry.relative = relative;
    entry.source = PathFromText(node->sendFilePath);
    entry.target = target / relative;
    entry.folder = node->isFolder;
    std::error_code error;
    if (!entry.folder && fs::is_regular_file(fs::symlink_status(entry.source, error))) {
        auto size = fs::file_size(entry.source, error);
        if (!error) entry.size = static_cast<long long>(size);
    }
    return entry;
}

// The selected leaves below `top` in the order the library records them: each folder's leaves
// by name, then its subfolders by name, each with everything it holds.
std::vector<Entry> SelectedLeaves(DirTreeNode* top, const fs::path& target) {
    std::vector<Entry> entries;
    if (top->selectState == 0) return entries;
    if (IsLeaf(top)) {
        entries.push_back(MakeEntry(top, target, fs::path()));
        return entries;
    }
    std::vector<std::pair<DirTreeNode*, fs::path>> folders{{top, fs::path()}};
    while (!folders.empty()) {
        auto [folder, folderRelative] = std::move(folders.back());
        folders.pop_back();
        size_t firstSubfolder = folders.size();
        for (const auto& [name, child] : folder->children) {
            if (child == nullptr || child->selectState == 0) continue;
            fs::path childRelative = folderRelative / PathFromText(name);
            if (IsLeaf(child)) {
                entries.push_back(MakeEntry(child, target, childRelative));
            } else {
                folders.emplace_back(child, childRelative);
            }
        }
        std::reverse(folders.begin() + firstSubfolder, folders.end());
    }
    return entries;
}

// Runs on the pool's workers; returns 0 or the error code to record.
int CopyEntry(const CopyFolders& files, const Entry& entry) {
    if (entry.presetError != 0) return entry.presetError;
    try {
        return files.Copy(entry.relative, entry.folder);
    } catch (const std::exception&) {
        return static_cast<int>(std::errc::not_enough_memory);
    }
}

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

// One run of copies for a task: the copies go to the pool, their outcomes are recorded here,
// on one thread, in batches, each after one sync that makes its copies durable: an outcome is
// never recorded before its file is on the disk.
class Run {
public:
    Run(DataBaseManager& db, const CopyFolders& files, LockFile& lock, int taskId, int stopAfter)
        : db(db), files(files), lock(lock), stopAfter(stopAfter) {
        progress.taskID = taskId;
    }

    // What earlier runs of the task achieved.
    void Resumed(int files, long long bytes, int folders, int failures) {
        progress.completeNums = files;
        progress.completeSize = bytes;
        progress.completeEmptyFolderNum = folders;
        failed += failures;
    }
    // Failures that have no row to be recorded in.
    void Unrecorded(int failures) { failed += failures; }

    // Copies `entries`, of `total` entries in the task of which `handledBefore` were handled
    // by earlier runs.
    void Copy(const std::vector<Entry>& entries, int workers, long long total,
              long long handledBefore) {
        long long shownBytes = progress.completeSize;
        Console::Get().StartProgress(total, "entries");
        Console::Get().Progress(handledBefore, shownBytes);
        std::atomic<bool> cancelled{false};
        FileTreeThreadPool pool(static_cast<size_t>(workers));
        std::deque<std::future<std::vector<int>>> queued;
        // Declared after the pool, so that an error skips the queued copies before it drains.
        struct Cancel {
            std::atomic<bool>& flag;
            ~Cancel() { flag = true; }
        } cancelOnExit{cancelled};
        // A worker copies a run of entries per job: a job and a wake-up per file cost more than
        // the copy of a small one.
        size_t next = 0;
        auto enqueue = [&] {
            while (next < entries.size() && queued.size() * kCopiesPerJob < kCopiesAhead) {
                size_t first = next;
                next = std::min(next + kCopiesPerJob, entries.size());
                queued.push_back(pool.Enqueue([this, &entries, &cancelled, first, last = next] {
                    std::vector<int> codes;
                    for (size_t k = first; k < last; ++k) {
                        codes.push_back(cancelled ? kCancelled : CopyEntry(files, entries[k]));
                    }
                    return codes;
                }));
            }
        };
        enqueue();
        std::vector<int> codes;
        size_t taken = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (taken == codes.size()) {
                std::future<std::vector<int>>& result = queued.front();
                // A batch is recorded when it is old enough, even while a large file is copied.
                while (Pending() > 0 &&
                       result.wait_until(batchStarted + kBatchAge) != std::future_status::ready) {
                    Flush();
                }
                codes = result.get();
                taken = 0;
                queued.pop_front();
                enqueue();
            }
            int code = codes[taken++];
            Add(entries[i], code);
            if (code == 0 && !entries[i].folder) shownBytes += entries[i].size;
            Console::Get().Progress(handledBefore + static_cast<long long>(i) + 1, shownBytes);
            if (stopAfter > 0 && static_cast<long long>(i) + 1 == stopAfter) Crash();
            if (Pending() >= kBatchSize || Clock::now() - batchStarted >= kBatchAge) Flush();
        }
        Flush();
        pool.Stop();
        Console::Get().EndProgress();
    }

    // Records the end of the task; returns the exit code.
    int Finish(long long started) {
        int state = failed > 0 ? kTaskFinishedWithFailures : kTaskFinished;
        Checkpoint(state);
        FinishSampleItems(db, progress.taskID, progress.endTime);
        db.UpdateTaskStatusById(progress.taskID, state);
        RequireRecorded();
        PruneHistory();

        std::printf("task %d %s in %s: %d files (%s) and %d empty folders copied, %d failed\n",
                    progress.taskID, TaskStateText(state).c_str(),
                    FormatDuration(progress.endTime - started).c_str(), progress.completeNums,
                    FormatSize(progress.completeSize).c_str(), progress.completeEmptyFolderNum,
                    failed);
        for (const auto& [entry, code] : failedNow) {
            std::printf("  failed: %s (%s)\n", Show(entry->source).c_str(),
                        ErrorText(code).c_str());
        }
        if (failed > 0) std::printf("the failures: transferdb failures %d\n", progress.taskID);
        std::fflush(stdout);
        if (LibraryErrors() > 0) {
            throw ToolError(kExitFailure,
                            "the library reported errors; the task's record may "
                            "be incomplete");
        }
        return failed > 0 ? kExitFilesFailed : kExitOk;
    }

private:
    size_t Pending() const { return copied.size() + failures.size(); }

    void Add(const Entry& entry, int code) {
        if (Pending() == 0) batchStarted = Clock::now();
        if (code != 0) {
            if (failedNow.size() < kFailuresListed) failedNow.emplace_back(&entry, code);
            failures.push_back({entry.node->fileName, entry.node->sendFilePath, code});
            return;
        }
        TransferFileInfo file;
        file.taskId = progress.taskID;
        file.status = kFileCopied;
        file.fileSize = entry.size;
        file.filePath = entry.node->sendFilePath;
        file.errCode = 0;
        copied.push_back(std::move(file));
        if (entry.folder) {
            ++batchFolders;
        } else {
            ++batchFiles;
            batchBytes += entry.size;
        }
    }

    // Records the batch: its copies are made durable first, then its outcomes and the task's
    // counters are written.
    void Flush() {
        if (Pending() == 0) return;
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

    void Checkpoint(int fileState) {
        progress.endTime = std::time(nullptr);
        progress.fileStatus = fileState;
        db.UpdateFileTaskInfo(progress);
        RequireRecorded();
    }

    // The library's updates of a task that is gone change nothing and say nothing.
    void RequireRecorded() {
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

    // The history keeps the three newest tasks; pruning waits until no other run of the tool
    // is copying, since a running task can be older than three finished ones.
    void PruneHistory() {
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

    // Ends the process on the spot: the batch in progress, the counters and the status are not
    // written, which is what a crash or a pulled plug leaves behind.
    [[noreturn]] void Crash() {
        Console::Get().Note("transferdb: --stop-after " + std::to_string(stopAfter) +
                            ": stopping here as a crash would; task " +
                            std::to_string(progress.taskID) + " is left unfinished");
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(kExitInterrupted);
    }

    DataBaseManager& db;
    const CopyFolders& files;
    LockFile& lock;
    int stopAfter;
    TransferTask progress;  // taskID, the recorded completion counters, endTime and fileStatus
    int failed = 0;         // recorded failures, and those that have no row
    // The batch: outcomes not recorded yet.
    std::vector<TransferFileInfo> copied;
    std::vector<SendFailedFileInfo> failures;
    int batchFiles = 0;
    int batchFolders = 0;
    long long batchBytes = 0;
    Clock::time_point batchStarted;
    std::vector<std::pair<const Entry*, int>> failedNow;  // the first few, with the error code
};

}  // namespace

int Migrate(const MigrationOptions& options) {
    Folders folders = CheckFolders(options);
    LockFile& lock = LockFile::Get();
    lock.Lock(LockFile::kRunning, false, kWaitForPrune);
    DataBaseManager& db = Library();
    DirectoryTreeManager tree;
    Scan scan = ScanSource(tree, folders.source);
    SelectAll(scan.top);
    std::vector<Entry> entries = SelectedLeaves(scan.top, folders.target);
    MarkUnreadable(scan, entries);

    TransferTask task;
    task.startTime = task.endTime = std::time(nullptr);
    task.status = kTaskRunning;
    int files = 0;
    int emptyFolders = 0;
    for (Entry& entry : entries) {
        TextFromPath(entry.target, entry.node->targetPath);
        if (entry.folder) {
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
    task.transferAppNums = static_cast<int>(std::size(kSampleApps));
    task.transferSettingNums = static_cast<int>(std::size(kSampleSettings));
    task.macAddr = " ";
    RandomSession(task.session);
    task.newPCModel = folders.targetText;  // a local migration's "new PC" is its target
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
                Show(folders.source).c_str(), Show(folders.target).c_str());
    std::fflush(stdout);
    CopyFolders copyFolders(folders.source, folders.target);
    Run run(db, copyFolders, lock, taskId, options.stopAfter);
    run.Unrecorded(scan.unrecorded);
    run.Copy(entries, options.workers, static_cast<long long>(entries.size()), 0);
    return run.Finish(task.startTime);
}

int Resume(const MigrationOptions& options) {
    Folders folders = CheckFolders(options);
    RequireDatabase();
    LockFile& lock = LockFile::Get();
    lock.Lock(LockFile::kRunning, false, kWaitForPrune);
    DataBaseManager& db = Library();
    TransferTask task;
    db.GetLastUnCompleteTask(task);
    if (task.taskID == 0) throw ToolError(kExitFailure, "no task to resume: the history is empty");
    if (task.status != kTaskRunning) {
        std::printf("task %d has %s; nothing to resume\n", task.taskID,
                    TaskStateText(task.status).c_str());
        return kExitOk;
    }
    if (!lock.TryLock(LockFile::Task(task.taskID), true)) {
        throw ToolError(kExitFailure, "task " + std::to_string(task.taskID) +
                                          " is being copied by another transferdb process; "
                                          "it can be resumed once that process has ended");
    }

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
    std::vector<Entry> entries = SelectedLeaves(scan.top, folders.target);
    MarkUnreadable(scan, entries);
    if (entries.empty() && missing > 0) {
        throw ToolError(kExitUsage, "task " + std::to_string(task.taskID) + " did not migrate " +
                                        Show(folders.source) + ": none of its " +
                                        std::to_string(missing) + " entries is there");
    }
    for (const Entry& entry : entries) {
        if (PathFromText(entry.node->targetPath) != entry.target) {
            throw ToolError(kExitUsage, "task " + std::to_string(task.taskID) + " copies " +
                                            Show(entry.source) + " to " +
                                            Show(entry.node->targetPath) + ", not into TARGET " +
                                            Show(folders.target));
        }
    }

    std::list<TransferFileInfo> rows;
    db.GetTaskFileInfo(task.taskID, rows);
    std::map<std::wstring, int> status;
    for (const TransferFileInfo& row : rows) status[row.filePath] = row.status;
    std::set<std::wstring> failedPaths;
    for (const SendFailedFileInfo& failure : failures) failedPaths.insert(failure.sendFilePath);

    int doneFiles = 0;
    int doneFolders = 0;
    long long doneBytes = 0;
    long long failedHere = 0;
    std::vector<Entry> left;
    for (const Entry& entry : entries) {
        if (failedPaths.count(entry.node->sendFilePath) != 0) {
            ++failedHere;
            continue;
        }
        auto row = status.find(entry.node->sendFilePath);
        if (row == status.end() || row->second != kFileCopied) {
            left.push_back(entry);
        } else if (entry.folder) {
            ++doneFolders;
        } else {
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
        doneFolders, failures.size(), missing, left.size());
    for (size_t i = 0; i < failures.size() && i < kFailuresListed; ++i) {
        std::printf("  failed earlier: %s (%s)\n", Show(failures[i].sendFilePath).c_str(),
                    ErrorText(failures[i].errCode).c_str());
    }
    std::fflush(stdout);

    CopyFolders copyFolders(folders.source, folders.target);
    Run run(db, copyFolders, lock, task.taskID, options.stopAfter);
    run.Unrecorded(scan.unrecorded);
    run.Resumed(doneFiles, doneBytes, doneFolders, static_cast<int>(failures.size()));
    run.Copy(left, options.workers, static_cast<long long>(entries.size()),
             doneFiles + doneFolders + failedHere);
    return run.Finish(task.startTime);
}

}  // namespace transferdb

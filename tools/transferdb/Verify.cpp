#include "Verify.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "Console.h"
#include "DataBaseManager.h"
#include "DatabaseFile.h"
#include "FileTreeThreadPool.h"
#include "Files.h"
#include "Library.h"
#include "Locks.h"
#include "Migration.h"
#include "Text.h"
#include "TextCodec.h"
#include "Tool.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace transferdb {
namespace {
// As the copies: a job is a run of entries, and a bounded number of them wait ahead.
constexpr size_t kEntriesPerJob = 32;
constexpr size_t kJobsAhead = 4000 / kEntriesPerJob;
constexpr size_t kMarkedPerBatch = 1000;

// An entry whose copy is not its source, or whose source is gone.
struct Finding {
    std::string path;  // SOURCE's, in UTF-8, as the task recorded it
    Comparison comparison;
};

// A finding for people, and its name in JSON.
struct DifferenceNames {
    Difference difference;
    const char* text;
    const char* key;
};
constexpr DifferenceNames kDifferenceNames[] = {
    {Difference::kMissing, "missing from TARGET", "missing"},
    {Difference::kKind, "not the same kind of entry", "kind"},
    {Difference::kSize, "size differs", "size"},
    {Difference::kTime, "modification time differs", "time"},
    {Difference::kContent, "content differs", "content"},
    {Difference::kUnreadable, "cannot be compared", "unreadable"},
    {Difference::kSourceGone, "gone from SOURCE, not compared", "sourceGone"},
};

const DifferenceNames& NamesOf(Difference difference) {
    for (const DifferenceNames& names : kDifferenceNames) {
        if (names.difference == difference) return names;
    }
    return kDifferenceNames[5];
}

std::string FindingText(const Finding& finding) {
    std::string text = NamesOf(finding.comparison.difference).text;
    if (finding.comparison.error != 0) text += " (" + ErrorText(finding.comparison.error) + ")";
    return text + ": " + Printable(finding.path);
}

// The recorded entries compared on a pool of workers, a bounded number ahead of the reading of
// the rows: only what differs is kept.
class Comparisons {
public:
    Comparisons(const SourceAndTarget& files, int workers)
        : files(files), pool(std::make_unique<FileTreeThreadPool>(static_cast<size_t>(workers))) {}
    // Skips the comparisons not begun, waits for those under way.
    ~Comparisons() {
        cancelled = true;
        pool->Stop();
    }
    Comparisons(const Comparisons&) = delete;
    Comparisons& operator=(const Comparisons&) = delete;

    void Add(std::string path, fs::path relative) {
        batch.push_back({std::move(path), std::move(relative)});
        if (batch.size() < kEntriesPerJob) return;
        Submit();
        while (jobs.size() > kJobsAhead) CollectOldest();
    }
    // Waits for every comparison; their findings in the order the entries were added.
    std::vector<Finding> Finish() {
        Submit();
        while (!jobs.empty()) CollectOldest();
        Console::Get().Progress(filesDone, bytesDone);
        return std::move(findings);
    }

private:
    struct Job {
        std::string path;
        fs::path relative;
    };

    void Submit() {
        if (batch.empty()) return;
        jobs.push_back(pool->Enqueue([this, entries = std::move(batch)] {
            std::vector<Finding> found;
            for (const Job& entry : entries) {
                if (cancelled) break;
                Comparison comparison = files.Compare(entry.relative, bytesDone);
                ++filesDone;
                if (comparison.difference != Difference::kSame) {
                    found.push_back({entry.path, comparison});
                }
            }
            return found;
        }));
        batch.clear();
    }
    // The progress goes on while a large file is read.
    void CollectOldest() {
        std::future<std::vector<Finding>>& oldest = jobs.front();
        while (oldest.wait_for(Console::kRedrawEvery) != std::future_status::ready) {
            Console::Get().Progress(filesDone, bytesDone);
        }
        for (Finding& finding : oldest.get()) findings.push_back(std::move(finding));
        jobs.pop_front();
        Console::Get().Progress(filesDone, bytesDone);
    }

    const SourceAndTarget& files;
    std::atomic<bool> cancelled{false};
    std::atomic<long long> filesDone{0};
    std::atomic<long long> bytesDone{0};
    std::unique_ptr<FileTreeThreadPool> pool;
    std::deque<std::future<std::vector<Finding>>> jobs;
    std::vector<Job> batch;
    std::vector<Finding> findings;
};

// What the task recorded, read with the tool's own SQLite.
struct RecordedTask {
    int id = 0;
    bool newest = false;
    int status = 0;
    long long copiedEntries = 0;
    long long copiedBytes = 0;
    std::wstring target;
};

RecordedTask ReadTask(DatabaseReader& reader, int taskId) {
    RecordedTask task;
    if (taskId == 0) {
        const std::vector<std::string> newest =
            reader.Column("SELECT MAX(taskID) FROM TransferTask");
        if (newest.empty() || newest[0].empty()) {
            throw ToolError(kExitFailure, "no task to verify: the history is empty");
        }
        taskId = std::stoi(newest[0]);
    }
    RequireTask(reader, taskId);
    task.id = taskId;
    try {
        reader.ForEach(
            "SELECT newPCModel, completeSize, status, taskID = (SELECT MAX(taskID) FROM "
            "TransferTask), (SELECT COUNT(1) FROM TransferFileInfo WHERE taskID = ?1 AND "
            "status = 1) FROM TransferTask WHERE taskID = ?1",
            taskId, [&](sqlite3_stmt* row) {
                const std::string target = ColumnText(row, 0);
                task.target = TextCodec::FromUtf8(target.data(), target.size());
                task.copiedBytes = sqlite3_column_int64(row, 1);
                task.status = sqlite3_column_int(row, 2);
                task.newest = sqlite3_column_int(row, 3) != 0;
                task.copiedEntries = sqlite3_column_int64(row, 4);
            });
    } catch (const ToolError& error) {
        throw ToolError(kExitFailure, reader.File() + " has an older layout (" + error.what() +
                                          "); transferdb history brings it up to date");
    }
    return task;
}

// Marks the findings failed with verify's codes, takes them off the task's counters, and leaves
// the task to a resume when it is the newest (only the newest resumes).
void MarkForCopyingAgain(const RecordedTask& task, const std::vector<Finding>& findings) {
    DataBaseManager& db = Library();
    std::vector<SendFailedFileInfo> batch;
    int files = 0, folders = 0;
    long long bytes = 0;
    for (const Finding& finding : findings) {
        const Comparison& comparison = finding.comparison;
        if (comparison.difference == Difference::kSourceGone) continue;
        std::wstring path = TextCodec::FromUtf8(finding.path.data(), finding.path.size());
        std::wstring name = TextFromPathLossy(PathFromText(path).filename());
        const int code =
            comparison.difference == Difference::kMissing ? kMissingFromTarget : kDiffersFromSource;
        batch.push_back({std::move(name), std::move(path), code});
        if (comparison.folder) {
            ++folders;
        } else {
            ++files;
            bytes += comparison.size;
        }
        if (batch.size() == kMarkedPerBatch) {
            db.UpdateFailFileInfo(batch, task.id);
            batch.clear();
        }
    }
    if (!batch.empty()) db.UpdateFailFileInfo(batch, task.id);
    int completeNums = 0, completeEmptyFolderNum = 0;
    long long completeSize = 0;
    db.QueryTaskCompleteInfoByID(task.id, completeNums, completeSize, completeEmptyFolderNum);
    db.UpdateTaskCompleteInfoById(task.id, std::max(0, completeNums - files),
                                  std::max(0LL, completeSize - bytes),
                                  std::max(0, completeEmptyFolderNum - folders));
    if (task.newest) {
        db.UpdateTaskStatusById(task.id, kTaskRunning);
    } else if (task.status == kTaskFinished) {
        db.UpdateTaskStatusById(task.id, kTaskFinishedWithFailures);
    }
    if (LibraryErrors() > 0) {
        throw ToolError(kExitFailure,
                        "the library reported errors; the task's record may be incomplete");
    }
}
}  // namespace

int Verify(const VerifyOptions& options) {
    const MigrationFolders folders = FoldersFromArguments(options.source, options.target, true);
    RequireDatabase();
    LockFile& lock = LockFile::Get();
    lock.Lock(LockFile::kRunning, false, "a prune or clean in another transferdb process to end");

    RecordedTask task;
    std::vector<Finding> findings;
    {
        DatabaseReader reader;
        RequireLibraryLayout(reader);
        task = ReadTask(reader, options.taskId);
        RequireRecordedTarget(task.id, task.target, folders);
        if (!lock.TryLock(LockFile::Task(task.id), true)) {
            throw ToolError(kExitFailure, "task " + std::to_string(task.id) +
                                              " is being copied by another transferdb process; "
                                              "verify it once that process has ended");
        }
        if (!options.json) {
            std::printf("task %d: comparing %s entries copied from %s into %s (%s)\n", task.id,
                        Grouped(task.copiedEntries).c_str(), Printable(folders.source).c_str(),
                        Printable(folders.target).c_str(), FormatSize(task.copiedBytes).c_str());
            std::fflush(stdout);
        }
        // Each recorded path is SOURCE's path, then the entry's place below it.
        const std::string top = Utf8(folders.sourceText);
        const char separator = static_cast<char>(fs::path::preferred_separator);
        SourceAndTarget files(folders.source, folders.target);
        Console::Get().StartProgress(task.copiedEntries, task.copiedBytes);
        Comparisons comparisons(files, options.workers);
        reader.ForEach("SELECT sendFilePath FROM TransferFileInfo WHERE taskID = ?1 AND status = 1",
                       task.id, [&](sqlite3_stmt* row) {
                           std::string path = ColumnText(row, 0);
                           const bool below = path.size() > top.size() &&
                                              path.compare(0, top.size(), top) == 0 &&
                                              path[top.size()] == separator;
                           if (!below && path != top) {
                               throw ToolError(kExitUsage, "task " + std::to_string(task.id) +
                                                               " did not migrate SOURCE " +
                                                               Printable(folders.source) +
                                                               ": it recorded " + Printable(path));
                           }
                           fs::path relative =
                               below ? PathFromArgument(path.substr(top.size() + 1)) : fs::path();
                           comparisons.Add(std::move(path), std::move(relative));
                       });
        findings = comparisons.Finish();
        Console::Get().EndProgress();
    }  // the tool's own SQLite closed: the library may start

    long long differ = 0;
    for (const Finding& finding : findings) {
        if (finding.comparison.difference != Difference::kSourceGone) ++differ;
    }
    const long long gone = static_cast<long long>(findings.size()) - differ;
    if (differ > 0) MarkForCopyingAgain(task, findings);

    if (options.json) {
        json mismatches = json::array(), goneFromSource = json::array();
        for (const Finding& finding : findings) {
            if (finding.comparison.difference == Difference::kSourceGone) {
                goneFromSource.push_back(finding.path);
                continue;
            }
            json item = {{"sendFilePath", finding.path},
                         {"difference", NamesOf(finding.comparison.difference).key}};
            if (finding.comparison.error != 0) {
                item["error"] = ErrorText(finding.comparison.error);
            }
            mismatches.push_back(item);
        }
        std::printf("%s\n", json({{"taskID", task.id},
                                  {"source", Utf8(folders.source)},
                                  {"target", Utf8(folders.target)},
                                  {"compared", task.copiedEntries},
                                  {"same", task.copiedEntries - differ - gone},
                                  {"mismatches", mismatches},
                                  {"goneFromSource", goneFromSource},
                                  {"resumable", differ > 0 && task.newest}})
                                .dump(2, ' ', false, json::error_handler_t::replace)
                                .c_str());
        return differ > 0 ? kExitFilesFailed : kExitOk;
    }
    for (const Finding& finding : findings) std::printf("  %s\n", FindingText(finding).c_str());
    std::printf(
        "task %d: %s of %s entries are their source; %s differ or are missing, %s gone "
        "from SOURCE\n",
        task.id, Grouped(task.copiedEntries - differ - gone).c_str(),
        Grouped(task.copiedEntries).c_str(), Grouped(differ).c_str(), Grouped(gone).c_str());
    if (differ > 0 && task.newest) {
        std::printf(
            "they are marked to be copied again: transferdb resume SOURCE TARGET copies "
            "them\n");
    } else if (differ > 0) {
        std::printf(
            "they are marked failed; only the newest task resumes: transferdb migrate "
            "SOURCE TARGET copies SOURCE again as a new task\n");
    }
    return differ > 0 ? kExitFilesFailed : kExitOk;
}

}  // namespace transferdb

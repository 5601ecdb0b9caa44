// The copies of a run on a pool of workers, in the entries' order: a bounded look-ahead of
// jobs, each a run of consecutive entries, whose outcomes are taken one entry at a time in the
// same order. Entries that an earlier run recorded pass without a copy.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <vector>

#include "Selection.h"

class FileTreeThreadPool;

namespace transferdb {

class SourceAndTarget;

class CopyQueue {
public:
    using Clock = std::chrono::steady_clock;

    CopyQueue(const SourceAndTarget& files, const DirTreeNode* top,
              const std::vector<Entry>& entries, int workers);
    // Cancels the copies not begun, waits for those under way.
    ~CopyQueue();
    CopyQueue(const CopyQueue&) = delete;
    CopyQueue& operator=(const CopyQueue&) = delete;

    // Waits until the next entry's outcome is known or `until` has passed; true when known.
    bool WaitNext(Clock::time_point until);
    // The next entry's outcome: 0, or the error code to record. Waits for it when needed.
    int TakeNext();

    // The copies made so far, and their bytes (files only), for a progress report.
    long long FilesDone() const { return filesDone.load(); }
    long long BytesDone() const { return bytesDone.load(); }

private:
    void Enqueue();
    int CopyOne(const Entry& entry, const DirTreeNode*& folder, std::filesystem::path& folderPath);

    const SourceAndTarget& files;
    const DirTreeNode* top;
    const std::vector<Entry>& entries;
    std::atomic<bool> cancelled{false};
    std::atomic<long long> filesDone{0};
    std::atomic<long long> bytesDone{0};
    std::unique_ptr<FileTreeThreadPool> pool;
    std::deque<std::future<std::vector<int>>> queued;
    size_t nextQueued = 0;   // the first entry not queued yet
    std::vector<int> taken;  // the outcomes of the oldest finished job
    size_t nextTaken = 0;
};

}  // namespace transferdb

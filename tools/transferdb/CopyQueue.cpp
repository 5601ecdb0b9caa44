#include "CopyQueue.h"

#include <algorithm>
#include <system_error>

#include "FileTreeThreadPool.h"
#include "Files.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
// A worker copies a run of entries per job: a job and a wake-up per file cost more than the
// copy of a small one.
constexpr size_t kEntriesPerJob = 32;
// Entries queued ahead of the one taken last, so that the queue does not grow with the tree.
constexpr size_t kEntriesAhead = 4000;
constexpr int kCancelled = -1;  // a queued copy skipped because the run ends early
}  // namespace

CopyQueue::CopyQueue(const SourceAndTarget& files, const DirTreeNode* top,
                     const std::vector<Entry>& entries, int workers)
    : files(files),
      top(top),
      entries(entries),
      pool(std::make_unique<FileTreeThreadPool>(static_cast<size_t>(workers))) {
    Enqueue();
}

CopyQueue::~CopyQueue() {
    cancelled = true;
    pool->Stop();
}

void CopyQueue::Enqueue() {
    while (nextQueued < entries.size() && queued.size() * kEntriesPerJob < kEntriesAhead) {
        size_t first = nextQueued;
        nextQueued = std::min(nextQueued + kEntriesPerJob, entries.size());
        queued.push_back(pool->Enqueue([this, first, last = nextQueued] {
            std::vector<int> codes;
            // The folder of the last file, and its path: the files of a folder follow each other.
            const DirTreeNode* folder = nullptr;
            fs::path folderPath;
            for (size_t k = first; k < last; ++k) {
                codes.push_back(cancelled ? kCancelled : CopyOne(entries[k], folder, folderPath));
            }
            return codes;
        }));
    }
}

int CopyQueue::CopyOne(const Entry& entry, const DirTreeNode*& folder, fs::path& folderPath) {
    if (!entry.NeedsCopy()) return 0;
    if (entry.presetError != 0) return entry.presetError;
    try {
        const DirTreeNode* node = entry.node;
        if (node->isFolder) return files.MakeFolder(RelativePath(node, top));
        if (node == top || node->parent == nullptr) {
            return static_cast<int>(std::errc::invalid_argument);
        }
        if (node->parent != folder) {
            folderPath = RelativePath(node->parent, top);
            folder = node->parent;
        }
        int code = files.CopyFile(folderPath, PathFromText(node->fileName));
        if (code == 0) {
            ++filesDone;
            bytesDone += entry.size;
        }
        return code;
    } catch (const std::exception&) {
        return static_cast<int>(std::errc::not_enough_memory);
    }
}

bool CopyQueue::WaitNext(Clock::time_point until) {
    if (nextTaken < taken.size()) return true;
    return !queued.empty() && queued.front().wait_until(until) == std::future_status::ready;
}

int CopyQueue::TakeNext() {
    if (nextTaken == taken.size()) {
        taken = queued.front().get();
        queued.pop_front();
        nextTaken = 0;
        Enqueue();
    }
    return taken[nextTaken++];
}

}  // namespace transferdb

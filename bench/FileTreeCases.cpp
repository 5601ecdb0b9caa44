// The file tree and the document cache at the scale of a whole PC: recording a tree's
// selection, resuming it, the cache's bulk insert and its resume, each beside the same work
// done straight with SQLite; and the memory that a tree of a million files takes.
#include <chrono>
#include <functional>
#include <memory>

#include "Cases.h"
#include "RawSqlite.h"
#include "Workload.h"

namespace bench {
namespace {
const std::string kInsertFileSql =
    "INSERT INTO TransferFileInfo (taskID,fileName,sendFilePath,targetPath) VALUES (?,?,?,?)";
const std::string kMaxTaskSql = "select max(taskID) from TransferTask";
const std::string kResumeSqlPrefix =
    "SELECT fileName,sendFilePath,targetPath,status,errCode FROM TransferFileInfo where taskID = ";
const std::string kInsertCacheSql =
    "INSERT INTO normal_file (filepath, tarpath, filesize, winFilePath, result) VALUES (?,?,?,?,?)";
const std::string kCacheResumeSql = "SELECT winFilePath,filepath FROM normal_file where result = 0";

const std::string kFileRowsDigest =
    "SELECT count(*) || ',' || total(length(fileName) + length(sendFilePath) + "
    "length(targetPath)) FROM TransferFileInfo";
const std::string kCacheRowsDigest =
    "SELECT count(*) || ',' || total(length(filepath) + length(tarpath) + length(winFilePath) + "
    "filesize) FROM normal_file";

constexpr double kMegabyte = 1024.0 * 1024.0;

// The selected leaves of the tree, depth first: a folder's files in key order, then its
// subfolders' subtrees, smallest key first.
void BaselineInsertFileInfo(DirTreeNode* root, int taskId) {
    raw::Connection db(BaselineDbFile(), raw::kReadWrite);
    raw::Statement insert(db.get(), kInsertFileSql);
    raw::Batches batches(db);
    std::vector<DirTreeNode*> folders{root};
    std::vector<DirTreeNode*> subfolders;
    while (!folders.empty()) {
        DirTreeNode* folder = folders.back();
        folders.pop_back();
        subfolders.clear();
        for (const auto& entry : folder->children) {
            DirTreeNode* child = entry.second;
            if (child == nullptr || child->selectState == 0) continue;
            if (child->isFolder && !child->children.empty()) {
                subfolders.push_back(child);
                continue;
            }
            insert.Bind(1, taskId);
            insert.Bind(2, child->fileName);
            insert.Bind(3, child->sendFilePath);
            insert.Bind(4, child->targetPath);
            insert.StepWrite();
            batches.RowDone();
        }
        folders.insert(folders.end(), subfolders.rbegin(), subfolders.rend());
    }
    batches.Finish();
}

int BaselineMaxTaskId() {
    raw::Connection db(BaselineDbFile(), raw::kReadOnly);
    raw::Statement max(db.get(), kMaxTaskSql);
    int id = 0;
    while (max.Step() == SQLITE_ROW) id = max.Int(0);
    return id;
}

void BaselineResumeById(DirectoryTreeManager& tree, std::vector<SendFailedFileInfo>& failed,
                        int& missing) {
    std::string sql = kResumeSqlPrefix + std::to_string(BaselineMaxTaskId());
    raw::Connection db(BaselineDbFile(), raw::kReadOnly);
    raw::Statement rows(db.get(), sql);
    while (rows.Step() == SQLITE_ROW) {
        std::wstring fileName = rows.Text(0);
        std::wstring path = rows.Text(1);
        std::wstring target = rows.Text(2);
        bool hasFailed = rows.Int(3) == 0;
        int errCode = rows.Int(4);
        DirTreeNode* node = tree.FindNodeByPath(path);
        if (node != nullptr) {
            node->Select();
            node->targetPath = std::move(target);
        } else {
            ++missing;
        }
        if (hasFailed) failed.push_back({std::move(fileName), std::move(path), errCode});
    }
}

void BaselineInsertCache(const std::vector<CacheNode>& records) {
    raw::Connection db(BaselineCacheFile(), raw::kReadWrite);
    raw::Statement insert(db.get(), kInsertCacheSql);
    raw::Batches batches(db);
    for (const CacheNode& record : records) {
        insert.Bind(1, record.filepath);
        insert.Bind(2, record.tarpath);
        insert.Bind(3, record.filesize);
        insert.Bind(4, record.winFilePath);
        insert.Bind(5, record.result);
        insert.StepWrite();
        batches.RowDone();
    }
    batches.Finish();
}

// The parts of a cache path between its slashes; a leading slash gives an empty first part.
std::vector<std::wstring> PathParts(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find(L'/', start);
        parts.push_back(path.substr(start, slash - start));
        if (slash == std::wstring::npos) break;
        start = path.find_first_not_of(L'/', slash);
        if (start == std::wstring::npos) break;
    }
    return parts;
}

void BaselineResumeByCache(DirectoryTreeManager& tree) {
    raw::Connection db(BaselineCacheFile(), raw::kReadWrite);
    raw::Statement rows(db.get(), kCacheResumeSql);
    while (rows.Step() == SQLITE_ROW) {
        DirTreeNode* node = tree.FindNodeByPath(rows.Text(0));
        if (node == nullptr) continue;
        node->Select();
        // The last parts go to the node and its ancestors, up to an ancestor already filled or
        // the root's direct children.
        std::vector<std::wstring> parts = PathParts(rows.Text(1));
        auto part = parts.rbegin();
        for (DirTreeNode* at = node; part != parts.rend(); at = at->parent, ++part) {
            if (at->parent == nullptr || at->parent->parent == nullptr || !at->shotPath.empty()) {
                break;
            }
            at->shotPath = std::move(*part);
        }
    }
}

// What a resume left in a tree: its selected nodes and the text it wrote into them.
std::string TreeDigest(DirectoryTreeManager& tree) {
    size_t selected = 0;
    size_t text = 0;
    std::vector<DirTreeNode*> pending{tree.GetRootNode()};
    while (!pending.empty()) {
        DirTreeNode* node = pending.back();
        pending.pop_back();
        selected += node->selectState != 0;
        text += node->targetPath.size() + node->shotPath.size();
        for (const auto& entry : node->children) pending.push_back(entry.second);
    }
    return std::to_string(selected) + "," + std::to_string(text);
}

void InsertFileInfoCase(benchmark::State& state, size_t files) {
    DirectoryTreeManager tree;
    BuildTree(tree, files, true);
    const std::string start = TasksSnapshot();
    const int taskId = NewestTaskId();
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(files);
    comparison.prepare = [&](Side side) { Restore(side, start); };
    comparison.library = [&] { Manager().InsertFileInfo(tree.GetRootNode(), taskId); };
    comparison.baseline = [&] { BaselineInsertFileInfo(tree.GetRootNode(), taskId); };
    Compare(state, comparison);
    ExpectSameResult(state, LibraryDbFile(), BaselineDbFile(), kFileRowsDigest);
}

// A resume into a fresh tree of `files` files for every timed run, the tree built and freed
// outside the clock. Each side returns a digest of what else it gave back.
void ResumeCase(benchmark::State& state, size_t files,
                const std::function<std::string(DirectoryTreeManager&)>& library,
                const std::function<std::string(DirectoryTreeManager&)>& baseline) {
    std::unique_ptr<DirectoryTreeManager> tree;
    std::string digest[2];
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(files);
    comparison.prepare = [&](Side) {
        tree = std::make_unique<DirectoryTreeManager>();
        BuildTree(*tree, files, false);
    };
    comparison.library = [&] { digest[0] = library(*tree); };
    comparison.baseline = [&] { digest[1] = baseline(*tree); };
    comparison.finish = [&](Side side) {
        digest[side == Side::Library ? 0 : 1] += "," + TreeDigest(*tree);
        tree.reset();
    };
    Compare(state, comparison);
    ExpectSameResult(state, digest[0], digest[1]);
}

std::string FailedDigest(const std::vector<SendFailedFileInfo>& failed, int missing) {
    size_t text = 0;
    for (const SendFailedFileInfo& file : failed)
        text += file.fileName.size() + file.sendFilePath.size();
    return std::to_string(failed.size()) + "," + std::to_string(text) + "," +
           std::to_string(missing);
}

void ResumeByIdCase(benchmark::State& state, size_t files) {
    const std::string snapshot = FilesSnapshot(files, files / 100);
    Restore(Side::Library, snapshot);
    Restore(Side::Baseline, snapshot);
    ResumeCase(
        state, files,
        [](DirectoryTreeManager& tree) {
            std::vector<SendFailedFileInfo> failed;
            int missing = 0;
            Manager().RecoveryDirTreeByID(failed, tree, missing);
            return FailedDigest(failed, missing);
        },
        [](DirectoryTreeManager& tree) {
            std::vector<SendFailedFileInfo> failed;
            int missing = 0;
            BaselineResumeById(tree, failed, missing);
            return FailedDigest(failed, missing);
        });
}

void InsertCacheCase(benchmark::State& state, size_t files) {
    const std::vector<CacheNode> records = CacheRecords(files);
    const std::string empty = EmptyCacheSnapshot();
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(files);
    comparison.prepare = [&](Side side) { RestoreCache(side, empty); };
    comparison.library = [&] { Manager().InsertFilesToCacheDb(records, false); };
    comparison.baseline = [&] { BaselineInsertCache(records); };
    Compare(state, comparison);
    ExpectSameResult(state, LibraryCacheFile(), BaselineCacheFile(), kCacheRowsDigest);
}

void ResumeByCacheCase(benchmark::State& state, size_t files) {
    const std::string snapshot = CacheSnapshot(files);
    RestoreCache(Side::Library, snapshot);
    RestoreCache(Side::Baseline, snapshot);
    ResumeCase(
        state, files,
        [](DirectoryTreeManager& tree) {
            Manager().RecoveryDirTreeByCacheDb(tree, false);
            return std::string();
        },
        [](DirectoryTreeManager& tree) {
            BaselineResumeByCache(tree);
            return std::string();
        });
}

// The resident memory of a fresh tree of `files` files, and what each of the library's operations
// over it takes beyond the tree: the peak while it runs, less the tree it leaves (with the
// target or shot paths it wrote into the nodes), each peak read on its own. No baseline: the
// numbers stand for themselves. The resume's rows per second are timed.
void TreeMemoryCase(benchmark::State& state, size_t files) {
    const std::string rows = FilesSnapshot(files, files / 100);
    const std::string cacheRows = CacheSnapshot(files);
    const std::string noTasks = TasksSnapshot();
    // Runs `operation` over what is resident now; returns its peak less what stays afterwards.
    auto extra = [](const std::function<void()>& operation) {
        TrimHeap();
        ResetPeakResident();
        operation();
        size_t peak = PeakResidentBytes();
        TrimHeap();
        size_t after = ResidentBytes();
        return static_cast<double>(peak > after ? peak - after : 0) / kMegabyte;
    };
    for (auto _ : state) {
        TrimHeap();
        bool phases = ResetPeakResident();
        size_t before = ResidentBytes();
        auto tree = std::make_unique<DirectoryTreeManager>();
        BuildTree(*tree, files, false);
        size_t built = PeakResidentBytes();
        TrimHeap();
        size_t treeBytes = ResidentBytes() - before;
        const double nodes = static_cast<double>(tree->NodeCount());
        Restore(Side::Library, rows);
        std::vector<SendFailedFileInfo> failed;
        int missing = 0;
        double seconds = 0;
        state.counters["resume extra MB"] = extra([&] {
            auto start = std::chrono::steady_clock::now();
            Manager().RecoveryDirTreeByID(failed, *tree, missing);
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        size_t resumed = PeakResidentBytes();
        failed = {};
        Restore(Side::Library, noTasks);  // the resume left every file selected
        state.counters["record extra MB"] =
            extra([&] { Manager().InsertFileInfo(tree->GetRootNode(), NewestTaskId()); });
        tree.reset();
        tree = std::make_unique<DirectoryTreeManager>();
        BuildTree(*tree, files, false);
        RestoreCache(Side::Library, cacheRows);
        state.counters["cache resume extra MB"] =
            extra([&] { Manager().RecoveryDirTreeByCacheDb(*tree, false); });
        tree.reset();
        {
            const std::vector<CacheNode> records = CacheRecords(files);
            RestoreCache(Side::Library, EmptyCacheSnapshot());
            state.counters["cache insert extra MB"] =
                extra([&] { Manager().InsertFilesToCacheDb(records, false); });
        }
        state.SetIterationTime(seconds);
        state.counters["rows/s"] = static_cast<double>(files) / seconds;
        state.counters["start MB"] = static_cast<double>(before) / kMegabyte;
        state.counters["tree MB"] = static_cast<double>(treeBytes) / kMegabyte;
        state.counters["build peak MB"] = static_cast<double>(built) / kMegabyte;
        state.counters["resume peak MB"] = static_cast<double>(resumed) / kMegabyte;
        state.counters["bytes/node"] = static_cast<double>(treeBytes) / nodes;
        if (!phases) state.counters["peaks not separated"] = 1;
    }
}
}  // namespace

void RegisterFileTreeCases() {
    const Sizes& sizes = RunSizes();
    const int n = sizes.bulkIterations;
    Register("TreeMemory/" + std::to_string(sizes.largeTree), 1, TreeMemoryCase, sizes.largeTree);
    for (size_t files : {sizes.smallTree, sizes.largeTree}) {
        Register("InsertFileInfo/" + std::to_string(files), n, InsertFileInfoCase, files);
    }
    for (size_t files : {sizes.smallTree, sizes.largeTree}) {
        Register("RecoveryDirTreeByID/" + std::to_string(files), n, ResumeByIdCase, files);
    }
    Register("InsertFilesToCacheDb/" + std::to_string(sizes.largeTree), n, InsertCacheCase,
             sizes.largeTree);
    Register("RecoveryDirTreeByCacheDb/" + std::to_string(sizes.largeTree), n, ResumeByCacheCase,
             sizes.largeTree);
}

}  // namespace bench

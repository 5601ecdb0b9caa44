// Power loss. A test VFS over the default one holds every write since a file's last sync in
// memory (reads see it, a sync writes it through) and can leave the disk as a power cut would at
// any write, truncation or sync: each unsynced write kept, dropped or torn (a sector of garbage),
// each unsynced truncation done or not, the directory as of its last sync plus a prefix of the
// files created and deleted since, and the shared memory, which is not on the disk, absent, empty,
// garbage or stale. Built from the library's sources (LibrarySources.cmake), so the VFS is the one
// the library's connections go through. A child process runs a migration through it, and at every
// crash point the VFS writes the disk as the cut leaves it to a folder; the parent opens that with
// a plain SQLite: it passes the integrity check and holds exactly the commits of a prefix of the
// run, whole batches only, and at least every call that returned before the log's last completed
// sync. A second run stops at one crash point as a power cut: files cut in place, then _exit.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "ReliabilitySupport.h"

namespace fs = std::filesystem;
using namespace Reliability;

namespace {
// The disk as the VFS keeps it. The run is one thread; SQLite calls C function pointers, hence
// global state.
enum Kind : int { kWrite, kTruncate, kSync };
struct Op {  // an unsynced write at `at`, or a truncation to `at`
    Kind kind;
    sqlite3_int64 at;
    std::string data;
};
struct FileState {
    std::string path, current;  // current: what reads see, the disk with the unsynced ops
    std::vector<Op> unsynced;
    std::optional<std::string> deleted;  // the bytes on the disk when the file was deleted
};
using State = std::shared_ptr<FileState>;
struct DirOp {  // a file created, or (no state) deleted
    std::string path;
    State file;
};
// One crash point, for the parent; one write on the pipe.
struct Point {
    int number, kind, log;  // log: a call on the write-ahead log rather than the database
    int started, durable;   // calls started; calls returned before the log's last sync
    int kept, dropped, torn, undone, shm;  // undone: creations and deletions the cut lost
};
constexpr int kCutExit = 42;

struct Disk {
    sqlite3_vfs* real = nullptr;
    std::map<std::string, State> entries, synced;  // the directory, and as of its last sync
    std::vector<DirOp> dirOps;                     // since that sync
    std::string database;
    unsigned long long seed = 0;
    int points = 0, cutAt = 0;  // cutAt 0: every crash point is written to a folder
    int started = 0, returned = 0, durable = 0;
    int report = -1, acks = -1, acked = 0;
    fs::path folders[2];
} disk;

bool IsLog(const std::string& path) {
    return path.size() > 4 && path.substr(path.size() - 4) == "-wal";
}
void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}
void Garble(std::mt19937_64& rng, char* bytes, size_t size) {
    for (size_t i = 0; i < size; i += 8) {
        const unsigned long long word = rng();
        std::memcpy(bytes + i, &word, std::min<size_t>(8, size - i));
    }
}

// `file` as the cut leaves it, in `bytes`: what its last sync left on the disk, then each unsynced
// write kept, dropped or torn, in order; `mode` 0 keeps all, 1 drops all, 2 and 3 choose each at
// random. A truncation is done or not. `bytes` keeps its room from one crash point to the next.
void AfterCut(const FileState& file, int mode, std::mt19937_64& rng, Point& p, std::string& bytes) {
    if (file.deleted) bytes.assign(*file.deleted);
    if (!file.deleted) {
        std::ifstream in(file.path, std::ios::binary | std::ios::ate);
        bytes.resize(in ? static_cast<size_t>(in.tellg()) : 0);
        in.seekg(0).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    for (const Op& op : file.unsynced) {
        const int choice = mode < 2 ? mode : std::array<int, 4>{0, 0, 1, 2}[rng() % 4];
        if (choice == 1 || (op.kind == kTruncate && mode != 0 && rng() % 2)) {
            ++p.dropped;
            continue;
        }
        if (op.kind == kTruncate) {
            bytes.resize(op.at), ++p.kept;
            continue;
        }
        const size_t at = op.at, end = at + op.data.size();
        if (bytes.size() < end) bytes.resize(end);
        if (choice == 0) {
            bytes.replace(at, op.data.size(), op.data), ++p.kept;
            continue;
        }
        // Torn: each 512-byte sector of the write landed or not, and the one under way holds
        // garbage. Bytes outside the write stay as they were (the VFS claims powersafe
        // overwrite, as the default one does).
        ++p.torn;
        std::vector<size_t> starts;
        for (size_t from = at; from < end; from = (from / 512 + 1) * 512) starts.push_back(from);
        const size_t garbled = rng() % starts.size();
        for (size_t i = 0; i < starts.size(); ++i) {
            const size_t from = starts[i], to = i + 1 < starts.size() ? starts[i + 1] : end;
            if (i == garbled) Garble(rng, &bytes[from], to - from);
            if (i != garbled && rng() % 2)
                bytes.replace(from, to - from, op.data, from - at, to - from);
        }
    }
}

// Writes the disk as a cut at this moment leaves it into `folder` (the files' own folder for a
// cut in place).
void LeaveDisk(const fs::path& folder, Point& p) {
    std::mt19937_64 rng(disk.seed * 0x9E3779B97F4A7C15ULL + p.number);
    const int mode = static_cast<int>(rng() % 4);
    const size_t ops = disk.dirOps.size();
    const size_t done = mode == 0 ? ops : mode == 1 ? 0 : rng() % (ops + 1);
    p.undone = static_cast<int>(ops - done);
    std::map<std::string, State> left = disk.synced;
    std::set<std::string> known;  // every name the run met: absent unless left
    for (const auto& entry : disk.entries) known.insert(entry.first);
    for (size_t i = 0; i < ops; ++i) {
        const DirOp& op = disk.dirOps[i];
        known.insert(op.path);
        if (i < done && op.file) left[op.path] = op.file;
        if (i < done && !op.file) left.erase(op.path);
    }
    static std::string bytes;
    for (const std::string& path : known) {
        const fs::path target = folder / fs::path(path).filename();
        auto it = left.find(path);
        if (it == left.end()) fs::remove(target);
        if (it != left.end()) AfterCut(*it->second, mode, rng, p, bytes), WriteBytes(target, bytes);
    }
    const fs::path shm = disk.database + "-shm", target = folder / shm.filename();
    p.shm = static_cast<int>(rng() % 4);  // absent, empty, garbage, stale
    bytes.assign(p.shm == 2 ? 32768 : 0, '\0');
    Garble(rng, bytes.data(), bytes.size());
    if (p.shm == 0) fs::remove(target);
    if (p.shm == 1 || p.shm == 2) WriteBytes(target, bytes);
    if (p.shm == 3 && target != shm)
        fs::copy_file(shm, target, fs::copy_options::overwrite_existing);
}

void CrashPoint(Kind kind, const FileState& file) {
    Point p{++disk.points, kind, IsLog(file.path), disk.started, disk.durable, 0, 0, 0, 0, 0};
    if (disk.cutAt != 0 && p.number != disk.cutAt) return;
    // A folder is written again once the parent has judged what it held two points before.
    for (char c; disk.cutAt == 0 && disk.acked < p.number - 2; ++disk.acked) {
        if (::read(disk.acks, &c, 1) != 1) ::_exit(4);
    }
    LeaveDisk(disk.cutAt ? fs::path(disk.database).parent_path() : disk.folders[p.number % 2], p);
    if (::write(disk.report, &p, sizeof p) != sizeof p) ::_exit(5);
    if (disk.cutAt != 0) ::_exit(kCutExit);
}

// The directory entry as the default VFS makes it: a file found on the disk is there for good,
// a file created waits for the directory's next sync.
State Known(const std::string& path, bool existed) {
    State& state = disk.entries[path];
    if (state) return state;
    state = std::make_shared<FileState>(FileState{path, ReadFile(path), {}, {}});
    if (existed) disk.synced[path] = state;
    if (!existed) disk.dirOps.push_back({path, state});
    return state;
}
void SyncDirectory(const std::string& path) {
    const fs::path dir = fs::path(path).parent_path();
    auto inDir = [&](const std::string& name) { return fs::path(name).parent_path() == dir; };
    for (auto it = disk.synced.begin(); it != disk.synced.end();)
        it = inDir(it->first) ? disk.synced.erase(it) : std::next(it);
    for (const auto& entry : disk.entries)
        if (inDir(entry.first)) disk.synced.insert(entry);
    disk.dirOps.erase(std::remove_if(disk.dirOps.begin(), disk.dirOps.end(),
                                     [&](const DirOp& op) { return inDir(op.path); }),
                      disk.dirOps.end());
}

// A file of the VFS: its state, then the default VFS's file.
struct CutFile {
    sqlite3_file base;
    State state;
    bool syncDirectory;  // the default VFS syncs the folder at a new log's first sync
};
constexpr size_t kRealAt = (sizeof(CutFile) + 15) / 16 * 16;
sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + kRealAt);
}
CutFile& Cut(sqlite3_file* f) { return *reinterpret_cast<CutFile*>(f); }
#define REAL(method, ...) Real(f)->pMethods->method(Real(f), __VA_ARGS__)

// clang-format off
const sqlite3_io_methods kMethods = {3,
    [](sqlite3_file* f) { int rc = Real(f)->pMethods->xClose(Real(f)); Cut(f).~CutFile(); return rc; },
    [](sqlite3_file* f, void* out, int size, sqlite3_int64 at) {
        const std::string& bytes = Cut(f).state->current;
        const size_t have = size_t(at) < bytes.size() ? std::min<size_t>(size, bytes.size() - at) : 0;
        if (have > 0) std::memcpy(out, bytes.data() + at, have);
        std::memset(static_cast<char*>(out) + have, 0, size - have);
        return have == size_t(size) ? SQLITE_OK : SQLITE_IOERR_SHORT_READ; },
    [](sqlite3_file* f, const void* data, int size, sqlite3_int64 at) {
        FileState& s = *Cut(f).state;
        if (s.current.size() < size_t(at + size)) s.current.resize(at + size);
        s.current.replace(at, size, static_cast<const char*>(data), size);
        s.unsynced.push_back({kWrite, at, std::string(static_cast<const char*>(data), size)});
        CrashPoint(kWrite, s);
        return SQLITE_OK; },
    [](sqlite3_file* f, sqlite3_int64 size) {
        FileState& s = *Cut(f).state;
        s.current.resize(size);
        s.unsynced.push_back({kTruncate, size, {}});
        CrashPoint(kTruncate, s);
        return SQLITE_OK; },
    [](sqlite3_file* f, int) {
        FileState& s = *Cut(f).state;
        CrashPoint(kSync, s);
        for (const Op& op : s.unsynced) {
            int rc = op.kind == kWrite ? REAL(xWrite, op.data.data(), int(op.data.size()), op.at)
                                       : REAL(xTruncate, op.at);
            if (rc != SQLITE_OK) return rc;
        }
        s.unsynced.clear();
        if (std::exchange(Cut(f).syncDirectory, false)) SyncDirectory(s.path);
        if (IsLog(s.path)) disk.durable = disk.returned;
        return SQLITE_OK; },
    [](sqlite3_file* f, sqlite3_int64* size) { *size = Cut(f).state->current.size(); return SQLITE_OK; },
    [](sqlite3_file* f, int lock) { return REAL(xLock, lock); },
    [](sqlite3_file* f, int lock) { return REAL(xUnlock, lock); },
    [](sqlite3_file* f, int* out) { return REAL(xCheckReservedLock, out); },
    // A size hint would grow the file on the disk behind the held writes.
    [](sqlite3_file* f, int op, void* arg) {
        return op == SQLITE_FCNTL_SIZE_HINT ? SQLITE_OK : REAL(xFileControl, op, arg); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); },
    [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
        return REAL(xShmMap, page, size, extend, out); },
    [](sqlite3_file* f, int offset, int n, int flags) { return REAL(xShmLock, offset, n, flags); },
    [](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); },
    [](sqlite3_file* f, int deleteFlag) { return REAL(xShmUnmap, deleteFlag); },
    // No memory mapping: every read comes through the held writes.
    [](sqlite3_file*, sqlite3_int64, int, void** out) { *out = nullptr; return SQLITE_OK; },
    [](sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }};
// clang-format on

int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    const int durable = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL;
    if (name == nullptr || (flags & durable) == 0) {  // temporary files need no power
        return disk.real->xOpen(disk.real, name, f, flags, outFlags);
    }
    const bool existed = ::access(name, F_OK) == 0;
    f->pMethods = Real(f)->pMethods = nullptr;
    const int rc = disk.real->xOpen(disk.real, name, Real(f), flags, outFlags);
    if (Real(f)->pMethods == nullptr) return rc;
    if (flags & SQLITE_OPEN_MAIN_DB) disk.database = name;
    const bool newLog = (flags & SQLITE_OPEN_CREATE) && !(flags & SQLITE_OPEN_MAIN_DB);
    new (f) CutFile{{&kMethods}, Known(name, existed), newLog};
    return rc;
}

int Delete(sqlite3_vfs*, const char* name, int syncDirectory) {
    if (::access(name, F_OK) == 0) {
        State state = Known(name, true);
        state->deleted = ReadFile(name);
        disk.entries.erase(name);
        disk.dirOps.push_back({name, nullptr});
    }
    const int rc = disk.real->xDelete(disk.real, name, 0);
    if (rc == SQLITE_OK && (syncDirectory & 1)) SyncDirectory(name);
    return rc;
}

void InstallVfs() {
    static sqlite3_vfs vfs = *(disk.real = sqlite3_vfs_find(nullptr));
    vfs.zName = "powercut";
    vfs.szOsFile = static_cast<int>(kRealAt) + disk.real->szOsFile;
    vfs.xOpen = Open;
    vfs.xDelete = Delete;
    sqlite3_vfs_register(&vfs, 1);
}

// What the parent expects: every row of the tables, as the tests' SQLite reads them, after each
// commit of the run.
const char* const kTables[] = {"TransferTask",        "TransferFileInfo",     "TransferAppInfo",
                               "TransferSettingInfo", "TransferBookmarkInfo", "sqlite_sequence"};
struct Table {
    std::vector<std::string> columns;
    Rows rows;
    size_t Column(const std::string& name) const {
        return std::find(columns.begin(), columns.end(), name) - columns.begin();
    }
};
using Model = std::map<std::string, Table>;
using Row = std::vector<std::string>;

Model ReadModel(TestDb& db) {
    Model model;
    for (const std::string table : kTables) {
        for (const auto& row : db.Query("select name from pragma_table_info('" + table + "')"))
            model[table].columns.push_back(row[0]);
        model[table].rows = db.Query("select * from " + table);
    }
    return model;
}
std::multiset<std::string> RowTexts(const Model& model) {
    std::multiset<std::string> texts;
    for (const auto& [name, table] : model) {
        for (const auto& row : table.rows) {
            std::string text = name;
            for (const std::string& value : row) text += "|" + value;
            texts.insert(text);
        }
    }
    return texts;
}
// A digest of the rows, in any order; values as TestDb::Query gives them.
struct Digest {
    unsigned long long sum = 0, row = 0;
    void Start(const std::string& table) { row = std::hash<std::string_view>()(table); }
    void Add(std::string_view value) {
        row = row * 0x100000001B3ULL ^ std::hash<std::string_view>()(value);
    }
    void End() {
        row = (row ^ (row >> 30)) * 0xBF58476D1CE4E5B9ULL;
        sum += (row ^ (row >> 27)) * 0x94D049BB133111EBULL;
    }
};
unsigned long long DigestOf(const Model& model) {
    Digest digest;
    for (const auto& [name, table] : model) {
        for (const auto& row : table.rows) {
            digest.Start(name);
            for (const std::string& value : row) digest.Add(value);
            digest.End();
        }
    }
    return digest.sum;
}
// The same, read straight from a database, without a string per value.
unsigned long long DigestOf(TestDb& db) {
    Digest digest;
    for (const std::string table : kTables) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db.Handle(), ("select * from " + table).c_str(), -1, &stmt, nullptr);
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(stmt, sqlite3_finalize);
        if (stmt == nullptr) throw std::runtime_error(sqlite3_errmsg(db.Handle()));
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            digest.Start(table);
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
                    digest.Add("NULL");
                } else if (sqlite3_column_type(stmt, i) == SQLITE_BLOB) {
                    digest.Add(TestDb::Text(stmt, i));
                } else {
                    digest.Add({reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                                size_t(sqlite3_column_bytes(stmt, i))});
                }
            }
            digest.End();
        }
        if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db.Handle()));
    }
    return digest.sum;
}
// Sets `values` in the rows of `table` whose `key` column holds one of `keys`, and whose task
// is `task` (all tasks when 0).
void Set(Model& model, const std::string& table, int task, const std::string& key,
         const std::map<std::string, std::map<std::string, std::string>>& keys) {
    Table& t = model[table];
    for (auto& row : t.rows) {
        auto values = keys.find(row[t.Column(key)]);
        if (values == keys.end() || (task != 0 && row[t.Column("taskID")] != std::to_string(task)))
            continue;
        for (const auto& [column, value] : values->second) row[t.Column(column)] = value;
    }
}

// A call of the run and the commits it makes, each as a change of the expected rows.
using Commit = std::function<void(Model&)>;
struct Call {
    std::string name;
    std::function<void()> run;
    std::vector<Commit> commits;
};
DataBaseManager& Db() { return *DataBaseManager::GetInstance(); }

// The migration: task 4, its files recorded, and the counters its batches write. A commit that
// sets values in its row, and one that sets each file's values in the file's row.
constexpr int kTask = 4;
using Values = std::map<std::string, std::string>;
Commit TaskCommit(const Values& values) {
    return [=](Model& model) {
        Set(model, "TransferTask", 0, "taskID", {{std::to_string(kTask), values}});
    };
}
Commit FilesCommit(const std::map<std::string, Values>& rows) {
    return [=](Model& model) { Set(model, "TransferFileInfo", kTask, "sendFilePath", rows); };
}
struct Migration {
    std::vector<DirTreeNode*> files;
    TransferTask progress;
};
// The outcomes of files [from, to) recorded as transferdb records them: batches of the sizes
// given, in turn; each batch its copies, then its failures (every eleventh file), then the
// task's counters, then a read of them.
void Batches(std::vector<Call>& calls, Migration& m, size_t from, size_t to,
             const std::vector<size_t>& sizes) {
    for (size_t first = from, k = 0; first < to; first += sizes[k++ % sizes.size()]) {
        const size_t last = std::min(to, first + sizes[k % sizes.size()]);
        std::vector<TransferFileInfo> copied;
        std::vector<SendFailedFileInfo> failed;
        std::map<std::string, Values> copiedRows, failedRows;
        for (size_t i = first; i < last; ++i) {
            const std::wstring& path = m.files[i]->sendFilePath;
            const std::string key(path.begin(), path.end());
            if (i % 11 == 3) {
                const int code = i % 2 ? 5 : 32;
                failed.push_back({m.files[i]->fileName, path, code});
                failedRows[key] = {{"status", "0"}, {"errCode", std::to_string(code)}};
                continue;
            }
            copied.push_back({kTask, 1, 1000 + static_cast<long long>(i), path, L"", 0});
            copiedRows[key] = {{"status", "1"}, {"errCode", "0"}};
            m.progress.completeNums += 1;
            m.progress.completeSize += 1000 + static_cast<long long>(i);
        }
        calls.push_back({"UpdateTaskFileStatus",
                         [=]() mutable { Db().UpdateTaskFileStatus(copied); },
                         {FilesCommit(copiedRows)}});
        if (!failed.empty()) {
            calls.push_back({"UpdateFailFileInfo",
                             [=]() mutable { Db().UpdateFailFileInfo(failed, kTask); },
                             {FilesCommit(failedRows)}});
        }
        m.progress.endTime = 1700000000 + static_cast<long long>(calls.size());
        TransferTask p = m.progress;
        calls.push_back({"UpdateFileTaskInfo",
                         [=]() mutable { Db().UpdateFileTaskInfo(p); },
                         {TaskCommit({{"completeNums", std::to_string(p.completeNums)},
                                      {"completeSize", std::to_string(p.completeSize)},
                                      {"endTime", std::to_string(p.endTime)},
                                      {"fileStatus", std::to_string(p.fileStatus)},
                                      {"completeEmptyFolderNum", "0"}})}});
        calls.push_back({"QueryTaskCompleteInfoByID",
                         [] {
                             int files = 0, folders = 0;
                             long long size = 0;
                             Db().QueryTaskCompleteInfoByID(kTask, files, size, folders);
                         },
                         {}});
    }
}
Call StartUp() {
    return {
        "start-up", [] { DataBaseManager::Internals::SetInit(false), Db().InitInstance(); }, {}};
}
Call IdleClose() {
    return {"CloseIdleConnections", [] { DataBaseManager::Internals::CloseIdleConnections(); }, {}};
}
TransferTask OlderTask() {  // tasks 1 to 3, and the task that follows the migration
    TransferTask task;
    task.startTime = task.endTime = 1600000000;
    task.transferFileNums = 204, task.status = 2, task.fileStatus = 2;
    task.macAddr = "00-11-22-33-44-55";
    task.newPCModel = L"model";
    for (int k = 0; k < 16; ++k) task.session[k] = static_cast<char>(k);
    return task;
}
// The end of the migration, the next task, and the pruning of the history to three tasks: each
// of its four deletes commits by itself.
void Finish(std::vector<Call>& calls, Migration& m) {
    m.progress.fileStatus = 2;
    const int files = m.progress.completeNums;
    calls.push_back(
        {"UpdateFileTaskInfo",
         [p = m.progress]() mutable { Db().UpdateFileTaskInfo(p); },
         {TaskCommit({{"fileStatus", "2"}, {"endTime", std::to_string(m.progress.endTime)}})}});
    calls.push_back({"UpdateTaskCompleteInfoById",
                     [=] { Db().UpdateTaskCompleteInfoById(kTask, files, 7, 1); },
                     {TaskCommit({{"completeNums", std::to_string(files)},
                                  {"completeSize", "7"},
                                  {"completeEmptyFolderNum", "1"}})}});
    calls.push_back({"UpdateTaskStatusById",
                     [] { Db().UpdateTaskStatusById(kTask, 2); },
                     {TaskCommit({{"status", "2"}})}});
    calls.push_back(
        {"InsertOneTask",
         [] {
             TransferTask task = OlderTask();
             Db().InsertOneTask(task);
         },
         {[](Model& model) {  // as task 3, which was inserted from the same values
             Table& tasks = model["TransferTask"];
             Row row = *std::find_if(tasks.rows.begin(), tasks.rows.end(),
                                     [](const Row& r) { return r[0] == "3"; });
             row[0] = "5";
             tasks.rows.push_back(row);
             Set(model, "sqlite_sequence", 0, "name", {{"TransferTask", {{"seq", "5"}}}});
         }}});
    Call prune{"UpdateTransferHistory", [] { Db().UpdateTransferHistory(); }, {}};
    for (const char* name :
         {"TransferTask", "TransferFileInfo", "TransferAppInfo", "TransferSettingInfo"}) {
        prune.commits.push_back([name](Model& model) {
            Table& t = model[name];
            t.rows.erase(std::remove_if(t.rows.begin(), t.rows.end(),
                                        [&](const Row& row) {
                                            return std::stoi(row[t.Column("taskID")]) <= 2;
                                        }),
                         t.rows.end());
        });
    }
    calls.push_back(prune);
}

// The expected rows' digest after each commit of the run, and the commits before each call.
struct Expected {
    Model base;
    std::vector<unsigned long long> digests;
    std::vector<size_t> firstOf;
};
Expected Expect(const Model& base, const std::vector<Call>& calls) {
    Expected e{base, {DigestOf(base)}, {}};
    Model model = base;
    for (const Call& call : calls) {
        e.firstOf.push_back(e.digests.size() - 1);
        for (const auto& commit : call.commits) commit(model), e.digests.push_back(DigestOf(model));
    }
    e.firstOf.push_back(e.digests.size() - 1);
    return e;
}
// For a file that matches no state: the state up to `high` commits that it is closest to.
std::string Closest(const Model& seen, const Expected& e, const std::vector<Call>& calls,
                    size_t high) {
    const std::multiset<std::string> rows = RowTexts(seen);
    Model model = e.base;
    size_t step = 0, best = 0, bestApart = SIZE_MAX;
    std::string text;
    auto consider = [&](const std::string& call) {
        const std::multiset<std::string> expected = RowTexts(model);
        std::vector<std::string> extra, missing;
        std::set_difference(rows.begin(), rows.end(), expected.begin(), expected.end(),
                            std::back_inserter(extra));
        std::set_difference(expected.begin(), expected.end(), rows.begin(), rows.end(),
                            std::back_inserter(missing));
        if (extra.size() + missing.size() >= bestApart) return;
        best = step, bestApart = extra.size() + missing.size();
        text = " (" + call + "): " + std::to_string(missing.size()) + " rows missing, e.g. " +
               (missing.empty() ? "-" : missing[0]) + "; " + std::to_string(extra.size()) +
               " rows not expected, e.g. " + (extra.empty() ? "-" : extra[0]);
    };
    consider("the start");
    for (const Call& call : calls)
        for (const auto& commit : call.commits)
            if (step < high) commit(model), ++step, consider(call.name);
    return "the rows are no state of the run; closest: after " + std::to_string(best) + " commits" +
           text;
}

// What the cuts left, over a run.
struct Figures {
    int points = 0, kinds[3][2] = {}, newest = 0, older = 0, failed = 0, undone = 0;
    size_t mostLost = 0;  // commits of calls that had returned
    long long kept = 0, dropped = 0, torn = 0;
};

class PowerLossPosixTest : public DataBaseManagerTest {
protected:
    fs::path Saved() const { return AppDataFolder() / "base"; }
    void Restore() const {
        for (const std::string end : {"", "-wal", "-shm"}) {
            fs::remove(MainDbFile().string() + end);
            if (fs::exists(Saved() / ("corvanel.db" + end)))
                fs::copy_file(Saved() / ("corvanel.db" + end), MainDbFile().string() + end);
        }
    }

    // The database before the run: tasks 1 to 3 (task 1 with 204 files, applications, settings
    // and a bookmark) and the migration's task 4 with 2,004 files, recorded and closed; with
    // `killedRun`, also the outcomes of its first 600 files in the log of a process that was
    // killed.
    Migration MakeBase(bool killedRun) {
        AddSelection(older, 2, 100);
        Migration m{AddSelection(tree, 20, 100), OlderTask()};
        m.progress.status = m.progress.fileStatus = 1;
        m.progress.transferFileNums = static_cast<int>(m.files.size());
        for (int id = 1; id <= 3; ++id) {
            TransferTask task = OlderTask();
            Manager().InsertOneTask(task);
        }
        std::vector<SendAppInfo> apps{{L"editor", 1, 0, L"editor.ico"}, {L"viewer", 1, 1, L""}};
        std::vector<TransferSettingInfo> settings{{L"wallpaper", 1}, {L"mouse", 0}};
        std::vector<std::wstring> browsers{L"browser"};
        Manager().InsertFileInfo(older.GetRootNode(), 1);
        Manager().InsertAppInfo(apps, 1);
        Manager().InsertSettingInfo(settings, 1);
        Manager().InsertBookmarkInfo(browsers, 1);
        Manager().InsertOneTask(m.progress);
        m.progress.taskID = kTask;
        Manager().InsertFileInfo(tree.GetRootNode(), kTask);
        CloseIdleConnections();
        if (killedRun) {
            std::vector<Call> calls{StartUp()};
            Batches(calls, m, 0, 600, {250, 1, 37, 200, 112});
            Child child([&](int) {
                for (const Call& call : calls) call.run();
                return ErrorLines(Lines());  // and ends without closing anything, as killed
            });
            EXPECT_EQ(child.ReadAll(), "");
            EXPECT_EQ(child.Wait(), 0);
        }
        fs::create_directories(Saved());
        for (const std::string end : {"", "-wal"}) {
            if (fs::exists(MainDbFile().string() + end))
                fs::copy_file(MainDbFile().string() + end, Saved() / ("corvanel.db" + end));
        }
        Restore();  // and read without the killed process's shared memory
        TestDb db(MainDbFile());
        base = ReadModel(db);
        return m;
    }

    // Runs `calls` from the saved database in a child, through the VFS. Without `cutAt` every
    // crash point's disk is judged in one of two folders in turn while the run goes on; with it,
    // the run is cut in place there and the files are judged once the child is gone.
    int Run(const std::vector<Call>& calls, int cutAt,
            const std::function<void(const Point&, const fs::path&)>& judge) {
        Restore();
        const fs::path folders[2] = {AppDataFolder() / "cut0", AppDataFolder() / "cut1"};
        for (const fs::path& folder : folders) fs::create_directories(folder);
        ::signal(SIGPIPE, SIG_IGN);  // a run that died shows in its exit status
        int acks[2];
        if (::pipe(acks) != 0) throw std::runtime_error("pipe");
        Child child([&](int report) {
            ::close(acks[1]);
            disk.seed = seed, disk.cutAt = cutAt, disk.report = report, disk.acks = acks[0];
            disk.folders[0] = folders[0], disk.folders[1] = folders[1];
            InstallVfs();
            for (const Call& call : calls) ++disk.started, call.run(), ++disk.returned;
            const Point end{};
            if (::write(report, &end, sizeof end) != sizeof end) ::_exit(5);
            return ErrorLines(Lines());
        });
        ::close(acks[0]);
        Point p{}, cut{};
        while (child.Read(&p, sizeof p) && p.number != 0) {
            if (cutAt != 0) {
                cut = p;
                continue;
            }
            judge(p, folders[p.number % 2]);
            for (const auto& file : fs::directory_iterator(folders[p.number % 2]))
                fs::remove(file.path());
            if (::write(acks[1], "", 1) != 1) continue;  // the run has ended: its status tells
        }
        EXPECT_EQ(child.ReadAll(), "") << "the run's error lines";
        const int status = child.Wait();
        ::close(acks[1]);
        if (cutAt != 0 && cut.number == cutAt) judge(cut, DataFolder());
        return status;
    }

    // Whether the database in `folder` is whole and holds the run's commits up to one of them,
    // from every call that returned before the log's last sync on; what is wrong if not. `lost`:
    // the commits of calls that had returned that it lacks.
    std::string Judge(const fs::path& folder, const Point& p, const std::vector<Call>& calls,
                      const Expected& e, size_t& lost) const {
        try {
            TestDb db(folder / "corvanel.db");
            sqlite3_db_config(db.Handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            const std::string integrity = db.Scalar("pragma integrity_check");
            if (integrity != "ok") return "integrity_check: " + integrity.substr(0, 300);
            const unsigned long long digest = DigestOf(db);
            const size_t low = e.firstOf[p.durable], high = e.firstOf[p.started];
            for (size_t step = high + 1; step-- > low;) {
                if (e.digests[step] != digest) continue;
                lost = e.firstOf[p.started - 1] - std::min(step, e.firstOf[p.started - 1]);
                return "";
            }
            return "durable from " + std::to_string(low) + " commits, written up to " +
                   std::to_string(high) + "; " + Closest(ReadModel(db), e, calls, high);
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    // Every crash point of the run, then one cut in place; prints the figures.
    void Check(const std::vector<Call>& calls, const char* name) {
        const Expected e = Expect(base, calls);
        const char* const kinds[] = {"a write to", "a truncation of", "a sync of"};
        Figures f;
        auto judge = [&](const Point& p, const fs::path& folder) {
            size_t lost = 0;
            const std::string problem = Judge(folder, p, calls, e, lost);
            ++f.points, ++f.kinds[p.kind][p.log], f.undone += p.undone;
            f.kept += p.kept, f.dropped += p.dropped, f.torn += p.torn;
            if (problem.empty()) ++(lost == 0 ? f.newest : f.older);
            f.mostLost = std::max(f.mostLost, lost);
            if (!problem.empty() && ++f.failed <= 3) {
                ADD_FAILURE() << "seed " << seed << ", crash point " << p.number << ": "
                              << kinds[p.kind] << (p.log ? " the log" : " the database")
                              << " in call " << p.started - 1 << " (" << calls[p.started - 1].name
                              << "), durable to call " << p.durable << ": " << problem;
            }
        };
        EXPECT_EQ(Run(calls, 0, judge), 0);
        EXPECT_EQ(f.failed, 0) << "crash points that lost or corrupted data, of " << f.points;
        // The cuts both kept and lost commits that no sync had made durable.
        EXPECT_GT(f.newest, 0);
        EXPECT_GT(f.older, 0);
        const Figures sweep = f;
        const int cutAt = 1 + static_cast<int>(seed % std::max(sweep.points, 1));
        const int status = Run(calls, cutAt, judge);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kCutExit) << status;
        EXPECT_EQ(f.points, sweep.points + 1) << "the cut in place was not judged";
        std::printf(
            "[ figures  ] %s: %zu calls, %zu commits; %d crash points: writes %d to the log, "
            "%d to the database; truncations %d of the log, %d of the database; syncs %d of the "
            "log, %d of the database. Unsynced writes kept %lld, dropped %lld, torn %lld; "
            "creations or deletions undone %d. After the cut: %d with the newest commits, %d "
            "older (at most %zu commits of returned calls lost), %d wrong; the cut in place at "
            "%d: %s; seed %llu\n",
            name, calls.size(), e.digests.size() - 1, sweep.points, sweep.kinds[kWrite][1],
            sweep.kinds[kWrite][0], sweep.kinds[kTruncate][1], sweep.kinds[kTruncate][0],
            sweep.kinds[kSync][1], sweep.kinds[kSync][0], sweep.kept, sweep.dropped, sweep.torn,
            sweep.undone, sweep.newest, sweep.older, sweep.mostLost, sweep.failed, cutAt,
            f.failed > sweep.failed ? "wrong" : "whole", seed);
    }

    unsigned long long seed = [] {
        const char* text = std::getenv("DATABASE_POWERLOSS_SEED");
        unsigned long long value = text ? std::strtoull(text, nullptr, 10) : std::random_device()();
        std::printf("power loss seed %llu (DATABASE_POWERLOSS_SEED=%llu repeats the run)\n", value,
                    value);
        return value;
    }();
    DirectoryTreeManager older, tree;
    Model base;
};

// A resume after a killed run, over the log it left: the start-up, transferdb's batches of
// outcomes and counters, the connections closed while idle, more batches, the end of the task,
// the next task and the pruning of the history, and the last close.
TEST_F(PowerLossPosixTest, ResumeOverAKilledRunsLogIdleCloseAndPruning) {
    Migration m = MakeBase(true);
    std::vector<Call> calls{StartUp()};
    Batches(calls, m, 600, 1400, {300, 1, 99, 400});
    calls.push_back(IdleClose());
    Batches(calls, m, 1400, m.files.size(), {1000});
    Finish(calls, m);
    calls.push_back(IdleClose());
    Check(calls, "resume");
}

// Small batches, as a copy of large files makes them, past the automatic checkpoint of 1,000
// pages: the log is synced, copied into the database and started over from its beginning.
TEST_F(PowerLossPosixTest, SmallBatchesThroughAnAutomaticCheckpoint) {
    Migration m = MakeBase(false);
    std::vector<Call> calls{StartUp()};
    Batches(calls, m, 0, 1500, {1, 2, 3, 5, 8, 4, 2, 1});
    calls.push_back(IdleClose());
    Check(calls, "small batches");
}
}  // namespace

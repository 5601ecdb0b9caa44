// I/O faults. This executable compiles the library's sources into itself (IoFault.cmake), so
// that the process has one SQLite and the VFS registered here is the one every connection of the
// library goes through. The VFS fails the Nth open, read, write or sync; each sweep moves N over
// every call an operation makes, then checks what a user would find afterwards: the operation
// returned, closed every file, and left the database intact with nothing but its own changes.
#include <sqlite3.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {
enum class Call { Open, Read, Write, Sync };
constexpr int kCallKinds = 4;

// SQLite calls the VFS through C function pointers, so its state is global.
struct FaultState {
    sqlite3_vfs* real = nullptr;
    std::atomic<int> calls[kCallKinds] = {};
    std::atomic<bool> armed{false};
    Call call = Call::Read;
    int nth = 0;
    int code = SQLITE_OK;
    bool sticky = false;  // every call from the Nth on fails (a full disk stays full)
    std::atomic<int> fired{0};
    std::atomic<int> openFiles{0};
};
FaultState g;

int Inject(Call call) {
    int n = ++g.calls[static_cast<int>(call)];
    if (!g.armed || call != g.call) return SQLITE_OK;
    if (n == g.nth || (g.sticky && n > g.nth)) {
        ++g.fired;
        return g.code;
    }
    return SQLITE_OK;
}

// A file of the faulty VFS: the real VFS's file follows it in the same allocation.
struct FaultFile {
    sqlite3_file base;
    sqlite3_file* real;
};
sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }
const sqlite3_io_methods& RealMethods(sqlite3_file* file) { return *Real(file)->pMethods; }

int FileClose(sqlite3_file* file) {
    --g.openFiles;
    return RealMethods(file).xClose(Real(file));
}
int FileRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    if (int rc = Inject(Call::Read)) return rc;
    return RealMethods(file).xRead(Real(file), buffer, amount, offset);
}
int FileWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    if (int rc = Inject(Call::Write)) return rc;
    return RealMethods(file).xWrite(Real(file), buffer, amount, offset);
}
// Counted and failed like the others, but never passed on: these files need no durability, and
// hundreds of runs per sweep would otherwise wait on the disk.
int FileSync(sqlite3_file*, int) { return Inject(Call::Sync); }
int FileTruncate(sqlite3_file* file, sqlite3_int64 size) {
    return RealMethods(file).xTruncate(Real(file), size);
}
int FileSize(sqlite3_file* file, sqlite3_int64* size) {
    return RealMethods(file).xFileSize(Real(file), size);
}
int FileLock(sqlite3_file* file, int level) { return RealMethods(file).xLock(Real(file), level); }
int FileUnlock(sqlite3_file* file, int level) {
    return RealMethods(file).xUnlock(Real(file), level);
}
int FileCheckReservedLock(sqlite3_file* file, int* out) {
    return RealMethods(file).xCheckReservedLock(Real(file), out);
}
int FileControl(sqlite3_file* file, int op, void* arg) {
    return RealMethods(file).xFileControl(Real(file), op, arg);
}
int FileSectorSize(sqlite3_file* file) { return RealMethods(file).xSectorSize(Real(file)); }
int FileDeviceCharacteristics(sqlite3_file* file) {
    return RealMethods(file).xDeviceCharacteristics(Real(file));
}
int FileShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
    return RealMethods(file).xShmMap(Real(file), region, size, extend, out);
}
int FileShmLock(sqlite3_file* file, int offset, int n, int flags) {
    return RealMethods(file).xShmLock(Real(file), offset, n, flags);
}
void FileShmBarrier(sqlite3_file* file) { RealMethods(file).xShmBarrier(Real(file)); }
int FileShmUnmap(sqlite3_file* file, int deleteFlag) {
    return RealMethods(file).xShmUnmap(Real(file), deleteFlag);
}
int FileFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
    return RealMethods(file).xFetch(Real(file), offset, amount, out);
}
int FileUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    return RealMethods(file).xUnfetch(Real(file), offset, page);
}

// Version 3 throughout: the default VFS on both platforms gives its files version 3 methods,
// the write-ahead log's shared memory included.
const sqlite3_io_methods kFaultMethods = {
    3,
    FileClose,
    FileRead,
    FileWrite,
    FileTruncate,
    FileSync,
    FileSize,
    FileLock,
    FileUnlock,
    FileCheckReservedLock,
    FileControl,
    FileSectorSize,
    FileDeviceCharacteristics,
    FileShmMap,
    FileShmLock,
    FileShmBarrier,
    FileShmUnmap,
    FileFetch,
    FileUnfetch,
};

int VfsOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* faultFile = reinterpret_cast<FaultFile*>(file);
    faultFile->base.pMethods = nullptr;  // SQLite closes nothing of a failed open
    faultFile->real = reinterpret_cast<sqlite3_file*>(faultFile + 1);
    if (int rc = Inject(Call::Open)) return rc;
    int rc = g.real->xOpen(g.real, name, faultFile->real, flags, outFlags);
    if (faultFile->real->pMethods != nullptr) {
        faultFile->base.pMethods = &kFaultMethods;
        ++g.openFiles;
    }
    return rc;
}
int VfsDelete(sqlite3_vfs*, const char* name, int syncDir) {
    return g.real->xDelete(g.real, name, syncDir);
}
int VfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g.real->xAccess(g.real, name, flags, out);
}
int VfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return g.real->xFullPathname(g.real, name, size, out);
}
void* VfsDlOpen(sqlite3_vfs*, const char* name) { return g.real->xDlOpen(g.real, name); }
void VfsDlError(sqlite3_vfs*, int size, char* out) { g.real->xDlError(g.real, size, out); }
void (*VfsDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g.real->xDlSym(g.real, handle, symbol);
}
void VfsDlClose(sqlite3_vfs*, void* handle) { g.real->xDlClose(g.real, handle); }
int VfsRandomness(sqlite3_vfs*, int size, char* out) {
    return g.real->xRandomness(g.real, size, out);
}
int VfsSleep(sqlite3_vfs*, int micro) { return g.real->xSleep(g.real, micro); }
int VfsCurrentTime(sqlite3_vfs*, double* out) { return g.real->xCurrentTime(g.real, out); }
int VfsGetLastError(sqlite3_vfs*, int size, char* out) {
    return g.real->xGetLastError(g.real, size, out);
}
int VfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return g.real->xCurrentTimeInt64(g.real, out);
}

sqlite3_vfs& FaultVfs() {
    static sqlite3_vfs vfs = [] {
        g.real = sqlite3_vfs_find(nullptr);
        sqlite3_vfs v = {};
        v.iVersion = 2;
        v.szOsFile = static_cast<int>(sizeof(FaultFile)) + g.real->szOsFile;
        v.mxPathname = g.real->mxPathname;
        v.zName = "faulty";
        v.xOpen = VfsOpen;
        v.xDelete = VfsDelete;
        v.xAccess = VfsAccess;
        v.xFullPathname = VfsFullPathname;
        v.xDlOpen = VfsDlOpen;
        v.xDlError = VfsDlError;
        v.xDlSym = VfsDlSym;
        v.xDlClose = VfsDlClose;
        v.xRandomness = VfsRandomness;
        v.xSleep = VfsSleep;
        v.xCurrentTime = VfsCurrentTime;
        v.xGetLastError = VfsGetLastError;
        v.xCurrentTimeInt64 = VfsCurrentTimeInt64;
        return v;
    }();
    return vfs;
}

// The faults a sweep injects.
struct FaultKind {
    const char* name;
    Call call;
    int code;
    bool sticky;
};
const FaultKind kFaultKinds[] = {
    {"open failure", Call::Open, SQLITE_CANTOPEN, false},
    {"read error", Call::Read, SQLITE_IOERR_READ, false},
    {"write error", Call::Write, SQLITE_IOERR_WRITE, false},
    {"disk full", Call::Write, SQLITE_FULL, true},
    {"sync error", Call::Sync, SQLITE_IOERR_FSYNC, false},
};

// No operation of the library makes this many calls of one kind on these small databases.
constexpr int kMaxCalls = 2000;

void Arm(const FaultKind& kind, int nth) {
    for (auto& count : g.calls) count = 0;
    g.call = kind.call;
    g.code = kind.code;
    g.sticky = kind.sticky;
    g.nth = nth;
    g.fired = 0;
    g.armed = true;
}

// Every table of a database file, as a multiset of its rows. The ids that SQLite assigns (the
// cache's _id and the counters behind them) are left out: a batch split by a fault numbers its
// later rows differently, and no caller reads them.
using Snapshot = std::map<std::string, std::multiset<std::string>>;

Snapshot Take(const fs::path& file) {
    TestDb db(file);
    Snapshot snapshot;
    for (const auto& table : db.Query(
             "select name from sqlite_master where type = 'table' and name != 'sqlite_sequence'")) {
        std::string columns =
            db.Scalar("select group_concat('\"' || name || '\"') from pragma_table_info('" +
                      table[0] + "') where name != '_id'");
        auto& rows = snapshot[table[0]];
        for (const auto& row : db.Query("select " + columns + " from \"" + table[0] + "\"")) {
            std::string joined;
            for (const std::string& value : row) joined += value + "\x1f";
            rows.insert(joined);
        }
    }
    return snapshot;
}

// Every row holds between its count before and its count after the fault-free run: the rows
// the operation did not touch are all there, and nothing came that the operation would not write.
bool Between(const Snapshot& before, const Snapshot& actual, const Snapshot& after) {
    std::set<std::string> tables;
    for (const auto* s : {&before, &actual, &after})
        for (const auto& [name, rows] : *s) tables.insert(name);
    auto count = [](const Snapshot& s, const std::string& table, const std::string& row) {
        auto found = s.find(table);
        return found == s.end() ? size_t{0} : found->second.count(row);
    };
    for (const std::string& table : tables) {
        std::set<std::string> rows;
        for (const auto* s : {&before, &actual, &after}) {
            auto found = s->find(table);
            if (found != s->end()) rows.insert(found->second.begin(), found->second.end());
        }
        for (const std::string& row : rows) {
            size_t b = count(before, table, row), a = count(actual, table, row),
                   r = count(after, table, row);
            if (a < std::min(b, r) || a > std::max(b, r)) return false;
        }
    }
    return true;
}

// The rows of `actual` that neither `before` nor `after` holds, for a failure's message.
std::string Strangers(const Snapshot& before, const Snapshot& actual, const Snapshot& after) {
    std::string out;
    for (const auto& [table, rows] : actual) {
        for (const std::string& row : rows) {
            auto in = [&](const Snapshot& s) {
                auto found = s.find(table);
                return found != s.end() && found->second.count(row) > 0;
            };
            if (!in(before) && !in(after)) out += "\n  " + table + ": " + row;
        }
    }
    return out;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c > 0 && c < 128) {
            out += static_cast<char>(c);
        } else {
            out += "\\u" + std::to_string(static_cast<unsigned long>(c));
        }
    }
    return out;
}

template <class... Values>
std::string Join(const Values&... values) {
    std::ostringstream out;
    ((out << values << '|'), ...);
    return out.str();
}

// What a query gave back, item by item; under a fault it may give fewer items, never others.
using Items = std::multiset<std::string>;

Items NameItems(const std::vector<std::wstring>& names) {
    Items items;
    for (const std::wstring& name : names) items.insert(Narrow(name));
    return items;
}

// Runs an array query on `count` elements whose `marker` holds a value no query writes, and gives
// back the elements it filled.
template <class Node, class Query, class Describe>
Items Filled(int count, int Node::*marker, Query&& query, Describe&& describe) {
    std::vector<Node> out(count);
    for (Node& node : out) node.*marker = INT_MIN;
    query(out.data(), count);
    Items items;
    for (const Node& node : out) {
        if (node.*marker != INT_MIN) items.insert(describe(node));
    }
    return items;
}

bool Within(const Items& actual, const Items& reference) {
    for (const std::string& item : actual) {
        if (actual.count(item) > reference.count(item)) return false;
    }
    return true;
}

// How the effect of a writing operation may look after a fault.
enum class Effect {
    Atomic,  // all or nothing: one statement
    Batch,   // one transaction, unless SQLite rolls it back on the fault (see below)
    Rows,    // each row or statement commits by itself
};

struct Write {
    std::string name;
    Effect effect;
    std::function<void()> run;
};

struct Read {
    std::string name;
    std::function<Items()> run;
};

// Tallies for the figures that a sweep prints.
struct Figures {
    int faults = 0;    // runs in which the fault struck
    int intact = 0;    // ... after which the operation's whole effect was there
    int reported = 0;  // ... or the log said why it was not
    int unlogged = 0;  // ... or neither (a statement that never prepared logs nothing)
    int split = 0;     // batches of which only a part landed
    int partial = 0;   // queries that gave back fewer items than without the fault
};

class IoFaultTest : public DataBaseManagerTest {
protected:
    void SetUp() override {
        DataBaseManagerTest::SetUp();
        Manager();
        ASSERT_TRUE(IsInit());
        ASSERT_EQ(sqlite3_vfs_register(&FaultVfs(), 1), SQLITE_OK);
    }
    void TearDown() override {
        g.armed = false;
        sqlite3_vfs_unregister(&FaultVfs());
        DataBaseManagerTest::TearDown();
    }

    // Below the data's own parent folder, which every case starts without.
    fs::path Saved(const fs::path& file) const {
        return DataFolder().parent_path() / ("saved-" + file.filename().string());
    }
    // MinGW's copy_file refuses to overwrite even when told to: the old copy goes first.
    static void Copy(const fs::path& from, const fs::path& to) {
        fs::remove(to);
        fs::copy_file(from, to);
    }

    // Keeps the current state of both databases (checkpointed, no log left) as the state every
    // sweep step starts from.
    void SaveBaseline() {
        for (const fs::path& file : {MainDbFile(), CacheDbFile()}) {
            if (!fs::exists(file)) continue;
            TestDb(file).Exec("PRAGMA wal_checkpoint(TRUNCATE)");
            Copy(file, Saved(file));
        }
    }
    void RestoreBaseline() {
        CloseIdleConnections();
        ASSERT_EQ(g.openFiles.load(), 0);
        for (const fs::path& file : {MainDbFile(), CacheDbFile()}) {
            for (const char* suffix : {"-wal", "-shm", "-journal"}) {
                fs::remove(fs::path(file.string() + suffix));
            }
            if (fs::exists(Saved(file))) {
                fs::create_directories(file.parent_path());
                Copy(Saved(file), file);
            }
        }
    }

    // Both databases; a cache that a fault left missing or unreadable reads as one odd table.
    Snapshot TakeAll() const {
        Snapshot all = Take(MainDbFile());
        if (fs::exists(CacheDbFile())) {
            for (auto& [name, rows] : Take(CacheDbFile())) all["cache." + name] = rows;
        }
        return all;
    }
    static bool IntegrityOk(const fs::path& file) {
        return !fs::exists(file) || TestDb(file).Scalar("PRAGMA integrity_check") == "ok";
    }
    bool ErrorLogged() const {
        for (const LogEntry& line : Lines()) {
            if (line.level == LOG_LEVEL_ERROR) return true;
        }
        return false;
    }

    // Runs the operation once per call of each fault kind, failing that call, until a run no
    // longer reaches the fault. After every run, with the faulty VFS out of the way: every file
    // was closed, both databases pass the integrity check, and their rows lie between the
    // state before and the state a fault-free run leaves.
    void Sweep(const Write& write, Figures& figures) {
        RestoreBaseline();
        Snapshot before = TakeAll();
        write.run();
        Snapshot after = TakeAll();
        for (const FaultKind& kind : kFaultKinds) {
            for (int nth = 1;; ++nth) {
                ASSERT_LT(nth, kMaxCalls) << write.name << ", " << kind.name;
                RestoreBaseline();
                ClearLines();
                Arm(kind, nth);
                write.run();
                g.armed = false;
                bool fired = g.fired > 0;
                SCOPED_TRACE(write.name + ", " + kind.name + " at call " + std::to_string(nth));
                CloseIdleConnections();
                ASSERT_EQ(g.openFiles.load(), 0) << "a file outlived the operation";
                sqlite3_vfs_unregister(&FaultVfs());
                ASSERT_TRUE(IntegrityOk(MainDbFile()));
                ASSERT_TRUE(IntegrityOk(CacheDbFile()));
                Snapshot actual = TakeAll();
                ASSERT_EQ(sqlite3_vfs_register(&FaultVfs(), 1), SQLITE_OK);
                if (!fired) break;
                ++figures.faults;
                if (write.effect == Effect::Atomic) {
                    ASSERT_TRUE(actual == before || actual == after)
                        << "half a write landed" << Strangers(before, actual, after);
                } else {
                    // An I/O error or a full disk makes SQLite roll back the open transaction;
                    // the batch's later rows then commit one by one. Each lost row is in the log.
                    if (write.effect == Effect::Batch && actual != before && actual != after) {
                        ++figures.split;
                    }
                    ASSERT_TRUE(Between(before, actual, after))
                        << "rows changed or vanished" << Strangers(before, actual, after);
                }
                bool reported = ErrorLogged();
                if (actual == after) {
                    ++figures.intact;
                } else if (reported) {
                    ++figures.reported;
                } else {
                    ++figures.unlogged;
                    // Writing and syncing come after the statement has prepared: a write that
                    // fails there is always in the log.
                    EXPECT_TRUE(kind.call == Call::Open || kind.call == Call::Read)
                        << "a lost write left no line";
                }
            }
        }
    }

    // As above for a query: it returns, closes its files, changes nothing, and gives back
    // nothing that the fault-free run would not.
    void Sweep(const Read& read, Figures& figures) {
        RestoreBaseline();
        Snapshot before = TakeAll();
        Items reference = read.run();
        for (const FaultKind& kind : kFaultKinds) {
            for (int nth = 1;; ++nth) {
                ASSERT_LT(nth, kMaxCalls) << read.name << ", " << kind.name;
                RestoreBaseline();
                Arm(kind, nth);
                Items items = read.run();
                g.armed = false;
                bool fired = g.fired > 0;
                SCOPED_TRACE(read.name + ", " + kind.name + " at call " + std::to_string(nth));
                CloseIdleConnections();
                ASSERT_EQ(g.openFiles.load(), 0) << "a file outlived the query";
                sqlite3_vfs_unregister(&FaultVfs());
                ASSERT_TRUE(IntegrityOk(MainDbFile()));
                Snapshot actual = TakeAll();
                ASSERT_EQ(sqlite3_vfs_register(&FaultVfs(), 1), SQLITE_OK);
                if (!fired) {
                    EXPECT_EQ(items, reference);
                    break;
                }
                ++figures.faults;
                EXPECT_EQ(actual, before) << "a query changed the database";
                EXPECT_TRUE(Within(items, reference)) << "a query gave back what is not stored";
                if (items != reference) ++figures.partial;
            }
        }
    }

    template <class Operations>
    void SweepAll(const char* group, const Operations& operations) {
        Figures figures;
        for (const auto& operation : operations) {
            Sweep(operation, figures);
            if (HasFatalFailure()) return;
        }
        std::printf(
            "[ figures  ] %s: %zu operations, %d faults injected; after them %d whole, %d "
            "reported in the log, %d not reported, %d split batches, %d queries gave back "
            "less\n",
            group, std::size(operations), figures.faults, figures.intact, figures.reported,
            figures.unlogged, figures.split, figures.partial);
    }

    // A committed history to lose: five tasks (the history keeps three), with applications,
    // settings, bookmarks and files, a name long enough to need overflow pages, and a cache.
    void CommitHistory() {
        TransferTask task;
        for (int i = 1; i <= 5; ++i) {
            task.startTime = 1000 * i;
            task.endTime = 1000 * i + 60;
            task.transferFileNums = 4;
            task.status = i;
            task.macAddr = "00-11";
            for (int k = 0; k < 16; ++k) task.session[k] = static_cast<char>(i * 16 + k);
            task.newPCModel = L"model " + std::to_wstring(i);
            Manager().InsertOneTask(task);
        }
        std::vector<SendAppInfo> apps = {{L"editor", 1, 2, L"C:\\editor.ico"},
                                         {std::wstring(6000, L'n'), 3, 4, L"long.ico"},
                                         {L"viewer", 5, 6, L""}};
        Manager().InsertAppInfo(apps, 5);
        std::vector<TransferSettingInfo> settings = {{L"wallpaper", 1}, {L"mouse", 0}};
        Manager().InsertSettingInfo(settings, 5);
        std::vector<std::wstring> browsers = {L"browser one", L"browser two"};
        Manager().InsertBookmarkInfo(browsers, 5);
        Manager().InsertFileInfo(SelectedTree().GetRootNode(), 5);
        std::vector<SendFailedFileInfo> failed = {{L"", DocPath(L"a.txt"), 31},
                                                  {L"", DocPath(L"deep") + Sep() + L"c.txt", 32}};
        Manager().UpdateFailFileInfo(failed, 5);
        Manager().CreateDocCacheDb();
        Manager().InsertFilesToCacheDb(CacheRows(), false);
        Manager().InsertFilesToCacheDb(CacheRows(), true);
        Manager().InsertEmptyFilesToCacheDb({{L"x/empty", DocPath(L"empty"), 1, 77, 0}});
        SaveBaseline();
    }

    static std::wstring Sep() {
        return std::wstring(1, static_cast<wchar_t>(fs::path::preferred_separator));
    }
    static std::wstring DocPath(const std::wstring& name) { return L"docs" + Sep() + name; }

    // The tree the files were recorded from: docs/{a.txt, b.txt, deep/c.txt, empty}.
    DirectoryTreeManager& SelectedTree() {
        DirTreeNode* docs = selected.AddNode(nullptr, L"docs", true);
        for (const wchar_t* name : {L"a.txt", L"b.txt"}) {
            DirTreeNode* node = selected.AddNode(docs, name, false);
            node->targetPath = L"D:\\" + std::wstring(name);
            node->Select();
        }
        selected.AddNode(selected.AddNode(docs, L"deep", true), L"c.txt", false)->Select();
        selected.AddNode(docs, L"empty", true)->Select();
        return selected;
    }
    // The same tree on the new start, without b.txt: one recorded entry is missing.
    static std::unique_ptr<DirectoryTreeManager> FreshTree() {
        auto tree = std::make_unique<DirectoryTreeManager>();
        DirTreeNode* docs = tree->AddNode(nullptr, L"docs", true);
        tree->AddNode(docs, L"a.txt", false);
        tree->AddNode(tree->AddNode(docs, L"deep", true), L"c.txt", false);
        tree->AddNode(docs, L"empty", true);
        return tree;
    }
    static std::vector<CacheNode> CacheRows() {
        return {{L"x/docs/a.txt", L"t1.tar", 10, DocPath(L"a.txt"), 0},
                {L"x/docs/deep/c.txt", L"t2.tar", 20, DocPath(L"deep") + Sep() + L"c.txt", 0},
                {L"x/docs/gone.txt", L"t3.tar", 30, DocPath(L"gone.txt"), 0},
                {L"x/docs/done.txt", L"", 40, DocPath(L"empty"), 1}};
    }
    static Items TreeItems(DirectoryTreeManager& tree) {
        Items items;
        for (const std::wstring& path : {std::wstring(L"docs"), DocPath(L"a.txt"), DocPath(L"deep"),
                                         DocPath(L"deep") + Sep() + L"c.txt", DocPath(L"empty")}) {
            DirTreeNode* node = tree.FindNodeByPath(path);
            if (node != nullptr && node->selectState != 0) {
                items.insert(Join(Narrow(path), node->selectState, Narrow(node->targetPath),
                                  Narrow(node->shotPath)));
            }
        }
        return items;
    }

private:
    DirectoryTreeManager selected;
};

// A number as a query's result: 0 is what a query gives when it reads nothing.
Items Value(long long value) { return value == 0 ? Items{} : Items{std::to_string(value)}; }

TEST_F(IoFaultTest, TaskWritesKeepTheCommittedHistory) {
    CommitHistory();
    DataBaseManager& m = Manager();
    TransferTask task;
    task.taskID = 5;
    task.startTime = 9000;
    task.endTime = 9100;
    task.completeNums = 3;
    task.completeSize = 300;
    task.status = 7;
    task.macAddr = "aa";
    task.newPCModel = L"new model";
    char session[16] = "fifteen bytes..";
    const std::vector<Write> writes = {
        {"InsertOneTask", Effect::Atomic, [&] { m.InsertOneTask(task); }},
        {"UpdateFileTaskInfo", Effect::Atomic, [&] { m.UpdateFileTaskInfo(task); }},
        {"UpdateAppTaskInfo", Effect::Atomic, [&] { m.UpdateAppTaskInfo(task); }},
        {"UpdateSettingTaskInfo", Effect::Atomic, [&] { m.UpdateSettingTaskInfo(task); }},
        {"UpdateTaskStatus", Effect::Atomic, [&] { m.UpdateTaskStatus(task); }},
        {"UpdateTaskStatusById", Effect::Atomic, [&] { m.UpdateTaskStatusById(4, 9); }},
        {"UpdateTaskSessionById", Effect::Atomic, [&] { m.UpdateTaskSessionById(4, session); }},
        {"UpdateTaskCompleteInfoById", Effect::Atomic,
         [&] { m.UpdateTaskCompleteInfoById(3, 1, 2, 3); }},
        {"UpdateTransferHistory", Effect::Rows, [&] { m.UpdateTransferHistory(); }},
        {"CleanTransferHistory", Effect::Rows, [&] { m.CleanTransferHistory(); }},
    };
    SweepAll("task writes", writes);
}

TEST_F(IoFaultTest, ItemWritesKeepTheCommittedHistory) {
    CommitHistory();
    DataBaseManager& m = Manager();
    std::vector<SendAppInfo> apps = {{L"new one", 0, 0, L"1.ico"}, {L"new two", 0, 0, L"2.ico"}};
    std::vector<TransferSettingInfo> settings = {{L"theme", 1}, {L"wallpaper", 2}};
    std::vector<std::wstring> browsers = {L"browser three", L"browser four"};
    std::vector<SendFailedFileInfo> failed = {
        {L"", DocPath(L"b.txt"), 41}, {L"", DocPath(L"nowhere"), 42}, {L"", DocPath(L"empty"), 43}};
    TransferFileInfo file;
    file.taskId = 5;
    file.status = 1;
    file.errCode = 0;
    file.filePath = DocPath(L"a.txt");
    const std::vector<Write> writes = {
        {"InsertAppInfo", Effect::Rows, [&] { m.InsertAppInfo(apps, 5); }},
        {"UpdateTaskAPPStatus", Effect::Atomic,
         [&] {
             m.UpdateTaskAPPStatus({L"editor", 9, 0, L""}, 5);
         }},
        {"InsertSettingInfo", Effect::Rows, [&] { m.InsertSettingInfo(settings, 5); }},
        {"UpdateSettingInfo", Effect::Atomic,
         [&] {
             m.UpdateSettingInfo({L"mouse", 4}, 5);
         }},
        {"InsertBookmarkInfo", Effect::Rows, [&] { m.InsertBookmarkInfo(browsers, 4); }},
        {"UpdateFailFileInfo", Effect::Batch, [&] { m.UpdateFailFileInfo(failed, 5); }},
        {"UpdateTaskFileStatus", Effect::Atomic, [&] { m.UpdateTaskFileStatus(file); }},
    };
    SweepAll("item writes", writes);
}

TEST_F(IoFaultTest, TreeAndCacheBatchesKeepTheCommittedHistory) {
    CommitHistory();
    DataBaseManager& m = Manager();
    DirectoryTreeManager tree;
    DirTreeNode* folder = tree.AddNode(nullptr, L"new", true);
    for (int i = 0; i < 50; ++i) tree.AddNode(folder, std::to_wstring(i), false)->Select();
    std::vector<CacheNode> rows;
    for (int i = 0; i < 50; ++i) rows.push_back({L"y/" + std::to_wstring(i), L"t", i, L"w", 0});
    std::vector<CacheEmptyNode> empties = {{L"y/e1", L"e1", 1, 5, 0}, {L"y/e2", L"e2", 0, 6, 1}};
    const std::vector<Write> writes = {
        {"InsertFileInfo", Effect::Batch, [&] { m.InsertFileInfo(tree.GetRootNode(), 6); }},
        {"InsertFilesToCacheDb (normal)", Effect::Batch,
         [&] { m.InsertFilesToCacheDb(rows, false); }},
        {"InsertFilesToCacheDb (small)", Effect::Batch,
         [&] { m.InsertFilesToCacheDb(rows, true); }},
        {"InsertEmptyFilesToCacheDb", Effect::Batch, [&] { m.InsertEmptyFilesToCacheDb(empties); }},
    };
    SweepAll("tree and cache writes", writes);
}

TEST_F(IoFaultTest, ANewCacheAfterAFaultIsWholeOrReported) {
    // CreateDocCacheDb throws the old cache away by design, so only the migration database has
    // to survive it; the cache it leaves is either complete and empty or the log says why not.
    CommitHistory();
    Snapshot main = Take(MainDbFile());
    auto cacheTables = [this] {
        if (!fs::exists(CacheDbFile())) return std::string("none");
        return TestDb(CacheDbFile())
            .Scalar("select group_concat(name) from (select name from sqlite_master order by 1)");
    };
    int faults = 0;
    for (const FaultKind& kind : kFaultKinds) {
        for (int nth = 1;; ++nth) {
            ASSERT_LT(nth, kMaxCalls);
            RestoreBaseline();
            ClearLines();
            Arm(kind, nth);
            Manager().CreateDocCacheDb();
            g.armed = false;
            SCOPED_TRACE(std::string(kind.name) + " at call " + std::to_string(nth));
            CloseIdleConnections();
            ASSERT_EQ(g.openFiles.load(), 0);
            sqlite3_vfs_unregister(&FaultVfs());
            ASSERT_TRUE(IntegrityOk(CacheDbFile()));
            EXPECT_EQ(Take(MainDbFile()), main);
            std::string tables = cacheTables();
            ASSERT_EQ(sqlite3_vfs_register(&FaultVfs(), 1), SQLITE_OK);
            if (g.fired == 0) {
                EXPECT_EQ(tables,
                          "empty_file,filePathIndex,normal_file,small_file,sqlite_sequence,"
                          "tarPathIndex");
                break;
            }
            ++faults;
            if (tables !=
                "empty_file,filePathIndex,normal_file,small_file,sqlite_sequence,"
                "tarPathIndex") {
                EXPECT_TRUE(ErrorLogged()) << "an incomplete cache left no line: " << tables;
            }
        }
    }
    std::printf("[ figures  ] CreateDocCacheDb: %d faults injected\n", faults);
}

TEST_F(IoFaultTest, QueriesGiveTheirResultOrLessAndChangeNothing) {
    CommitHistory();
    DataBaseManager& m = Manager();
    const std::vector<Read> reads = {
        {"GetLastUnCompleteTask",
         [&] {
             TransferTask task;
             task.taskID = INT_MIN;
             m.GetLastUnCompleteTask(task);
             if (task.taskID == INT_MIN) return Items{};
             return Items{Join(task.taskID, task.startTime, task.endTime, task.transferFileNums,
                               task.completeNums, task.transferSize, task.completeSize, task.status,
                               std::string(task.session, 16))};
         }},
        {"GetAllTaskInfo",
         [&] {
             TaskInfoNode nodes[3];
             Items items;
             int n = m.GetAllTaskInfo(nodes, 3);
             for (int i = 0; i < n; ++i) {
                 const TaskInfoNode& t = nodes[i];
                 items.insert(Join(t.taskID, t.startTime, t.endTime, t.status, t.newPCType,
                                   Narrow(t.newPCModel)));
             }
             return items;
         }},
        {"GetMigrationConsumerTime", [&] { return Value(m.GetMigrationConsumerTime()); }},
        {"QueryTaskCompleteInfoByID",
         [&] {
             int nums = INT_MIN, folders = INT_MIN;
             long long size = 0;
             m.QueryTaskCompleteInfoByID(5, nums, size, folders);
             return nums == INT_MIN ? Items{} : Items{Join(nums, size, folders)};
         }},
        {"GetMaxTaskID", [&] { return Value(m.GetMaxTaskID()); }},
        {"GetTransferHistoryNum", [&] { return Value(m.GetTransferHistoryNum()); }},
        {"QueryAppNumByID", [&] { return Value(m.QueryAppNumByID(5)); }},
        {"QuerySettingNumByID", [&] { return Value(m.QuerySettingNumByID(5)); }},
        {"QueryFailNumByID", [&] { return Value(m.QueryFailNumByID(5)); }},
        {"QueryAppInfoByID",
         [&] {
             return Filled<AppInfoPariNode>(
                 3, &AppInfoPariNode::downStatusIndex,
                 [&](AppInfoPariNode* out, int n) { m.QueryAppInfoByID(out, 5, n); },
                 [](const AppInfoPariNode& node) {
                     return Join(Narrow(node.appName), node.downStatusIndex,
                                 node.installStatusIndex, Narrow(node.appIconPath));
                 });
         }},
        {"QuerySettingInfoByID",
         [&] {
             return Filled<SettingInfoPariNode>(
                 2, &SettingInfoPariNode::resultType,
                 [&](SettingInfoPariNode* out, int n) { m.QuerySettingInfoByID(out, 5, n); },
                 [](const SettingInfoPariNode& node) {
                     return Join(Narrow(node.settingName), node.resultType);
                 });
         }},
        {"QueryFailFileInfoByID",
         [&] {
             return Filled<MapFailPariNode>(
                 2, &MapFailPariNode::errCode,
                 [&](MapFailPariNode* out, int n) { m.QueryFailFileInfoByID(out, 5, n); },
                 [](const MapFailPariNode& node) {
                     return Join(Narrow(node.fileName), Narrow(node.sendFilePath), node.errCode);
                 });
         }},
        {"QueryAllAppNameByID",
         [&] {
             std::vector<std::wstring> names;
             m.QueryAllAppNameByID(names, 5);
             return NameItems(names);
         }},
        {"GetTaskSettingInfo",
         [&] {
             std::vector<std::wstring> names;
             m.GetTaskSettingInfo(5, names);
             return NameItems(names);
         }},
        {"GetTaskBookmarkInfo",
         [&] {
             std::vector<std::wstring> names;
             m.GetTaskBookmarkInfo(5, names);
             return NameItems(names);
         }},
        {"GetTaskFileInfo",
         [&] {
             std::list<TransferFileInfo> files;
             m.GetTaskFileInfo(5, files);
             Items items;
             for (const auto& f : files)
                 items.insert(Join(f.taskId, f.status, f.fileSize, Narrow(f.filePath), f.errCode));
             return items;
         }},
        {"RecoveryDirTreeByID",
         [&] {
             auto tree = FreshTree();
             std::vector<SendFailedFileInfo> failed;
             int missing = 0;
             m.RecoveryDirTreeByID(failed, *tree, missing);
             Items items = TreeItems(*tree);
             for (const auto& f : failed)
                 items.insert(
                     Join("failed", Narrow(f.fileName), Narrow(f.sendFilePath), f.errCode));
             for (int i = 0; i < missing; ++i) items.insert("missing");
             return items;
         }},
        {"RecoveryDirTreeByCacheDb (normal)",
         [&] {
             auto tree = FreshTree();
             m.RecoveryDirTreeByCacheDb(*tree, false);
             return TreeItems(*tree);
         }},
        {"RecoveryDirTreeByCacheDb (small)",
         [&] {
             auto tree = FreshTree();
             m.RecoveryDirTreeByCacheDb(*tree, true);
             return TreeItems(*tree);
         }},
    };
    SweepAll("queries", reads);
}

TEST_F(IoFaultTest, StartUpUnderFaultsKeepsAnOlderLayoutsRows) {
    // An older layout with rows: the upgrade's alters write, and a fault among them must cost
    // neither a row nor the next start-up.
    fs::remove(MainDbFile());
    for (const char* suffix : {"-wal", "-shm"}) fs::remove(MainDbFile().string() + suffix);
    {
        TestDb db(MainDbFile(), true);
        CreateOldLayout(db);
        db.Exec(
            "INSERT INTO TransferTask (startTime,endTime,transferFileNums,completeNums,"
            "transferSize,completeSize,status,transferAppNums,transferSucAppNums,macAddr) "
            "VALUES (1,2,3,4,5,6,7,8,9,'m')");
        db.Exec("INSERT INTO TransferFileInfo (taskID,fileName,sendFilePath) VALUES (1,'f','p')");
        db.Exec("INSERT INTO TransferAppInfo (taskID,appName) VALUES (1,'app')");
    }
    SaveBaseline();
    const std::string rowsSql =
        "select (select group_concat(taskID||startTime||status) from TransferTask), (select "
        "group_concat(fileName||sendFilePath) from TransferFileInfo), (select "
        "group_concat(appName) from TransferAppInfo)";
    const Rows rows = Query(rowsSql);
    int faults = 0;
    for (const FaultKind& kind : kFaultKinds) {
        for (int nth = 1;; ++nth) {
            ASSERT_LT(nth, kMaxCalls);
            RestoreBaseline();
            SetInit(false);
            Arm(kind, nth);
            Manager().InitInstance();
            g.armed = false;
            SCOPED_TRACE(std::string(kind.name) + " at call " + std::to_string(nth));
            CloseIdleConnections();
            ASSERT_EQ(g.openFiles.load(), 0);
            sqlite3_vfs_unregister(&FaultVfs());
            ASSERT_TRUE(IntegrityOk(MainDbFile()));
            EXPECT_EQ(Query(rowsSql), rows);
            ASSERT_EQ(sqlite3_vfs_register(&FaultVfs(), 1), SQLITE_OK);
            if (g.fired == 0) break;
            ++faults;
            // The next start-up completes the upgrade.
            SetInit(false);
            Manager().InitInstance();
            EXPECT_EQ(Count("select count(*) from sqlite_master where name = 'fileIndex'"), 1);
            EXPECT_EQ(Count("select count(*) from pragma_table_info('TransferTask') where name "
                            "in ('session','newPCModel')"),
                      2);
        }
    }
    std::printf("[ figures  ] start-up: %d faults injected\n", faults);
}
}  // namespace

// I/O faults. The library keeps its SQLite private, so this executable is built from its sources
// (LibrarySources.cmake; the production library unchanged): the process has one SQLite, and every
// connection goes through the VFS registered here. Each sweep fails the Nth open, read, write or
// sync of an operation, for every N it reaches, each time from the same committed history. Then
// both databases are whole and every row is there as often as before the operation, as after it,
// or in between (so a query changed nothing); a write that did not land is in the log; a query
// gave back what it gives without the fault, or less; the next operation works (a connection that
// met the fault is not reused broken); once the manager lets its connections go, no file is open.
#include <sqlite3.h>

#include <atomic>

#include "ReliabilitySupport.h"

namespace fs = std::filesystem;
using namespace Reliability;

namespace {
// clang-format off
enum Call { kOpen, kRead, kWrite, kSync };
struct Kind { const char* name; Call call; int code; bool sticky; };  // a full disk stays full
const Kind kKinds[] = {{"open failure", kOpen, SQLITE_CANTOPEN, false}, {"read error", kRead,
    SQLITE_IOERR_READ, false}, {"write error", kWrite, SQLITE_IOERR_WRITE, false}, {"disk full",
    kWrite, SQLITE_FULL, true}, {"sync error", kSync, SQLITE_IOERR_FSYNC, false}};
// The VFS passes calls on to the default one, keeping its files but with a copy of their methods
// whose close, read, write and sync come here; SQLite calls C function pointers: global state.
struct Methods { sqlite3_io_methods io; const sqlite3_io_methods* real; };
std::map<const sqlite3_io_methods*, Methods> patched;
sqlite3_vfs* real = nullptr;
std::atomic<int> calls[4], fired, openFiles;
std::atomic<bool> armed{false};
Kind armedKind{};
int nth = 0;
// clang-format on

int Inject(Call call) {
    int n = ++calls[call];
    if (!armed || call != armedKind.call || n < nth || (n > nth && !armedKind.sticky)) return 0;
    return ++fired, armedKind.code;
}
const sqlite3_io_methods& Real(sqlite3_file* f) {
    return *reinterpret_cast<const Methods*>(f->pMethods)->real;
}
int OnOpen(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    f->pMethods = nullptr;
    int rc = Inject(kOpen) ? armedKind.code : real->xOpen(real, name, f, flags, outFlags);
    if (f->pMethods == nullptr) return rc;
    Methods& m = patched.try_emplace(f->pMethods, Methods{*f->pMethods, f->pMethods}).first->second;
    // clang-format off
    m.io.xClose = [](sqlite3_file* f) { return --openFiles, Real(f).xClose(f); };
    m.io.xRead = [](sqlite3_file* f, void* data, int size, sqlite3_int64 at) {
        return Inject(kRead) ? armedKind.code : Real(f).xRead(f, data, size, at); };
    m.io.xWrite = [](sqlite3_file* f, const void* data, int size, sqlite3_int64 at) {
        return Inject(kWrite) ? armedKind.code : Real(f).xWrite(f, data, size, at); };
    // Never passed on: these files need no durability, and a sweep's runs would wait on the disk.
    m.io.xSync = [](sqlite3_file*, int) { return Inject(kSync); };
    // clang-format on
    f->pMethods = &m.io;
    return ++openFiles, rc;
}
using Snapshot = std::map<std::string, int>;  // how often each row is there
// Every row is there as often as in `before`, as in `after`, or in between.
bool Between(const Snapshot& before, const Snapshot& actual, const Snapshot& after) {
    Snapshot all = before;
    all.insert(actual.begin(), actual.end());
    all.insert(after.begin(), after.end());
    return std::all_of(all.begin(), all.end(), [&](const auto& row) {
        auto n = [&](const Snapshot& s) { return s.count(row.first) ? s.at(row.first) : 0; };
        return std::min(n(before), n(after)) <= n(actual) &&
               n(actual) <= std::max(n(before), n(after));
    });
}

class IoFaultTest : public DataBaseManagerTest {
protected:
    fs::path Saved(const fs::path& file) const { return AppDataFolder() / file.filename(); }
    void Restore() {  // the state every run starts from
        CloseIdleConnections();
        EXPECT_EQ(openFiles.load(), 0) << "a file outlived the manager's connections";
        for (const fs::path& file : {MainDbFile(), CacheDbFile()}) {
            for (const char* end : {"", "-wal", "-shm"}) fs::remove(file.string() + end);
            fs::copy_file(Saved(file), file);  // MinGW's will not overwrite, whatever it is told
        }
    }
    // Every row of both databases, and their schemas, after the integrity check. The cache's ids
    // are left out: a batch split by a fault numbers its later rows otherwise, and no caller
    // reads them; so are a task's times, which the short insert takes from the clock.
    Snapshot TakeAll() const {
        Snapshot snapshot;
        for (const fs::path& file : {MainDbFile(), CacheDbFile()}) {
            TestDb db(file);
            EXPECT_EQ(db.Scalar("pragma integrity_check"), "ok") << file;
            for (const auto& table : db.Query("select type, name from sqlite_master")) {
                ++snapshot[file.filename().string() + " " + table[0] + " " + table[1]];
                if (table[0] != "table" || table[1] == "sqlite_sequence") continue;
                for (auto row : db.Query("select * from " + table[1])) {
                    if (file == CacheDbFile()) row.erase(row.begin());
                    if (table[1] == "TransferTask") row.erase(row.begin() + 1, row.begin() + 3);
                    ++snapshot[table[1] + ::testing::PrintToString(row)];
                }
            }
        }
        return snapshot;
    }

    int faults = 0, whole = 0, reported = 0, unpruned = 0, less = 0;  // for the figures
    // Runs `op` once for every call of each kind it makes, failing that call, and judges what
    // each run that met its fault left.
    void Sweep(const std::string& name, const std::function<Items()>& op) {
        Restore();
        const Snapshot before = TakeAll();
        const Items reference = op();
        const Snapshot after = TakeAll();
        for (const Kind& kind : kKinds) {
            for (nth = 1; !HasFatalFailure(); ++nth) {
                ASSERT_LT(nth, 2000) << name << ", " << kind.name;
                Restore();
                ClearLines();
                std::fill(std::begin(calls), std::end(calls), 0), fired = 0;
                armedKind = kind, armed = true;
                const Items reads = op();
                armed = false;
                if (fired == 0) break;
                SCOPED_TRACE(name + ", " + kind.name + " at call " + std::to_string(nth));
                ++faults;
                const Snapshot actual = TakeAll();
                EXPECT_TRUE(Between(before, actual, after)) << "rows changed or vanished";
                for (const std::string& item : reads) {
                    EXPECT_LE(reads.count(item), reference.count(item)) << "not stored: " << item;
                }
                less += reads != reference;
                // The pruning decides from a count, a query, which reads nothing under a fault
                // without a line, as every query: the history stays until the next pruning.
                bool logged = !ErrorLines(Lines()).empty();
                bool kept = name == "UpdateTransferHistory()" && actual == before;
                EXPECT_TRUE(actual == after || logged || kept) << "a write was lost, and no line";
                ++(actual == after ? whole : logged ? reported : unpruned);
                // The next operation works.
                ClearLines();
                std::vector<std::wstring> written{L"after the fault"}, read;
                Manager().InsertBookmarkInfo(written, 99);
                Manager().GetTaskBookmarkInfo(99, read);
                EXPECT_EQ(read, written);
                EXPECT_EQ(ErrorLines(Lines()), "");
            }
        }
    }
};

TEST_F(IoFaultTest, EveryFaultLeavesTheHistoryWholeAndTheNextOperationWorking) {
    Manager();
    static sqlite3_vfs vfs = *(real = sqlite3_vfs_find(nullptr));  // the library's SQLite's
    vfs.zName = "faulty";
    vfs.xOpen = OnOpen;
    sqlite3_vfs_register(&vfs, 1);
    // The history: ten tasks with items, files, failures and a cache, made by the writes
    // themselves, without pruning. Task 10 is the newest, and has files.
    DirectoryTreeManager tree;
    AddSelection(tree);
    Manager().CreateDocCacheDb();
    for (int task = 2; task <= 10; task += 2) {
        std::vector<Write> writes = Writes(task, 0, tree.GetRootNode());
        for (size_t i = 0; i + 2 < writes.size(); ++i) writes[i].run();
    }
    CloseIdleConnections();
    for (const fs::path& file : {MainDbFile(), CacheDbFile()}) {
        TestDb(file).Exec("pragma wal_checkpoint(truncate)");
        fs::copy_file(file, Saved(file));
    }
    // Every write to the newest task, a new cache, a start-up, and every query.
    for (const Write& write : Writes(10, 9, tree.GetRootNode())) {
        Sweep(write.name, [&] { return write.run(), Items{}; });
    }
    Sweep("start-up", [] { return SetInit(false), Manager().InitInstance(), Items{}; });
    const int writing = faults;
    Sweep("every query", [] { return ReadAll(10); });
    // After a query's fault the databases are as they were: whole, for the count.
    std::printf(
        "[ figures  ] writes: %d faults, then %d whole, %d logged, %d unpruned; queries: "
        "%d faults, then %d gave less\n",
        writing, whole - faults + writing, reported, unpruned, faults - writing, less);
}
}  // namespace

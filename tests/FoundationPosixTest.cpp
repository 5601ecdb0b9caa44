// Start-up in each identity the console can give, played through the POSIX test seams.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "PlatformTesting.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {
const LogEntry kStartUpdate = Info("Start update table.", "UpdateTable");
const LogEntry kEndUpdate = Info("End update table.", "UpdateTable");

ino_t Inode(const fs::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Runs `body` in a forked child and gives its exit status: 0 when it returned true.
template <class Body>
int InChild(Body&& body) {
    pid_t child = ::fork();
    if (child == 0) ::exit(body() ? 0 : 1);  // exit, not _exit: the child's end runs as a process's
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST_F(DataBaseManagerTest, WithoutThePrivilegeStartUpRunsInTheProcessIdentity) {
    // The seams' default: the token is refused with 1314.
    Manager();
    EXPECT_TRUE(IsInit());
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{kStartUpdate, kEndUpdate}));
    EXPECT_EQ(PlatformTesting::OpenConsoleTokens(), 0);
}

TEST_F(DataBaseManagerTest, GrantedTokenRunsStartUpImpersonatedAndRevertsAfterwards) {
    PlatformTesting::SimulateConsoleToken(0);
    Manager();
    EXPECT_TRUE(IsInit());
    EXPECT_TRUE(fs::exists(MainDbFile()));
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{kStartUpdate, kEndUpdate}));
    EXPECT_FALSE(PlatformTesting::IsImpersonating());
    EXPECT_EQ(PlatformTesting::OpenConsoleTokens(), 0);
}

TEST_F(DataBaseManagerTest, NoUserAtTheConsoleLeavesTheManagerUninitialisedUntilCalledAgain) {
    PlatformTesting::SimulateConsoleToken(1008);
    Manager();
    EXPECT_FALSE(IsInit());
    EXPECT_FALSE(fs::exists(MainDbFile()));
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{Error(
                           "DataBaseManager WTSQueryUserToken failed!: 1008", "InitInstance")}));
    ClearLines();
    EXPECT_EQ(Manager().GetMaxTaskID(), 0);
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{Error("GetMaxTaskID sql is not init", "GetMaxTaskID")}));

    // A user logs on and the application asks again.
    PlatformTesting::SimulateConsoleToken(0);
    ClearLines();
    Manager().InitInstance();
    EXPECT_TRUE(IsInit());
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{kStartUpdate, kEndUpdate}));
}

TEST_F(DataBaseManagerTest, RefusedImpersonationLeavesTheManagerUninitialisedAndClosesTheToken) {
    PlatformTesting::SimulateConsoleToken(0);
    PlatformTesting::SimulateImpersonationFailure(true);
    Manager();
    EXPECT_FALSE(IsInit());
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{Error(
                           "DataBaseManager ImpersonateLoggedOnUser failed!", "InitInstance")}));
    EXPECT_EQ(PlatformTesting::OpenConsoleTokens(), 0);
}

TEST_F(DataBaseManagerTest, StartUpThatThrowsRevertsClosesAndConstructsAnewOnTheNextCall) {
    // A data folder whose existence test fails (a link loop) throws out of start-up.
    fs::path loop = AppDataFolder() / "loop";
    fs::create_symlink(loop, loop);
    ::setenv("PROGRAMDATA", loop.c_str(), 1);
    PlatformTesting::SimulateConsoleToken(0);
    EXPECT_THROW(DataBaseManager::GetInstance(), fs::filesystem_error);
    EXPECT_FALSE(PlatformTesting::IsImpersonating());
    EXPECT_EQ(PlatformTesting::OpenConsoleTokens(), 0);

    ::setenv("PROGRAMDATA", AppDataFolder().c_str(), 1);
    EXPECT_TRUE(IsInit());
    EXPECT_TRUE(fs::exists(MainDbFile()));
    EXPECT_FALSE(PlatformTesting::IsImpersonating());
}

TEST_F(DataBaseManagerTest, UnresolvedAppDataFolderTouchesNothingAnywhere) {
    PlatformTesting::SimulateAppDataFailure(5);
    Manager();
    EXPECT_TRUE(IsInit());
    const LogEntry open = Error("SQLite error:Open database failed,error code is 14", "ConnectDb");
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{
                  Error("SQLite error:Create sync database failed,error code is .14", "CreateDb"),
                  open, kStartUpdate, open, kEndUpdate}));
    EXPECT_TRUE(fs::is_empty(AppDataFolder()));
    EXPECT_FALSE(fs::exists("/corvanel.db"));
    EXPECT_FALSE(fs::exists("corvanel.db"));

    std::string folder = "kept";
    EXPECT_EQ(GetDBFilePath(folder), 5);
    EXPECT_EQ(folder, "kept");

    // Nothing is deleted or created for the cache either, not even "/db_cache/".
    fs::create_directories(AppDataFolder() / "db_cache");
    EXPECT_EQ(Manager().CreateDocCachePath(), "");
    EXPECT_TRUE(fs::exists(AppDataFolder() / "db_cache"));

    ClearLines();
    sqlite3* db = reinterpret_cast<sqlite3*>(&folder);
    EXPECT_FALSE(ConnectDbReadonly(&db, DB_TYPE_MIGRATION));
    EXPECT_EQ(db, nullptr);
    EXPECT_FALSE(CreateDb(""));
    EXPECT_EQ(
        Lines(),
        (std::vector<LogEntry>{
            Error("SQLite error:Open database failed,error code is 14", "ConnectDbReadonly"),
            Error("SQLite error:Create sync database failed,error code is .14", "CreateDb")}));
}

TEST_F(DataBaseManagerTest, UpgradeAddsEveryColumnWhileAnotherProcessKeepsWriting) {
    // An old layout, and a second process committing to it all through the upgrade: a probe
    // read left open across the alter would make the alter fail for good.
    fs::create_directories(DataFolder());
    {
        TestDb old(MainDbFile(), true);
        old.Exec("PRAGMA journal_mode=WAL");
        CreateOldLayout(old);
        old.Exec("CREATE TABLE Noise (n INTEGER)");
    }
    int stopPipe[2];
    ASSERT_EQ(::pipe(stopPipe), 0);
    pid_t writer = ::fork();
    if (writer == 0) {
        ::close(stopPipe[1]);
        sqlite3* db = nullptr;
        sqlite3_open_v2(MainDbFile().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db, 5000);
        fd_set set;
        timeval none{};
        for (int i = 0; i < 200000; ++i) {
            sqlite3_exec(db, "insert into Noise values (1)", nullptr, nullptr, nullptr);
            FD_ZERO(&set);
            FD_SET(stopPipe[0], &set);
            if (::select(stopPipe[0] + 1, &set, nullptr, nullptr, &none) > 0) break;
        }
        sqlite3_close(db);
        ::_exit(0);
    }
    ::close(stopPipe[0]);
    Manager();
    ::close(stopPipe[1]);
    int status = 0;
    ::waitpid(writer, &status, 0);

    EXPECT_TRUE(IsInit());
    EXPECT_FALSE(Logged(L"database is locked"));
    TestDb db(MainDbFile());
    EXPECT_EQ(db.Count("select count(1) from pragma_table_info('TransferTask')"), 20);
    EXPECT_EQ(db.Count("select count(1) from pragma_table_info('TransferFileInfo')"), 6);
    EXPECT_EQ(db.Count("select count(1) from pragma_table_info('TransferAppInfo')"), 5);
    EXPECT_EQ(db.Count("select count(1) from sqlite_master where name = 'fileIndex'"), 1);
}

TEST_F(DataBaseManagerTest, KeptConnectionsFollowTheFileAtThePath) {
    DataBaseManager& manager = Manager();
    TransferTask task;
    manager.InsertOneTask(task);
    const fs::path backup = AppDataFolder() / "backup.db";
    {
        TestDb db(MainDbFile());
        db.Exec("VACUUM INTO '" + backup.string() + "'");
    }
    {
        TestDb db(backup);
        db.Exec("PRAGMA journal_mode=WAL");
        db.Exec("UPDATE TransferTask SET taskID = 7");
    }
    // Between operations the log stays: the next one works on the connection that wrote it.
    manager.InsertOneTask(task);
    const fs::path wal = MainDbFile().string() + "-wal";
    ino_t log = Inode(wal);
    ASSERT_NE(log, 0u);
    manager.InsertOneTask(task);
    EXPECT_EQ(manager.GetMaxTaskID(), 3);
    EXPECT_EQ(Inode(wal), log);

    // The backup put in place: the next operations read and write the new file, and the old
    // file's log, with tasks 2 and 3 in it, is not replayed into it.
    fs::rename(backup, MainDbFile());
    ClearLines();
    EXPECT_EQ(manager.GetMaxTaskID(), 7);
    manager.InsertOneTask(task);
    EXPECT_EQ(manager.GetMaxTaskID(), 8);
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Query("select group_concat(taskID) from TransferTask"), (Rows{{"7,8"}}));
    EXPECT_EQ(Scalar("PRAGMA integrity_check"), "ok");

    // Deleted: each operation fails as on a missing file, and creates none.
    fs::remove(MainDbFile());
    EXPECT_EQ(manager.GetMaxTaskID(), 0);
    manager.InsertOneTask(task);
    EXPECT_FALSE(fs::exists(MainDbFile()));
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{
                  Error("SQLite error:Open database failed,error code is 14", "ConnectDbReadonly"),
                  Error("SQLite error:Open database failed,error code is 14", "ConnectDb")}));
}

TEST_F(DataBaseManagerTest, AForkedChildWorksOnConnectionsOfItsOwn) {
    DataBaseManager& manager = Manager();
    TransferTask task;
    manager.InsertOneTask(task);
    ASSERT_EQ(manager.GetMaxTaskID(), 1);
    EXPECT_EQ(InChild([&] {
                  manager.InsertOneTask(task);
                  return manager.GetMaxTaskID() == 2;
              }),
              0);
    // The parent's connections saw nothing of the child and go on.
    EXPECT_EQ(manager.GetMaxTaskID(), 2);
    manager.InsertOneTask(task);
    EXPECT_EQ(manager.GetMaxTaskID(), 3);
    EXPECT_EQ(Scalar("PRAGMA integrity_check"), "ok");
    EXPECT_TRUE(Lines().empty() || Lines().back() == kEndUpdate);
}

TEST_F(DataBaseManagerTest, TheEndOfTheProcessLeavesEveryWriteInTheDatabaseFileAlone) {
    // The child is the only process on the database: its end closes the last connections,
    // which checkpoint the log into the file and remove it.
    EXPECT_EQ(InChild([] {
                  DataBaseManager& manager = *DataBaseManager::GetInstance();
                  TransferTask task;
                  for (int i = 0; i < 3; ++i) manager.InsertOneTask(task);
                  return manager.GetMaxTaskID() == 3;
              }),
              0);
    EXPECT_FALSE(fs::exists(MainDbFile().string() + "-wal"));
    EXPECT_FALSE(fs::exists(MainDbFile().string() + "-shm"));
    EXPECT_EQ(Count("select count(1) from TransferTask"), 3);
}

TEST_F(DataBaseManagerTest, StartUpsRetriedTogetherAfterAFailedOneRunOnce) {
    PlatformTesting::SimulateConsoleToken(1008);
    Manager();
    ASSERT_FALSE(IsInit());
    PlatformTesting::SimulateConsoleToken(0);
    ClearLines();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([] { Manager().InitInstance(); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(IsInit());
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{kStartUpdate, kEndUpdate}));
    EXPECT_EQ(Count("select count(1) from sqlite_master where type = 'table' and name like "
                    "'Transfer%'"),
              5);
}

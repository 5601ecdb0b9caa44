// Start-up in each identity the console can give, played through the POSIX test seams.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "PlatformTesting.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {
const LogEntry kStartUpdate = Info("Start update table.", "UpdateTable");
const LogEntry kEndUpdate = Info("End update table.", "UpdateTable");
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

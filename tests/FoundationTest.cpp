// Start-up, the data folder, connections, statement retry, transactions and the schema, as a
// caller and a support engineer see them: files on disk, rows, and the exact log lines.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {
// Column names of a table in declaration order, with their declared types and defaults.
Rows Columns(TestDb& db, const std::string& table) {
    return db.Query(
        "select name, type, \"notnull\", coalesce(dflt_value, 'NULL') from "
        "pragma_table_info('" +
        table + "') order by cid");
}

std::vector<std::string> Names(const Rows& columns) {
    std::vector<std::string> names;
    for (const auto& column : columns) names.push_back(column[0]);
    return names;
}

const LogEntry kStartUpdate = Info("Start update table.", "UpdateTable");
const LogEntry kEndUpdate = Info("End update table.", "UpdateTable");
}  // namespace

TEST_F(DataBaseManagerTest, NewDatabaseGetsCurrentLayoutWalAndAutoVacuum) {
    DataBaseManager* first = DataBaseManager::GetInstance();
    EXPECT_TRUE(IsInit());
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{kStartUpdate, kEndUpdate}));
    ASSERT_TRUE(fs::exists(MainDbFile()));

    TestDb db(MainDbFile());
    EXPECT_EQ(db.Scalar("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(db.Scalar("PRAGMA auto_vacuum"), "1");
    EXPECT_EQ(db.Scalar("select group_concat(name, ',') from (select name from sqlite_master "
                        "where type = 'table' and name not like 'sqlite_%' order by rowid)"),
              "TransferTask,TransferFileInfo,TransferAppInfo,TransferSettingInfo,"
              "TransferBookmarkInfo");
    EXPECT_EQ(db.Scalar("select sql from sqlite_master where name = 'fileIndex'"),
              "CREATE INDEX fileIndex on TransferFileInfo(taskID,sendFilePath)");

    Rows task = Columns(db, "TransferTask");
    EXPECT_EQ(Names(task), (std::vector<std::string>{"taskID",
                                                     "startTime",
                                                     "endTime",
                                                     "transferFileNums",
                                                     "completeNums",
                                                     "transferSize",
                                                     "completeSize",
                                                     "completeEmptyFolderNum",
                                                     "status",
                                                     "transferAppNums",
                                                     "transferSucAppNums",
                                                     "macAddr",
                                                     "transferSettingNums",
                                                     "transferSucSettingNums",
                                                     "session",
                                                     "fileStatus",
                                                     "appStatus",
                                                     "settingStatus",
                                                     "newPCType",
                                                     "newPCModel"}));
    EXPECT_EQ(task[18], (std::vector<std::string>{"newPCType", "INTEGER", "0", "0"}));
    EXPECT_EQ(task[19], (std::vector<std::string>{"newPCModel", "TEXT", "0", "''"}));
    EXPECT_EQ(task[14], (std::vector<std::string>{"session", "BLOB", "0", "''"}));
    // No alter ran: the stored statement is the creation statement as written.
    EXPECT_EQ(db.Count("select count(1) from sqlite_master where sql like '%alter%' or "
                       "sql like '%test DEFAULT%'"),
              0);

    EXPECT_EQ(Columns(db, "TransferFileInfo"), (Rows{{"taskID", "INTEGER", "1", "NULL"},
                                                     {"fileName", "TEXT", "0", "NULL"},
                                                     {"sendFilePath", "TEXT", "0", "NULL"},
                                                     {"errCode", "INTEGER", "0", "-1"},
                                                     {"targetPath", "TEXT", "0", "NULL"},
                                                     {"status", "INTEGER", "0", "-1"}}));
    EXPECT_EQ(Columns(db, "TransferAppInfo"), (Rows{{"taskID", "INTEGER", "1", "NULL"},
                                                    {"appName", "TEXT", "0", "NULL"},
                                                    {"downStatusIndex", "INTEGER", "0", "-1"},
                                                    {"installStatusIndex", "INTEGER", "0", "-1"},
                                                    {"appIconPath", "TEXT", "0", "''"}}));
    EXPECT_EQ(Names(Columns(db, "TransferSettingInfo")),
              (std::vector<std::string>{"taskID", "settingName", "resultType"}));
    EXPECT_EQ(Names(Columns(db, "TransferBookmarkInfo")),
              (std::vector<std::string>{"taskID", "browserName"}));

    // Later calls return the same instance and do no database work.
    ClearLines();
    EXPECT_EQ(DataBaseManager::GetInstance(), first);
    first->InitInstance();
    EXPECT_TRUE(Lines().empty());
}

TEST_F(DataBaseManagerTest, DatabaseIsWrittenByThePinnedSqlite) {
    Manager();
    // The header records the version of the SQLite that last wrote the file (offset 96).
    std::ifstream file(MainDbFile(), std::ios::binary);
    unsigned char header[100] = {};
    ASSERT_TRUE(file.read(reinterpret_cast<char*>(header), sizeof header));
    int version = (header[96] << 24) | (header[97] << 16) | (header[98] << 8) | header[99];
    EXPECT_EQ(version, 3053002);
}

TEST_F(DataBaseManagerTest, OldLayoutIsUpgradedInPlaceOnceAndKeepsItsRows) {
    fs::create_directories(DataFolder());
    {
        TestDb old(MainDbFile(), true);
        CreateOldLayout(old);
        old.Exec("insert into TransferTask values (NULL, 1, 2, 3, 4, 5, 6, 7, 8, 9, 'mac')");
        old.Exec("insert into TransferFileInfo values (1, 'a', 'C:/a', 0)");
    }
    Manager();
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{kStartUpdate, kEndUpdate}));

    auto readLayout = [&] {
        TestDb db(MainDbFile());
        return db.Query("select name, sql from sqlite_master order by name");
    };
    Rows upgraded = readLayout();
    {
        TestDb db(MainDbFile());
        Rows task = Columns(db, "TransferTask");
        ASSERT_EQ(task.size(), 20u);
        std::vector<std::string> names = Names(task);
        std::vector<std::string> added(names.begin() + 11, names.end());
        EXPECT_EQ(added,
                  (std::vector<std::string>{"transferSettingNums", "transferSucSettingNums",
                                            "session", "fileStatus", "appStatus", "settingStatus",
                                            "completeEmptyFolderNum", "newPCType", "newPCModel"}));
        EXPECT_EQ(task[18], (std::vector<std::string>{"newPCType", "INTEGER", "0", "-1"}));
        // Declared text, so a model name that reads as a number stays text.
        EXPECT_EQ(task[19], (std::vector<std::string>{"newPCModel", "TEXT", "0", "''"}));
        db.Exec("update TransferTask set newPCModel = '007'");
        EXPECT_EQ(db.Scalar("select newPCModel || '/' || typeof(newPCModel) from TransferTask"),
                  "007/text");
        EXPECT_EQ(Names(Columns(db, "TransferFileInfo")),
                  (std::vector<std::string>{"taskID", "fileName", "sendFilePath", "errCode",
                                            "targetPath", "status"}));
        EXPECT_EQ(Names(Columns(db, "TransferAppInfo")).back(), "appIconPath");
        EXPECT_EQ(db.Count("select count(1) from sqlite_master where name = 'fileIndex'"), 1);
        EXPECT_EQ(db.Query("select fileName, status, targetPath from TransferFileInfo"),
                  (Rows{{"a", "-1", "NULL"}}));
        EXPECT_EQ(db.Scalar("select macAddr from TransferTask"), "mac");
    }

    // A second start-up against the current file runs no alter and no index creation.
    ClearLines();
    SetInit(false);
    Initialize();
    EXPECT_TRUE(IsInit());
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{kStartUpdate, kEndUpdate}));
    EXPECT_EQ(readLayout(), upgraded);
}

TEST_F(DataBaseManagerTest, DataFolderThatIsAPlainFileLeavesTheManagerInitialisedButUnable) {
    fs::create_directories(DataFolder().parent_path());
    std::ofstream(DataFolder()) << "not a folder";
    Manager();
    EXPECT_TRUE(IsInit());
    EXPECT_TRUE(fs::is_regular_file(DataFolder()));
    EXPECT_FALSE(Logged(L"DE::CreateDeepDirectory process failed!"));
    // A failed open still leaves SQLite's handle, so each table statement runs and fails.
    const LogEntry open = Error("SQLite error:Open database failed,error code is 14", "ConnectDb");
    const LogEntry misuse = Error(
        "SQLite error:ExecuteNoQuerySqlCmd failed,error code is 21,reason:unable to open database "
        "file",
        "ExecuteNoQuerySqlCmd");
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{
                  Error("SQLite error:Create sync database failed,error code is .14", "CreateDb"),
                  open, misuse, misuse, misuse, misuse, misuse, kStartUpdate, open, kEndUpdate}));

    // Every later connection attempt fails and says so.
    ClearLines();
    EXPECT_EQ(Manager().GetMaxTaskID(), 0);
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{Error("SQLite error:Open database failed,error code is 14",
                                           "ConnectDbReadonly")}));
}

TEST_F(DataBaseManagerTest, DataFolderIsFoundCreatedOrReportedWhenItCannotBe) {
    Manager();
    ClearLines();
    std::string folder = "left over";
    EXPECT_EQ(GetDBFilePath(folder), 0);
    EXPECT_EQ(fs::path(folder), DataFolder());  // replaced, not extended
    EXPECT_TRUE(Lines().empty());

    LetGoOfDatabaseFiles();
    fs::remove_all(DataFolder());
    folder.clear();
    EXPECT_EQ(GetDBFilePath(folder), 0);
    EXPECT_TRUE(fs::is_directory(DataFolder()));

    // A parent that is a plain file: the folder cannot be made, the path is returned anyway.
    fs::remove_all(AppDataFolder() / "Voded");
    std::ofstream(AppDataFolder() / "Voded") << "file";
    folder.clear();
    EXPECT_EQ(GetDBFilePath(folder), 0);
    EXPECT_EQ(fs::path(folder), DataFolder());
    EXPECT_EQ(
        Lines(),
        (std::vector<LogEntry>{Error("DE::CreateDeepDirectory process failed!", "GetDBFilePath")}));
}

TEST_F(DataBaseManagerTest, CreateDocCachePathEmptiesTheCacheFolderEachTime) {
    Manager();
    std::string first = Manager().CreateDocCachePath();
    EXPECT_EQ(fs::path(first), CacheDbFile());
    EXPECT_TRUE(fs::is_directory(CacheDbFile().parent_path()));
    std::ofstream(CacheDbFile()) << "old cache";
    std::ofstream(CacheDbFile().parent_path() / "other.tmp") << "x";

    std::string second = Manager().CreateDocCachePath();
    EXPECT_EQ(second, first);
    EXPECT_TRUE(fs::is_directory(CacheDbFile().parent_path()));
    EXPECT_TRUE(fs::is_empty(CacheDbFile().parent_path()));
    EXPECT_TRUE(fs::exists(MainDbFile()));  // only the cache folder goes
}

TEST_F(DataBaseManagerTest, ConnectionHelpersRefuseNullsQuietlyOrWithTheirLine) {
    Manager();
    ClearLines();
    EXPECT_FALSE(ConnectDb(nullptr, true, DB_TYPE_MIGRATION, false));
    EXPECT_FALSE(ConnectDbReadonly(nullptr, DB_TYPE_MIGRATION));
    EXPECT_TRUE(CloseDb(nullptr));
    EXPECT_EQ(ExecuteNoQuerySqlCmd(nullptr, "select 1"), 1);
    EXPECT_FALSE(BeginTransaction(nullptr));
    EXPECT_FALSE(CommitTransaction(nullptr));
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{Error("connect DB, dataBase pointer is nullptr", "ConnectDb"),
                                     Error("Connect Db read only, dataBase pointer is nullptr",
                                           "ConnectDbReadonly")}));
}

TEST_F(DataBaseManagerTest, MissingDatabaseFileIsNotCreatedByAConnection) {
    Manager();
    LetGoOfDatabaseFiles();
    fs::remove(MainDbFile());
    ClearLines();
    sqlite3* db = nullptr;
    EXPECT_FALSE(ConnectDb(&db, true, DB_TYPE_MIGRATION, false));
    CloseDb(db);
    db = nullptr;
    EXPECT_FALSE(ConnectDbReadonly(&db, DB_TYPE_MIGRATION));
    CloseDb(db);
    db = nullptr;
    // The cache line comes before the open, whether or not the open succeeds.
    EXPECT_FALSE(ConnectDb(&db, true, DB_TYPE_MIGRATION, true));
    CloseDb(db);
    EXPECT_FALSE(fs::exists(MainDbFile()));
    EXPECT_FALSE(fs::exists(CacheDbFile()));
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{
                  Error("SQLite error:Open database failed,error code is 14", "ConnectDb"),
                  Error("SQLite error:Open database failed,error code is 14", "ConnectDbReadonly"),
                  Info("connect cache DB", "ConnectDb"),
                  Error("SQLite error:Open database failed,error code is 14", "ConnectDb")}));
}

TEST_F(DataBaseManagerTest, LockedDatabaseIsRetriedFourTimesThenReportedBusy) {
    Manager();
    sqlite3* db = nullptr;
    ASSERT_TRUE(ConnectDb(&db, false, DB_TYPE_MIGRATION, false));  // no busy handler
    ClearLines();
    int result;
    std::chrono::steady_clock::duration waited;
    {
        WriteLockHolder lock(MainDbFile());
        auto start = std::chrono::steady_clock::now();
        result = ExecuteNoQuerySqlCmd(db, "insert into TransferBookmarkInfo values (1, 'b')");
        waited = std::chrono::steady_clock::now() - start;
    }
    EXPECT_EQ(result, 5);
    // Three pauses of half a second: the retry really waited for the lock.
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{
                           Error("SQLite error:ExecuteNoQuerySqlCmd failed,error code is 5,reason:"
                                 "database is locked",
                                 "ExecuteNoQuerySqlCmd")}));
    // Once the lock is gone the same statement lands at the first run.
    EXPECT_EQ(ExecuteNoQuerySqlCmd(db, "insert into TransferBookmarkInfo values (1, 'b')"), 0);
    CloseDb(db);
    EXPECT_EQ(Count("select count(1) from TransferBookmarkInfo"), 1);
}

TEST_F(DataBaseManagerTest, StatementListsRunToTheEndAndReportWhetherAllSucceeded) {
    Manager();
    EXPECT_TRUE(ExecuteMulitNoQuerySQL({}));
    ClearLines();
    EXPECT_FALSE(ExecuteMulitNoQuerySQL({"insert into TransferBookmarkInfo values (1, 'a')",
                                         "insert into NoSuchTable values (1)",
                                         "insert into TransferBookmarkInfo values (2, 'b')"}));
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{
                           Error("SQLite error:ExecuteNoQuerySqlCmd failed,error code is 1,reason:"
                                 "no such table: NoSuchTable",
                                 "ExecuteNoQuerySqlCmd")}));
    EXPECT_EQ(Query("select taskID, browserName from TransferBookmarkInfo order by taskID"),
              (Rows{{"1", "a"}, {"2", "b"}}));
}

TEST_F(DataBaseManagerTest, TransactionsCommitWhatWasWrittenAndReportMisuse) {
    Manager();
    sqlite3* db = nullptr;
    ASSERT_TRUE(ConnectDb(&db, true, DB_TYPE_MIGRATION, false));
    ClearLines();
    EXPECT_TRUE(BeginTransaction(db));
    EXPECT_EQ(ExecuteNoQuerySqlCmd(db, "insert into TransferBookmarkInfo values (7, 'x')"), 0);
    EXPECT_TRUE(CommitTransaction(db));
    EXPECT_FALSE(CommitTransaction(db));
    EXPECT_TRUE(CloseDb(db));
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{Error(
                           "SQLite error:Commit transaction failed,error code is 1,reason:cannot "
                           "commit - no transaction is active",
                           "CommitTransaction")}));
    EXPECT_EQ(Count("select count(1) from TransferBookmarkInfo where taskID = 7"), 1);

    // An existing database is opened again, its settings applied once more.
    ClearLines();
    EXPECT_TRUE(CreateDb(MainDbFile().string()));
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Scalar("PRAGMA journal_mode"), "wal");
}

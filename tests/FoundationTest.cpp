// Start-up, the data folder, the connections and their statements, as a caller and a support
// engineer see them: files on disk, rows, and the exact log lines.
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>

#include "TestSupport.h"

namespace fs = std::filesystem;

TEST_F(DataBaseManagerTest, NewDatabaseIsMadeInTheDataFolderAndEveryConnectionGetsItsSettings) {
    DataBaseManager* first = DataBaseManager::GetInstance();
    EXPECT_EQ(Query("select sql from sqlite_master where name = 'fileIndex'"),
              (Rows{{"CREATE INDEX fileIndex on TransferFileInfo(taskID,sendFilePath)"}}));
    EXPECT_EQ(Scalar("PRAGMA auto_vacuum"), "1");
    // What the library's own connections run with: write-ahead logging, synchronous NORMAL.
    EXPECT_TRUE(
        ExecuteMulitNoQuerySQL({"insert into TransferBookmarkInfo select synchronous, "
                                "journal_mode from pragma_synchronous, pragma_journal_mode"}));
    EXPECT_EQ(Query("select * from TransferBookmarkInfo"), (Rows{{"1", "wal"}}));
    // A list of statements runs to its end, and says whether every one of them succeeded.
    const std::string good = "insert into TransferBookmarkInfo values (2, 'a')", bad = "bad";
    EXPECT_TRUE(ExecuteMulitNoQuerySQL({}) && ExecuteMulitNoQuerySQL({good, good}));
    EXPECT_FALSE(ExecuteMulitNoQuerySQL({good, bad, good}) || ExecuteMulitNoQuerySQL({bad, good}));
    EXPECT_EQ(Count("select count(1) from TransferBookmarkInfo where taskID = 2"), 5);
    const LogEntry syntax = Error(
        "SQLite error:ExecuteNoQuerySqlCmd failed,error code is 1,reason:"
        "near \"bad\": syntax error",
        "ExecuteNoQuerySqlCmd");
    EXPECT_EQ(Lines(), (LogLines{StartUpLines()[0], StartUpLines()[1], syntax, syntax}));
    sqlite3* db = nullptr;  // a transaction says whether it began and committed
    EXPECT_TRUE(ConnectDb(&db, true, DB_TYPE_MIGRATION, false) && BeginTransaction(db) &&
                CommitTransaction(db));
    EXPECT_FALSE(CommitTransaction(db) || !CloseDb(db));  // nothing left to commit
    // Later calls return the same instance and do no database work.
    ClearLines();
    EXPECT_EQ(DataBaseManager::GetInstance(), first);
    first->InitInstance();
    std::string folder = "left over";
    EXPECT_EQ(GetDBFilePath(folder), 0);
    EXPECT_EQ(fs::path(folder), DataFolder());  // replaced, not extended
    // The cache folder is emptied each time its path is asked for; only it goes.
    EXPECT_EQ(fs::path(first->CreateDocCachePath()), CacheDbFile());
    std::ofstream(CacheDbFile()) << "old cache";
    EXPECT_EQ(fs::path(first->CreateDocCachePath()), CacheDbFile());
    EXPECT_TRUE(fs::is_empty(CacheDbFile().parent_path()) && fs::exists(MainDbFile()));
    EXPECT_TRUE(Lines().empty());
    // A parent that is a plain file: the folder cannot be made, the path is returned anyway.
    LetGoOfDatabaseFiles();
    fs::remove_all(AppDataFolder() / "Voded");
    std::ofstream(AppDataFolder() / "Voded") << "file";
    EXPECT_EQ(GetDBFilePath(folder), 0);
    EXPECT_EQ(Lines(), LogLines{Error("DE::CreateDeepDirectory process failed!", "GetDBFilePath")});
}

// Every writer carries the busy handler: a write that meets another writer waits and lands.
TEST_F(DataBaseManagerTest, EveryWriteThatMeetsAnotherWriterWaitsAndLands) {
    DataBaseManager& m = Started();
    m.CreateDocCacheDb();
    std::vector<SendFailedFileInfo> failed{{L"a", L"a", 3}};
    Exec("insert into TransferFileInfo (taskID, sendFilePath) values (0, 'a')");
    const std::tuple<std::function<void()>, fs::path, const char*, const char*> writes[] = {
        {[&] { m.UpdateFailFileInfo(failed, 0); }, MainDbFile(),
         "select errCode from TransferFileInfo", "3"},
        {[&] {
             m.InsertFilesToCacheDb({{L"c", L"t", 1, L"w", 0}}, true);
         },
         CacheDbFile(), "select count(1) from small_file", "1"}};
    for (const auto& [write, file, sql, landed] : writes) {
        auto holder = std::make_unique<WriteLockHolder>(file);
        std::thread release([&holder] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            holder.reset();
        });
        write();
        release.join();
        EXPECT_EQ(TestDb(file).Scalar(sql), landed) << sql;
    }
    EXPECT_FALSE(Logged(L"error")) << ::testing::PrintToString(Lines());
}

// A write whose statement does not prepare (a table of another layout, a full disk) says so.
TEST_F(DataBaseManagerTest, WritesThatCannotPrepareAreLogged) {
    DataBaseManager& m = Started();
    Exec("drop table TransferTask; drop table TransferAppInfo; drop table TransferFileInfo");
    TransferTask task;
    std::vector<SendAppInfo> apps(1);
    std::vector<TransferFileInfo> outcomes(1);
    DirectoryTreeManager tree;
    tree.AddNode(nullptr, L"a", false)->Select();
    m.InsertOneTask(task);
    m.InsertAppInfo(apps, 1);
    m.UpdateTaskFileStatus(outcomes);
    m.InsertFileInfo(tree.GetRootNode(), 1);
    auto missing = [](const std::string& table, const std::string& operation) {
        return Error("SQLite error:no such table: Transfer" + table, operation);
    };
    EXPECT_EQ(Lines(),
              (LogLines{missing("Task", "InsertOneTask"), missing("AppInfo", "InsertAppInfo"),
                        missing("FileInfo", "UpdateTaskFileStatus"),
                        Info("Start insert file info.", "InsertFileInfo"),
                        missing("FileInfo", "InsertFileInfo")}));
}

// Start-up, the data folder, the connections and their statements, as a caller and a support
// engineer see them: files on disk, rows, and the exact log lines.
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>

#include "TestSupport.h"

namespace fs = std::filesystem;

TEST_F(DataBaseManagerTest, NewDatabaseIsMadeInTheDataFolderAndEveryConnectionGetsItsSettings) {
    DataBaseManager* first = DataBaseManager::GetInstance();
    EXPECT_EQ(Query("select sql from sqlite_master where name = 'fileIndex'"),
              (Rows{{"CREATE INDEX fileIndex on TransferFileInfo(taskID,sendFilePath)"}}));
    EXPECT_EQ(Scalar("PRAGMA auto_vacuum"), "1");
    // What the library's own connections run with, whatever SQLite it was built with:
    // write-ahead logging, synchronous NORMAL, the log cut back to 16 MiB when it starts over.
    EXPECT_TRUE(ExecuteMulitNoQuerySQL(
        {"insert into TransferBookmarkInfo select synchronous, journal_mode || ' ' || "
         "journal_size_limit from pragma_synchronous, pragma_journal_mode, "
         "pragma_journal_size_limit"}));
    EXPECT_EQ(Query("select * from TransferBookmarkInfo"), (Rows{{"1", "wal 16777216"}}));
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

// Idle for a second, the library holds no file: corvanel.db alone is left, as a fresh process
// finds it, and it can be renamed or deleted (Windows refuses both while a handle is open); the
// next operation opens it again. Within a burst the connections stay.
TEST_F(DataBaseManagerTest, IdleForASecondTheLibraryLetsGoOfItsFiles) {
    DataBaseManager& m = Started();
    TransferTask task;
    const std::string wal = MainDbFile().string() + "-wal";
    for (int i = 0; i < 3; ++i) {
        m.InsertOneTask(task);
        EXPECT_EQ(m.GetMaxTaskID(), i + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(fs::exists(wal)) << "closed within a burst, after write " << i;
    }
    EXPECT_TRUE(WaitForNoLog(MainDbFile()));
    EXPECT_LE(OpenHandlesTo(MainDbFile()), 0);  // -1: not told here
    const fs::path moved = DataFolder() / "moved.db";
    ASSERT_TRUE(Renamed(MainDbFile(), moved));
    ASSERT_TRUE(Renamed(moved, MainDbFile()));
    m.InsertOneTask(task);
    EXPECT_EQ(m.GetMaxTaskID(), 4);
    EXPECT_TRUE(WaitForNoLog(MainDbFile()));
    EXPECT_TRUE(Renamed(MainDbFile(), moved) && fs::remove(moved));
    EXPECT_TRUE(Lines().empty()) << ::testing::PrintToString(Lines());
}

// An operation's lines reach the sink after it has released every lock of the library: a sink
// that writes or asks the largest id from inside the sink completes.
TEST_F(DataBaseManagerTest, ASinkMayCallTheLibraryFromInsideTheSink) {
    DataBaseManager& m = Started();
    TransferTask task;
    for (int i = 0; i < 4; ++i) m.InsertOneTask(task);
    Exec("DROP TABLE TransferAppInfo");  // the prune fails there while it holds its writer's turn
    std::mutex linesMutex;
    LogLines seen;
    thread_local bool inSink = false;
    VtLogger::GetInstance()->SetSink([&](LOG_MESSAGE_LEVEL level, const std::wstring& line) {
        {
            std::lock_guard<std::mutex> lock(linesMutex);
            seen.push_back({level, line});
        }
        if (inSink || level != LOG_LEVEL_ERROR) return;
        inSink = true;
        m.InsertOneTask(task);
        m.GetMaxTaskID();
        inSink = false;
    });
    auto calls = std::async(std::launch::async, [&] {
        m.UpdateTransferHistory();  // a line under the writers' turn
        CloseIdleConnections();
        fs::rename(MainDbFile(), AppDataFolder() / "away.db");
        m.GetMaxTaskID();  // a line under the lock that orders the largest id's readers
    });
    if (calls.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "a sink that calls the library waits for itself";
        std::_Exit(1);
    }
    fs::rename(AppDataFolder() / "away.db", MainDbFile());
    // The sink's inserts, one for each of the prune's two error lines, landed; the prune's lines
    // came in their order.
    EXPECT_EQ(Count("select max(taskID) from TransferTask"), 6);
    std::lock_guard<std::mutex> lock(linesMutex);
    ASSERT_GE(seen.size(), 4u) << ::testing::PrintToString(seen);
    EXPECT_EQ(seen[0], Info("Start update transfer history", "UpdateTransferHistory"));
    EXPECT_EQ(seen[3], Info("Finish update transfer history", "UpdateTransferHistory"));
}

// A writer stuck behind another thread's long write waits as long as the busy handler would
// have let it wait for another process (501 pauses of 10 to 100 ms), then fails as a write to a
// locked database fails.
TEST_F(DataBaseManagerTest, AWriterBehindALongWriteFailsWithinTheBusyHandlersTime) {
    DataBaseManager& m = Started();
    TransferTask task;
    for (int i = 0; i < 4; ++i) m.InsertOneTask(task);
    auto holder = std::make_unique<WriteLockHolder>(MainDbFile());
    // Its deletes wait on the other process's lock, each retried for minutes: all the while it
    // holds this process's writers' turn.
    std::thread prune([&] { m.UpdateTransferHistory(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = std::chrono::steady_clock::now();
    m.InsertOneTask(task);
    auto waited = std::chrono::steady_clock::now() - start;
    holder.reset();
    prune.join();
    EXPECT_GE(waited, std::chrono::milliseconds(5010));
    EXPECT_LE(waited, std::chrono::milliseconds(50100 + 5000));
    EXPECT_TRUE(Logged(Error("SQLite error:database is locked", "InsertOneTask").text));
    EXPECT_EQ(Count("select max(taskID) from TransferTask"), 4);  // the stuck write is not there
}

// A connection that met a failed step is closed, not kept: with no other connection kept, its
// close is the last one and removes the log at once.
TEST_F(DataBaseManagerTest, AConnectionThatMetAFailedStepIsClosedNotKept) {
    DataBaseManager& m = Started();
    TransferTask task;
    m.InsertOneTask(task);
    ASSERT_TRUE(fs::exists(MainDbFile().string() + "-wal"));
    std::vector<TransferSettingInfo> twice(2);  // the same name twice in one task
    m.InsertSettingInfo(twice, 1);
    EXPECT_FALSE(fs::exists(MainDbFile().string() + "-wal"));
    EXPECT_EQ(Lines(),
              (LogLines{Error("SQLite error:UNIQUE constraint failed: "
                              "TransferSettingInfo.taskID, TransferSettingInfo.settingName",
                              "InsertSettingInfo")}));
    EXPECT_EQ(Count("select count(1) from TransferSettingInfo"), 1);
}

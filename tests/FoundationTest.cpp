// Start-up, the data folder, the connections and their statements, as a caller and a support
// engineer see them: files on disk, rows, and the exact log lines.
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <regex>
#include <thread>
#include <tuple>

#include "TestSupport.h"

namespace fs = std::filesystem;

TEST_F(DataBaseManagerTest, TheStartUpMakesTheSchemaAndEveryConnectionGetsTheLibrarysSettings) {
    Manager();
    EXPECT_EQ(Lines(), StartUpLines()) << "a new database's start-up";
    EXPECT_EQ(Scalar("select sql from sqlite_master where name = 'fileIndex'"),
              "CREATE INDEX fileIndex on TransferFileInfo(taskID,sendFilePath)");
    EXPECT_EQ(Scalar("PRAGMA auto_vacuum"), "1") << "incremental auto-vacuum";
    // Whatever SQLite the library was built with: write-ahead logging, synchronous NORMAL, the log
    // cut back to 16 MiB when it starts over.
    for (const auto& [pragma, value] : {std::pair<std::string, std::string>{"synchronous", "1"},
                                        {"journal_mode", "wal"},
                                        {"journal_size_limit", "16777216"}}) {
        ExecuteMulitNoQuerySQL(
            {"insert into TransferBookmarkInfo select 0, * from pragma_" + pragma});
        EXPECT_EQ(Scalar("select browserName from TransferBookmarkInfo order by rowid desc"), value)
            << pragma;
    }
}

// A list of statements runs to its end, and says whether every one of them succeeded.
TEST_F(DataBaseManagerTest, StatementsAndTransactionsSayWhetherTheySucceeded) {
    Started();
    const std::string good = "insert into TransferBookmarkInfo values (2, 'a')", bad = "bad";
    const LogEntry syntax = Error(
        "SQLite error:ExecuteNoQuerySqlCmd failed,error code is 1,reason:near \"bad\": syntax "
        "error",
        "ExecuteNoQuerySqlCmd");
    EXPECT_TRUE(ExecuteMulitNoQuerySQL({})) << "an empty list";
    EXPECT_TRUE(ExecuteMulitNoQuerySQL({good, good})) << "good statements";
    EXPECT_FALSE(ExecuteMulitNoQuerySQL({good, bad, good})) << "a bad one between good ones";
    EXPECT_FALSE(ExecuteMulitNoQuerySQL({bad, good})) << "a bad one first";
    EXPECT_EQ(Count("select count(1) from TransferBookmarkInfo"), 5) << "the good ones all ran";
    EXPECT_EQ(Lines(), (LogLines{syntax, syntax})) << "a line for each bad one";
    sqlite3* db = nullptr;
    EXPECT_TRUE(ConnectDb(&db, true, DB_TYPE_MIGRATION, false));
    EXPECT_TRUE(BeginTransaction(db) && CommitTransaction(db)) << "a transaction commits";
    EXPECT_FALSE(CommitTransaction(db)) << "nothing left to commit";
    EXPECT_TRUE(CloseDb(db));
}

// No handle to fill and no path to create: refused with a line, never a connection to nowhere.
TEST_F(DataBaseManagerTest, ConnectionsRefuseAMissingHandleOrPath) {
    Started();
    EXPECT_FALSE(ConnectDb(nullptr, true, DB_TYPE_MIGRATION, false));
    EXPECT_FALSE(ConnectDbReadonly(nullptr, DB_TYPE_MIGRATION));
    EXPECT_FALSE(CreateDb(""));
    EXPECT_EQ(
        Lines(),
        (LogLines{
            Error("connect DB, dataBase pointer is nullptr", "ConnectDb"),
            Error("Connect Db read only, dataBase pointer is nullptr", "ConnectDbReadonly"),
            Error("SQLite error:Create sync database failed,error code is .14", "CreateDb")}));
}

TEST_F(DataBaseManagerTest, LaterCallsReturnTheSameInstanceAndDoNoDatabaseWork) {
    DataBaseManager* first = &Started();
    EXPECT_EQ(DataBaseManager::GetInstance(), first);
    first->InitInstance();
    EXPECT_TRUE(Lines().empty()) << ::testing::PrintToString(Lines());
}

TEST_F(DataBaseManagerTest, TheDataFolderAndTheCachePathAsACallerAsksForThem) {
    DataBaseManager& m = Started();
    std::string folder = "left over";
    EXPECT_EQ(GetDBFilePath(folder), 0);
    EXPECT_EQ(fs::path(folder), DataFolder()) << "the caller's text is replaced, not extended";
    EXPECT_EQ(fs::path(m.CreateDocCachePath()), CacheDbFile());
    std::ofstream(CacheDbFile()) << "old cache";
    EXPECT_EQ(fs::path(m.CreateDocCachePath()), CacheDbFile());
    EXPECT_TRUE(fs::is_empty(CacheDbFile().parent_path())) << "asked again: the cache is emptied";
    EXPECT_TRUE(fs::exists(MainDbFile())) << "and only the cache";
    EXPECT_TRUE(Lines().empty()) << ::testing::PrintToString(Lines());
    // A parent that is a plain file: the folder cannot be made, the path is returned anyway.
    LetGoOfDatabaseFiles();
    fs::remove_all(AppDataFolder() / "Voded");
    std::ofstream(AppDataFolder() / "Voded") << "file";
    EXPECT_EQ(GetDBFilePath(folder), 0) << "a data folder that cannot be made";
    EXPECT_EQ(Lines(), LogLines{Error("DE::CreateDeepDirectory process failed!", "GetDBFilePath")});
}

// Every writer carries the busy handler: a write that meets another writer waits and lands.
TEST_F(DataBaseManagerTest, EveryWriteThatMeetsAnotherWriterWaitsAndLands) {
    DataBaseManager& m = Started();
    m.CreateDocCacheDb();
    std::vector<SendFailedFileInfo> failed{{L"a", L"a", 3}};
    Exec("insert into TransferFileInfo (taskID, sendFilePath) values (0, 'a')");
    struct Write {
        const char* name;
        std::function<void()> run;
        fs::path file;
        const char* sql;
        const char* landed;
    };
    for (const Write& write : {Write{"a failure batch", [&] { m.UpdateFailFileInfo(failed, 0); },
                                     MainDbFile(), "select errCode from TransferFileInfo", "3"},
                               Write{"a cache insert",
                                     [&] {
                                         m.InsertFilesToCacheDb({{L"c", L"t", 1, L"w", 0}}, true);
                                     },
                                     CacheDbFile(), "select count(1) from small_file", "1"}}) {
        auto holder = std::make_unique<WriteLockHolder>(write.file);
        std::thread release([&holder] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            holder.reset();
        });
        write.run();
        release.join();
        EXPECT_EQ(TestDb(write.file).Scalar(write.sql), write.landed) << write.name;
    }
    EXPECT_FALSE(Logged(L"error")) << ::testing::PrintToString(Lines());
}

// A write whose statement does not prepare (a table of another layout, a full disk) says so.
TEST_F(DataBaseManagerTest, EachWriteThatCannotPrepareSaysSo) {
    DataBaseManager& m = Started();
    Exec("drop table TransferTask; drop table TransferAppInfo; drop table TransferFileInfo");
    TransferTask task;
    std::vector<SendAppInfo> apps(1);
    std::vector<TransferFileInfo> outcomes(1);
    DirectoryTreeManager tree;
    tree.AddNode(nullptr, L"a", false)->Select();
    const std::tuple<std::string, const char*, std::function<void()>> writes[] = {
        {"InsertOneTask", "Task", [&] { m.InsertOneTask(task); }},
        {"InsertAppInfo", "AppInfo", [&] { m.InsertAppInfo(apps, 1); }},
        {"UpdateTaskFileStatus", "FileInfo", [&] { m.UpdateTaskFileStatus(outcomes); }},
        {"InsertFileInfo", "FileInfo", [&] { m.InsertFileInfo(tree.GetRootNode(), 1); }}};
    for (const auto& [name, table, write] : writes) {
        ClearLines();
        write();
        LogLines lines{Error(std::string("SQLite error:no such table: Transfer") + table, name)};
        if (name == "InsertFileInfo")
            lines.insert(lines.begin(), Info("Start insert file info.", name));
        EXPECT_EQ(Lines(), lines) << name;
    }
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
        EXPECT_EQ(m.GetMaxTaskID(), i + 1) << "write " << i << " landed";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(fs::exists(wal)) << "closed within a burst, after write " << i;
    }
    // More statements than a connection keeps (the id is part of each text): those it drops
    // must not hold its close back.
    int nums = 0, folders = 0;
    long long size = 0;
    for (int id = 1; id <= 30; ++id) m.QueryTaskCompleteInfoByID(id, nums, size, folders);
    EXPECT_TRUE(WaitForNoLog(MainDbFile())) << "idle: the log and the shared memory are gone";
    EXPECT_LE(OpenHandlesTo(MainDbFile()), 0) << "idle: no handle";  // -1: not told here
    const fs::path moved = DataFolder() / "moved.db";
    ASSERT_TRUE(Renamed(MainDbFile(), moved)) << "idle: the file can be renamed";
    ASSERT_TRUE(Renamed(moved, MainDbFile()));
    m.InsertOneTask(task);
    EXPECT_EQ(m.GetMaxTaskID(), 4) << "the next operation opens the file again";
    EXPECT_TRUE(WaitForNoLog(MainDbFile())) << "idle again: the log is gone";
    EXPECT_TRUE(Renamed(MainDbFile(), moved) && fs::remove(moved)) << "idle again: deletable";
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
    EXPECT_EQ(Count("select max(taskID) from TransferTask"), 6) << "the sink's inserts landed";
    std::lock_guard<std::mutex> lock(linesMutex);
    ASSERT_GE(seen.size(), 4u) << ::testing::PrintToString(seen);
    EXPECT_EQ(seen[0], Info("Start update transfer history", "UpdateTransferHistory"))
        << "in order";
    EXPECT_EQ(seen[3], Info("Finish update transfer history", "UpdateTransferHistory"))
        << "in order";
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
    EXPECT_GE(waited, std::chrono::milliseconds(5010)) << "it waited the busy handler's time";
    EXPECT_LE(waited, std::chrono::milliseconds(50100 + 5000)) << "and no longer";
    EXPECT_TRUE(Logged(Error("SQLite error:database is locked", "InsertOneTask").text))
        << "it says why it failed";
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
    EXPECT_FALSE(fs::exists(MainDbFile().string() + "-wal")) << "the failed connection was closed";
    EXPECT_EQ(Lines(),
              (LogLines{Error("SQLite error:UNIQUE constraint failed: "
                              "TransferSettingInfo.taskID, TransferSettingInfo.settingName",
                              "InsertSettingInfo")}));
    EXPECT_EQ(Count("select count(1) from TransferSettingInfo"), 1) << "the first row landed";
}

// Before a start-up that ran, each operation that tests it logs its own line (some name another
// operation, as support engineers know them), gives its neutral result and touches nothing: not
// the database, not the caller's outputs.
TEST_F(DataBaseManagerTest, BeforeAStartUpRanEachOperationLogsItsOwnLineAndDoesNothing) {
    DataBaseManager& m = Started();
    Exec(
        "insert into TransferTask (taskID, startTime, endTime, transferFileNums, completeNums, "
        "transferSize, completeSize, status, transferAppNums, transferSucAppNums, "
        "transferSettingNums, transferSucSettingNums) values (1, 1, 9, 1, 1, 1, 1, 1, 1, 1, 1, 1);"
        "insert into TransferAppInfo values (1, 'app', 1, 1, ''); insert into TransferSettingInfo "
        "values (1, 'set', 1); insert into TransferBookmarkInfo values (1, 'web');"
        "insert into TransferFileInfo values (1, 'f', 'f', 5, 't', 0)");
    auto everything = [this] {
        std::string rows;
        for (const char* table : {"Task", "AppInfo", "SettingInfo", "BookmarkInfo", "FileInfo"})
            rows += ::testing::PrintToString(Query(std::string("select * from Transfer") + table));
        return rows;
    };
    const std::string before = everything();
    SetInit(false);
    TransferTask task;
    task.taskID = 1;
    char session[16] = {};
    std::vector<SendAppInfo> apps(1);
    std::vector<TransferSettingInfo> settings(1);
    std::vector<std::wstring> names{L"held"};
    std::vector<SendFailedFileInfo> failed{{L"f", L"f", 1}};
    std::vector<TransferFileInfo> outcomes(1, {1, 1, 0, L"f", L"", 0});
    std::list<TransferFileInfo> files(1, outcomes[0]);
    TaskInfoNode tasks[1];
    AppInfoPariNode appNodes[1];
    SettingInfoPariNode settingNodes[1];
    MapFailPariNode failNodes[1];
    Poison(tasks), Poison(appNodes), Poison(settingNodes), Poison(failNodes);
    int nums = -1, folders = -1, missing = 0;
    long long size = -1;
    DirectoryTreeManager tree;
    using Run = std::function<void()>;
    // Each call with the lines it logs: "message(operation)", without " sql is not init" and the
    // operation where it is the call's own; an error marked "!".
#define CALL(call, lines) std::make_tuple(std::string(#call), Run([&] { m.call; }), lines)
    const std::tuple<std::string, Run, const char*> calls[] = {
        CALL(InsertOneTask(task), "!InsertOneTask"),
        CALL(UpdateFileTaskInfo(task), "start UpdateFileTaskInfo !UpdateFileTaskInfo"),
        CALL(UpdateAppTaskInfo(task), "start UpdateAppTaskInfo !UpdateAppTaskInfo"),
        CALL(UpdateSettingTaskInfo(task), "start UpdateSettingTaskInfo !UpdateSettingTaskInfo"),
        CALL(UpdateTaskStatus(task), "start UpdateTaskStatus !UpdateTaskStatus"),
        CALL(UpdateTaskStatusById(1, 7), "start UpdateTaskStatusById !UpdateAppTaskInfo"),
        CALL(UpdateTaskSessionById(1, session),
             "start UpdateTaskSessionById !UpdateTaskSessionById"),
        CALL(UpdateTaskCompleteInfoById(1, 7, 7, 7), "!UpdateTaskCompleteNumsById"),
        CALL(GetLastUnCompleteTask(task), "!GetLastUnCompleteTask"),
        CALL(GetAllTaskInfo(tasks, 1), "!GetAllTaskInfo"),
        CALL(GetMigrationConsumerTime(), "!GetMigrationConsumerTime"),
        CALL(QueryTaskCompleteInfoByID(1, nums, size, folders), "!QueryTaskCompleteInfoByID"),
        CALL(GetMaxTaskID(), "!GetMaxTaskID"),
        CALL(GetTransferHistoryNum(), ""),
        CALL(UpdateTransferHistory(), ""),
        CALL(InsertAppInfo(apps, 1), "!InsertAppInfo"),
        CALL(UpdateTaskAPPStatus(apps[0], 1), "!UpdateTaskAPPStatus"),
        CALL(QueryAppNumByID(1), "!QueryAppNumByID(QueryCountById)"),
        CALL(QueryAppInfoByID(appNodes, 1, 1), "!QueryAppInfoByID"),
        CALL(QueryAllAppNameByID(names, 1), "!QueryAllAppNameByID"),
        CALL(InsertSettingInfo(settings, 1), "!InsertSettingInfo"),
        CALL(UpdateSettingInfo(settings[0], 1), "!UpdateAppTaskInfo"),
        CALL(QuerySettingNumByID(1), "!QueryAppNumByID(QueryCountById)"),
        CALL(QuerySettingInfoByID(settingNodes, 1, 1), "!QueryAppInfoByID"),
        CALL(GetTaskSettingInfo(1, names), "!GetTaskSettingInfo"),
        CALL(InsertBookmarkInfo(names, 1), "!InsertBookmarkInfo"),
        CALL(GetTaskBookmarkInfo(1, names), "!GetTaskBookmarkInfo"),
        CALL(UpdateFailFileInfo(failed, 1), ""),
        CALL(UpdateTaskFileStatus(outcomes[0]), "!UpdateTaskFileStatus"),
        CALL(UpdateTaskFileStatus(outcomes), "!UpdateTaskFileStatus"),
        CALL(QueryFailNumByID(1), "!QueryAppNumByID(QueryCountById)"),
        CALL(QueryFailFileInfoByID(failNodes, 1, 1), "!QueryFailFileInfoByID"),
        CALL(GetTaskFileInfo(1, files), "!GetTaskFileInfo"),
        CALL(RecoveryDirTreeByID(failed, tree, missing), "!RecoveryDirTreeByID")};
#undef CALL
    for (const auto& [call, run, lines] : calls) {
        ClearLines();
        run();
        const std::string name = call.substr(0, call.find('('));
        std::string seen;
        for (const LogEntry& line : Lines())
            seen += (line.level == LOG_LEVEL_ERROR ? " !" : " ") + Narrow(line.text);
        const std::regex shown(R"( sql is not init|\[DATABASE\]|\(DataBaseManager::)" + name +
                               R"(\)|DataBaseManager::)");
        seen = std::regex_replace(seen, shown, "");
        EXPECT_EQ(seen.substr(seen.empty() ? 0 : 1), lines) << call;
    }
    ExpectEach<long long>({{"GetAllTaskInfo", m.GetAllTaskInfo(tasks, 1), 0},
                           {"GetMigrationConsumerTime", m.GetMigrationConsumerTime(), 0},
                           {"GetMaxTaskID", m.GetMaxTaskID(), 0},
                           {"GetTransferHistoryNum", m.GetTransferHistoryNum(), 0},
                           {"the counts", m.QueryAppNumByID(1) + m.QueryFailNumByID(1), 0},
                           {"QueryTaskCompleteInfoByID", nums + size + folders, -3},
                           {"RecoveryDirTreeByID's missing count", missing, 0}});
    EXPECT_EQ(everything(), before) << "a write changed the database";
    EXPECT_EQ(names, std::vector<std::wstring>{L"held"}) << "the caller's names";
    EXPECT_EQ(files.size(), 1u) << "the caller's file list";
    EXPECT_EQ(task.startTime, 0) << "the caller's task";
    EXPECT_TRUE(Untouched(tasks[0]) && Untouched(appNodes[0]) && Untouched(settingNodes[0]) &&
                Untouched(failNodes[0]))
        << "the caller's records";
    EXPECT_TRUE(tree.GetRootNode()->children.empty()) << "the resume's tree";
    // The history's cleaning does not ask: it cleans all the same.
    EXPECT_TRUE(m.CleanTransferHistory());
    EXPECT_EQ(Count("select count(1) from TransferTask"), 0) << "cleaned before a start-up ran";
}

// Load: eight threads in each of two processes run every write, each on a task of its own (a tree
// of 10,054 files recorded once), and every query, on one migration database and cache at once. One
// thread first ran the same rounds alone on a database of its own: after each round the queries on
// a worker's task read back what the lone thread read, and at the end each task's rows are its. No
// call meets a locked database: every writer waits for the lock.
#include <numeric>

#include "ReliabilitySupport.h"

namespace fs = std::filesystem;
using namespace Reliability;

namespace {
constexpr int kThreads = 8, kTasks = 2 * kThreads;
constexpr int kRounds = 3;  // of 21 writes and 19 queries; ThreadSanitizer runs these too

// A round: every write but the pruning, which is not promised while others write (the tree in
// the first round only), then every query; what the queries on the task read.
Items Round(int taskId, int round, DirTreeNode* tree) {
    std::vector<Write> writes = Writes(taskId, round, round == 0 ? tree : nullptr);
    for (size_t i = 0; i + 2 < writes.size(); ++i) writes[i].run();
    return ReadAll(taskId, false);
}

// How many tasks and cache rows there are for each of `tasks`, then a task's rows in every table
// without its id.
std::vector<Rows> Stored(const fs::path& data, int taskId, int tasks) {
    TestDb db(data / "corvanel.db"), cache(data / "db_cache" / "doc_Cache.db");
    const std::string per = "select count(*) / " + std::to_string(tasks) + ".0 from ";
    std::vector<Rows> tables{db.Query(per + "TransferTask"),
                             cache.Query(per + "normal_file union all " + per +
                                         "small_file union all " + per + "empty_file")};
    for (const char* table : {"TransferTask", "TransferFileInfo", "TransferAppInfo",
                              "TransferSettingInfo", "TransferBookmarkInfo"}) {
        tables.push_back(db.Query(std::string("select * from ") + table +
                                  " where taskID = " + std::to_string(taskId)));
        for (auto& row : tables.back()) row.erase(row.begin());
    }
    return tables;
}

class LoadPosixTest : public DataBaseManagerTest {};

TEST_F(LoadPosixTest, TwoProcessesOfEightThreadsLoseNoWriteAndReadBackTheirOwn) {
    DirectoryTreeManager tree;
    AddSelection(tree, 50, 201);  // 10,054 files: a full batch of 10,001 rows, then the rest
    TransferTask task;
    const fs::path aloneFolder = AppDataFolder() / "alone";
    ::setenv("PROGRAMDATA", aloneFolder.c_str(), 1);
    Manager().InsertOneTask(task);
    Manager().CreateDocCacheDb();
    std::vector<Items> alone;
    for (int round = 0; round < kRounds; ++round)
        alone.push_back(Round(1, round, tree.GetRootNode()));
    CloseIdleConnections();
    // This process's workers on their threads: where they read otherwise than the lone thread,
    // and the error lines.
    auto runWorkers = [&](int process) {
        std::string problems[kThreads];
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    bool same = Round(process * kThreads + t + 1, round, tree.GetRootNode()) ==
                                alone[round];
                    problems[t] +=
                        same ? "" : "read otherwise in round " + std::to_string(round) + "\n";
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        return std::accumulate(problems, problems + kThreads, ErrorLines(Lines()));
    };

    // The shared folder: its start-up and tasks, then a second process, which starts up again
    // while this one works.
    ::setenv("PROGRAMDATA", AppDataFolder().c_str(), 1);
    SetInit(false);
    Manager().InitInstance();
    for (int i = 0; i < kTasks; ++i) Manager().InsertOneTask(task);
    Manager().CreateDocCacheDb();
    Child child([&](int) {
        ClearLines();
        SetInit(false);
        Manager().InitInstance();
        return runWorkers(1);
    });
    std::string problems = runWorkers(0) + child.ReadAll();
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(problems.substr(0, 4000), "");  // "database is locked" among them

    // Every write is in the files: each task's rows are the lone thread's, and there are as many
    // tasks and cache rows as it made, for each task.
    CloseIdleConnections();
    const std::vector<Rows> expected = Stored(aloneFolder / "Voded" / "Corvanel", 1, 1);
    const char* const tables[] = {
        "tasks",           "cache rows",          "TransferTask",        "TransferFileInfo",
        "TransferAppInfo", "TransferSettingInfo", "TransferBookmarkInfo"};
    for (int task = 1; task <= kTasks; ++task) {
        const std::vector<Rows> stored = Stored(DataFolder(), task, kTasks);
        for (size_t i = 0; i < stored.size(); ++i)
            EXPECT_TRUE(stored[i] == expected[i]) << "task " << task << ": " << tables[i];
    }
    EXPECT_EQ(Scalar("pragma integrity_check"), "ok") << "the migration database";
    EXPECT_EQ(TestDb(CacheDbFile()).Scalar("pragma integrity_check"), "ok") << "the cache";
}

// A service and a desktop application may start together on a machine without a database: every
// process starts up without an error line, and the file is the one a single start-up makes.
TEST_F(LoadPosixTest, ProcessesStartingTogetherOnAFreshFolderStartUpCleanly) {
    TransferTask task;
    for (int round = 0; round < 4; ++round) {
        const fs::path folder = AppDataFolder() / std::to_string(round);
        fs::create_directories(folder);
        ::setenv("PROGRAMDATA", folder.c_str(), 1);
        auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        std::vector<std::unique_ptr<Child>> starters;
        for (int i = 0; i < 4; ++i) {
            starters.push_back(std::make_unique<Child>([&](int) {
                std::this_thread::sleep_until(at);
                Manager().InsertOneTask(task);
                return ErrorLines(Lines()) + (IsInit() ? "" : "not initialised\n");
            }));
        }
        for (auto& starter : starters) {
            EXPECT_EQ(starter->ReadAll() + std::to_string(starter->Wait()), "0")
                << "a start-up's error lines, then its exit status";
        }
        TestDb main(folder / "Voded" / "Corvanel" / "corvanel.db");
        ExpectEach<std::string>(
            {{"write-ahead logging", main.Scalar("pragma journal_mode"), "wal"},
             {"auto-vacuum", main.Scalar("pragma auto_vacuum"), "1"},
             {"the five tables, fileIndex and two of SQLite's own",
              main.Scalar("select count(*) from sqlite_master"), "8"},
             {"each process's task", main.Scalar("select count(*) from TransferTask"), "4"}});
    }
}
}  // namespace

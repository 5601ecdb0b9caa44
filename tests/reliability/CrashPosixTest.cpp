// Crashes: a child that starts the library up, then records a tree of 20,005 files and a batch of
// 2,000 failed files over and over, is killed with SIGKILL at a random moment, 32 times (the
// cache's bulk inserts commit their batches as the recording does). After every kill the database
// passes the integrity check, every write the child saw return is wholly in it (synchronous=NORMAL
// in WAL mode: a commit is in the log before the call returns, and only a power cut could lose it),
// and the write it was in left whole batches of 10,001 rows and nothing else.
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>

#include "ReliabilitySupport.h"

using namespace Reliability;
using namespace std::chrono;

namespace {
// clang-format off
enum Step : int { kStartUp, kRecord, kFail };
// A report of the child, written in one piece (below PIPE_BUF): a kill never cuts one. The id is
// a recording's task or a batch's error code.
struct Event { int step, done; long long id; };
// clang-format on
class CrashPosixTest : public DataBaseManagerTest {};

TEST_F(CrashPosixTest, KilledProcessesLoseNoReturnedWriteAndLeaveWholeBatches) {
    const char* seedText = std::getenv("DATABASE_CRASH_SEED");
    const unsigned seed = seedText ? std::strtoul(seedText, nullptr, 10) : std::random_device()();
    std::printf("crash seed %u (DATABASE_CRASH_SEED=%u repeats the run)\n", seed, seed);
    std::mt19937 rng(seed);
    DirectoryTreeManager tree;
    std::vector<DirTreeNode*> leaves = AddSelection(tree, 3, 6667);  // 20,005: 2 batches and 3
    std::vector<SendFailedFileInfo> failures;
    for (int i = 0; i < 2000; ++i) failures.push_back({L"", leaves[i]->sendFilePath, 0});
    auto run = [&](int step, long long id) {  // task 1's files take every failure batch
        for (SendFailedFileInfo& failure : failures) failure.errCode = static_cast<int>(id);
        if (step == kStartUp) SetInit(false), Manager().InitInstance();
        if (step == kRecord) Manager().InsertFileInfo(tree.GetRootNode(), static_cast<int>(id));
        if (step == kFail) Manager().UpdateFailFileInfo(failures, 1);
    };
    // The library makes the file and records task 1, timing each step. A kill comes within the
    // time a step took, twice that for a bulk write, whose table will be fuller.
    long long span[3] = {}, failErr = 0;  // microseconds; the error code task 1's failures carry
    for (int step : {kStartUp, kRecord, kFail}) {
        auto start = steady_clock::now();
        run(step, step == kFail ? 0 : 1);
        span[step] =
            (step ? 2 : 1) * duration_cast<microseconds>(steady_clock::now() - start).count();
    }
    CloseIdleConnections();

    int partial = 0, returned = 0;
    for (int round = 1; round <= 32; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int target = round % 3;  // the start-up, then each writer in turn
        // The start-up, then the writers in turn, each under an id of its own, reporting each
        // start and end.
        Child child([&](int report) -> std::string {
            for (int step = kStartUp, id = 1000 * round;;
                 ++id, step = step == kRecord ? kFail : kRecord) {
                Event event{step, 0, id};
                if (::write(report, &event, sizeof event) != sizeof event) ::_exit(2);
                run(step, id);
                event.done = 1;
                if (::write(report, &event, sizeof event) != sizeof event) ::_exit(2);
            }
        });
        std::map<int, std::set<long long>> started, done;
        Event e{-1, 0, 0};
        auto note = [&] { (e.done ? done : started)[e.step].insert(e.id); };
        while ((e.done || e.step != target) && child.Read(&e, sizeof e)) note();
        ASSERT_TRUE(!e.done && e.step == target) << "the child ended before it was killed";
        std::this_thread::sleep_for(
            microseconds(std::uniform_int_distribution<long long>(0, span[target])(rng)));
        int status = child.Wait(true);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        while (child.Read(&e, sizeof e)) note();
        returned += done[kRecord].size() + done[kFail].size();

        // The child is dead: its file can be read with the tests' own SQLite. Recordings of tasks
        // it started only, whole or whole batches, and whole where it saw the call return.
        TestDb main(MainDbFile());
        ASSERT_EQ(main.Scalar("pragma integrity_check"), "ok");
        std::set<long long> seen;
        for (const auto& row : main.Query("select taskID, count(*) from TransferFileInfo where "
                                          "taskID != 1 group by 1")) {
            long long id = std::stoll(row[0]), rows = std::stoll(row[1]);
            seen.insert(id);
            EXPECT_TRUE(started[kRecord].count(id) &&
                        (rows == 20005 || (!done[kRecord].count(id) && rows % 10001 == 0)))
                << "task " << id << " left " << rows << " rows";
            partial += rows != 20005;
        }
        for (long long id : done[kRecord]) EXPECT_TRUE(seen.count(id)) << "task " << id << " lost";
        // A failure batch is one transaction: every failure of task 1 carries the last batch
        // that returned, or a later one that the child started.
        if (!done[kFail].empty()) failErr = *done[kFail].rbegin();
        Rows fails = main.Query(
            "select count(*), count(distinct errCode), max(errCode) from "
            "TransferFileInfo where taskID = 1 and status = 0");
        long long now = std::stoll(fails[0][2]);
        EXPECT_EQ(fails[0][0], "2000") << "every file of the batch is marked failed";
        EXPECT_EQ(fails[0][1], "1") << "all by one batch";
        EXPECT_TRUE(now == failErr || (now > failErr && started[kFail].count(now))) << now;
        failErr = now;
        EXPECT_EQ(main.Count("select count(*) from TransferFileInfo where taskID = 1"), 20005)
            << "task 1's recording stays whole";
        main.Exec(
            "delete from TransferFileInfo where taskID != 1; pragma wal_checkpoint(truncate)");
        if (HasFatalFailure()) return;
    }
    std::printf(
        "crash: 32 kills, %d writes returned and none lost, %d interrupted recordings kept "
        "whole batches only; seed %u\n",
        returned, partial, seed);
}
}  // namespace

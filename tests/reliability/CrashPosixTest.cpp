// Crashes: a child process that records a large tree, a batch of failed files and document-cache
// rows over and over is killed with SIGKILL at a random moment, again and again. After every kill
// both files pass the integrity check, every operation that the child finished is wholly in them
// (synchronous=OFF loses nothing when only the process dies), the operation it was in left whole
// batches of 10,001 rows and nothing else, and the next start-up and every operation work.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "SelectedTree.h"
#include "TestSupport.h"

namespace {
constexpr int kKills = 32;
constexpr int kBatch = 10001;  // rows per intermediate commit of a bulk write
// 5 folders of 4,001 files: two full batches and 3 rows more.
constexpr int kFolders = 5;
constexpr int kFilesPerFolder = 4001;
constexpr int kLeaves = kFolders * kFilesPerFolder;
constexpr int kCacheRecords = 12000;  // one full batch and 1,999 rows more
constexpr int kFailRows = 2000;       // one transaction
constexpr int kBaseTask = 1;          // its files take every failure batch

// What the child does, in the order it repeats them; start-up comes once.
enum Op : int { kStartUp, kInsertFileInfo, kUpdateFailFileInfo, kInsertFilesToCacheDb, kOps };
const char* const kOpNames[kOps] = {"start-up", "InsertFileInfo", "UpdateFailFileInfo",
                                    "InsertFilesToCacheDb"};
enum Phase : int { kStarted, kDone, kMicroseconds };

// One report of the child, written in one piece (below PIPE_BUF) so that a kill never cuts one.
struct Event {
    int op;
    int phase;
    long long value;  // the operation's id (task, batch, cache call), or a duration
};

unsigned CrashSeed() {
    if (const char* seed = std::getenv("DATABASE_CRASH_SEED")) {
        return static_cast<unsigned>(std::strtoul(seed, nullptr, 10));
    }
    return std::random_device()();
}

// Kills and reaps the child if a failed assertion leaves it running.
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid) : pid(pid) {}
    ~ChildGuard() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    // Kills the child now; its wait status.
    int Kill() {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

private:
    pid_t pid;
};

// Reads the child's next report; false at the end of its reports or after a minute of silence.
bool NextEvent(int fd, Event& event) {
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, 60000) != 1) return false;
    return ::read(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

class CrashPosixTest : public DataBaseManagerTest {
protected:
    CrashPosixTest() {
        leaves = AddSelectedFiles(tree, kFolders, kFilesPerFolder);
        for (int i = 0; i < kFailRows; ++i) {
            failures.push_back({leaves[i]->fileName, leaves[i]->sendFilePath, 0});
        }
        for (int i = 0; i < kCacheRecords; ++i) {
            cache.push_back({L"shot/" + leaves[i]->fileName, L"", 0, leaves[i]->sendFilePath, 0});
        }
    }

    // The child's work: reports every start and finish, and never returns. `first` is the
    // operation it begins with; ids of round r start at 1000 + 100 r, so none repeats.
    [[noreturn]] void RunChild(int report, int round, int first, bool timed) {
        ::alarm(120);  // never outlives a parent that stopped waiting
        auto send = [report](int op, int phase, long long value) {
            Event event{op, phase, value};
            if (::write(report, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
                ::_exit(2);
            }
        };
        auto run = [&](int op, long long id, auto&& call) {
            send(op, kStarted, id);
            auto start = std::chrono::steady_clock::now();
            call();
            auto took = std::chrono::steady_clock::now() - start;
            send(op, kDone, id);
            if (timed) {
                send(op, kMicroseconds,
                     std::chrono::duration_cast<std::chrono::microseconds>(took).count());
            }
        };
        run(kStartUp, 0, [] { Manager(); });
        if (timed) Manager().CreateDocCacheDb();
        long long id = 1000 + 100LL * round;
        for (int op = first;; op = op % (kOps - 1) + 1, ++id) {
            switch (op) {
                case kInsertFileInfo:
                    // The first child's first recording becomes the base task.
                    run(op, id, [&] {
                        Manager().InsertFileInfo(tree.GetRootNode(),
                                                 timed && id == 1000 ? kBaseTask : int(id));
                    });
                    break;
                case kUpdateFailFileInfo:
                    for (SendFailedFileInfo& failure : failures) failure.errCode = int(id);
                    run(op, id, [&] { Manager().UpdateFailFileInfo(failures, kBaseTask); });
                    break;
                case kInsertFilesToCacheDb:
                    for (CacheNode& node : cache) node.filesize = id;
                    run(op, id, [&] { Manager().InsertFilesToCacheDb(cache, false); });
                    break;
            }
            // Timed twice: the second time finds the tables filled, as the kills will.
            if (timed && id == 1000 + 2 * (kOps - 1) - 1) ::_exit(0);
        }
    }

    pid_t Fork(int round, int first, bool timed, int& report) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return -1;
        pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeFds[0]);
            RunChild(pipeFds[1], round, first, timed);
        }
        ::close(pipeFds[1]);
        report = pipeFds[0];
        return child;
    }

    // Rows per id of one bulk write: every id is one the child started, and holds whole
    // batches only; those it finished hold every row.
    static void ExpectWholeBatches(const Rows& counts, const std::set<long long>& started,
                                   const std::set<long long>& done, long long all, const char* what,
                                   std::map<long long, int>& partial) {
        std::set<long long> seen;
        for (const auto& row : counts) {
            long long id = std::stoll(row[0]), rows = std::stoll(row[1]);
            seen.insert(id);
            EXPECT_TRUE(started.count(id)) << what << " rows of an id never started: " << id;
            if (done.count(id)) {
                EXPECT_EQ(rows, all) << what << " " << id << " finished but lost rows";
            } else {
                EXPECT_TRUE(rows == all || (rows % kBatch == 0 && rows < all))
                    << what << " " << id << " left " << rows << " rows";
                if (rows != all) ++partial[rows];
            }
        }
        for (long long id : done) EXPECT_TRUE(seen.count(id)) << what << " " << id << " lost";
    }

    DirectoryTreeManager tree;
    std::vector<DirTreeNode*> leaves;
    std::vector<SendFailedFileInfo> failures;
    std::vector<CacheNode> cache;
};

TEST_F(CrashPosixTest, KilledWritersLoseNoCommitAndLeaveWholeBatches) {
    const unsigned seed = CrashSeed();
    std::printf("crash seed %u (DATABASE_CRASH_SEED=%u repeats this run)\n", seed, seed);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 rng(seed);

    // A first child, not killed, makes the files, records the base task and times each step.
    long long took[kOps] = {};
    long long failErr = 0;  // the failure batch that the base task's rows hold
    {
        int report = -1;
        pid_t pid = Fork(0, kInsertFileInfo, true, report);
        ASSERT_GT(pid, 0);
        ChildGuard child(pid);
        for (Event event; NextEvent(report, event);) {
            if (event.phase == kMicroseconds) took[event.op] = event.value;
            if (event.op == kUpdateFailFileInfo && event.phase == kDone) failErr = event.value;
        }
        ::close(report);
        int status = child.Wait();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        Exec("delete from TransferFileInfo where taskID != 1");
        ASSERT_EQ(Count("select count(*) from TransferFileInfo where taskID = 1"), kLeaves);
        ASSERT_EQ(Count("select count(*) from TransferFileInfo where status = 0"), kFailRows);
        TestDb cacheDb(CacheDbFile());
        ASSERT_EQ(cacheDb.Count("select count(*) from normal_file"), 2 * kCacheRecords);
        cacheDb.Exec("delete from normal_file");
    }

    int killedIn[kOps] = {}, partialKinds = 0;
    std::map<long long, int> partial;  // rows left by an interrupted bulk write -> times
    for (int round = 1; round <= kKills; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int target = round % kOps;  // start-up, then each writer in turn
        const int first = target == kStartUp ? kInsertFileInfo : target;
        // Within the time the step took once, twice that for a bulk write (which runs longer
        // than it did on a fresh file); a later kill lands in the next step.
        long long span = std::max(1LL, (target == kStartUp ? 1 : 2) * took[target]);
        auto delay =
            std::chrono::microseconds(std::uniform_int_distribution<long long>(0, span)(rng));

        int report = -1;
        pid_t pid = Fork(round, first, false, report);
        ASSERT_GT(pid, 0);
        ChildGuard child(pid);
        std::map<int, std::set<long long>> started, done;
        int current = -1;  // the operation in progress
        auto note = [&](const Event& event) {
            (event.phase == kStarted ? started : done)[event.op].insert(event.value);
            current = event.phase == kStarted ? event.op : -1;
        };
        Event event{};
        while (NextEvent(report, event)) {
            note(event);
            if (event.op == target && event.phase == kStarted) break;
        }
        ASSERT_EQ(current, target) << "the child ended before it was killed";
        std::this_thread::sleep_for(delay);
        int status = child.Kill();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        while (NextEvent(report, event)) note(event);
        ::close(report);
        if (current >= 0) ++killedIn[current];

        // The child is dead: its files can be read with the tests' own SQLite.
        {
            TestDb main(MainDbFile());
            ASSERT_EQ(main.Scalar("pragma integrity_check"), "ok");
            ExpectWholeBatches(main.Query("select taskID, count(*) from TransferFileInfo where "
                                          "taskID != 1 group by taskID"),
                               started[kInsertFileInfo], done[kInsertFileInfo], kLeaves,
                               "InsertFileInfo", partial);
            // A failure batch is one transaction: all of the base task's failures carry the
            // latest finished batch, or the one in progress.
            const std::set<long long>& batches = started[kUpdateFailFileInfo];
            long long committed =
                done[kUpdateFailFileInfo].empty() ? failErr : *done[kUpdateFailFileInfo].rbegin();
            Rows fails = main.Query(
                "select count(*), count(distinct errCode), max(errCode) from TransferFileInfo "
                "where taskID = 1 and status = 0");
            ASSERT_EQ(fails[0][0], std::to_string(kFailRows));
            ASSERT_EQ(fails[0][1], "1");
            long long now = std::stoll(fails[0][2]);
            EXPECT_TRUE(now == committed || (now > committed && batches.count(now)))
                << "the failures carry batch " << now << ", the last finished was " << committed;
            failErr = now;
            EXPECT_EQ(main.Count("select count(*) from TransferFileInfo where taskID = 1"),
                      kLeaves);
            // Room for the next round.
            main.Exec("delete from TransferFileInfo where taskID != 1");
            main.Exec("pragma wal_checkpoint(truncate)");
        }
        {
            TestDb cacheDb(CacheDbFile());
            ASSERT_EQ(cacheDb.Scalar("pragma integrity_check"), "ok");
            ExpectWholeBatches(cacheDb.Query("select filesize, count(*) from normal_file where "
                                             "filesize >= 1000 group by filesize"),
                               started[kInsertFilesToCacheDb], done[kInsertFilesToCacheDb],
                               kCacheRecords, "InsertFilesToCacheDb", partial);
            cacheDb.Exec("delete from normal_file");
            cacheDb.Exec("pragma wal_checkpoint(truncate)");
        }
        if (HasFatalFailure()) return;
    }
    for (const auto& entry : partial) partialKinds += entry.second;

    // The next start-up, and every kind of operation, on the files the kills left.
    ClearLines();
    ASSERT_TRUE(IsInit());
    TransferTask task;
    task.newPCModel = L"after the crashes";
    Manager().InsertOneTask(task);
    ASSERT_EQ(Manager().GetMaxTaskID(), kBaseTask);  // the base task's files are the newest task's

    DirectoryTreeManager fresh;
    for (DirTreeNode* leaf : leaves) {
        fresh.AddNode(fresh.AddNode(nullptr, leaf->parent->fileName, true), leaf->fileName, false);
    }
    std::vector<SendFailedFileInfo> failed;
    int missing = 0;
    Manager().RecoveryDirTreeByID(failed, fresh, missing);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(failed.size(), static_cast<size_t>(kFailRows));
    int selected = 0;
    for (DirTreeNode* leaf : leaves) {
        DirTreeNode* node = fresh.FindNodeByPath(leaf->sendFilePath);
        selected += node->selectState != 0 && node->targetPath == leaf->targetPath;
    }
    EXPECT_EQ(selected, kLeaves);

    std::vector<SendFailedFileInfo> more{{L"f0", leaves.back()->sendFilePath, 7}};
    Manager().UpdateFailFileInfo(more, kBaseTask);
    EXPECT_EQ(Manager().QueryFailNumByID(kBaseTask), kFailRows + 1);
    Manager().InsertFileInfo(tree.GetRootNode(), 2);
    std::vector<SendAppInfo> apps{{L"app", 1, 2, L"icon"}};
    Manager().InsertAppInfo(apps, kBaseTask);
    EXPECT_EQ(Manager().QueryAppNumByID(kBaseTask), 1);
    Manager().UpdateTaskStatusById(kBaseTask, 5);
    TaskInfoNode nodes[3];
    ASSERT_EQ(Manager().GetAllTaskInfo(nodes, 3), 1);
    EXPECT_EQ(nodes[0].status, 5);
    std::vector<CacheNode> shots(cache.begin(), cache.begin() + 10);
    Manager().InsertFilesToCacheDb(shots, false);
    DirectoryTreeManager resumed;
    DirTreeNode* shot = resumed.AddNode(resumed.AddNode(nullptr, L"d0", true), L"f0", false);
    Manager().RecoveryDirTreeByCacheDb(resumed, false);
    EXPECT_NE(shot->selectState, 0);
    for (const LogEntry& line : Lines()) EXPECT_NE(line.level, LOG_LEVEL_ERROR) << line.text;
    EXPECT_EQ(Count("select count(*) from TransferFileInfo where taskID = 2"), kLeaves);
    EXPECT_EQ(Scalar("pragma integrity_check"), "ok");

    std::printf(
        "crash: %d kills survived (in start-up %d, InsertFileInfo %d, UpdateFailFileInfo %d, "
        "InsertFilesToCacheDb %d, between operations %d); %d bulk writes left whole batches "
        "only",
        kKills, killedIn[kStartUp], killedIn[kInsertFileInfo], killedIn[kUpdateFailFileInfo],
        killedIn[kInsertFilesToCacheDb],
        kKills - killedIn[0] - killedIn[1] - killedIn[2] - killedIn[3], partialKinds);
    for (const auto& [rows, times] : partial) std::printf(", %d x %lld rows", times, rows);
    std::printf("; seed %u\n", seed);
}
}  // namespace

// Load: eight threads in each of two processes drive the task writes, the item inserts and
// updates, failure batches, the recording of a large tree, the document cache and every query on
// one migration database at once. Each worker owns one task: after each of its writes, the
// queries it makes read back exactly what it wrote, and afterwards every write is in the files.
// No operation may meet a locked database: every writer waits for the lock.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "SelectedTree.h"
#include "TestSupport.h"

namespace {
constexpr int kProcesses = 2;
constexpr int kThreads = 8;
constexpr int kWorkers = kProcesses * kThreads;
#if defined(__SANITIZE_THREAD__)
constexpr int kSteps = 40;  // each worker's calls; ThreadSanitizer runs them far slower
#else
constexpr int kSteps = 120;
#endif
// 50 folders of 201 files: 10,050 leaves, so that every recording commits a full batch of
// 10,001 rows and then the rest.
constexpr int kFolders = 50;
constexpr int kFilesPerFolder = 201;
constexpr int kLeaves = kFolders * kFilesPerFolder;
constexpr int kFailBatch = 25;
constexpr int kCacheRows = 4;
constexpr unsigned kSeed = 20240607;  // the plans are fixed: the parent recomputes the child's

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Hex(const char (&bytes)[16]) {
    std::string hex = "x'";
    char digits[3];
    for (char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(byte));
        hex += digits;
    }
    return hex + "'";
}

// The tree every worker records; built alike in both processes, read by every thread.
class LoadTree {
public:
    LoadTree()
        : leaves(AddSelectedFiles(tree, kFolders, kFilesPerFolder)), root(tree.GetRootNode()) {}
    DirTreeNode* Root() const { return root; }
    const DirTreeNode& Leaf(int index) const { return *leaves[index]; }

private:
    DirectoryTreeManager tree;
    std::vector<DirTreeNode*> leaves;
    DirTreeNode* root = nullptr;
};

struct FileOutcome {
    int status;
    int errCode;
    bool operator==(const FileOutcome& other) const {
        return status == other.status && errCode == other.errCode;
    }
};

// What a worker's writes leave in the database.
struct Expected {
    TransferTask task;                  // the worker's own task row
    std::vector<std::string> newTasks;  // newPCModel of each task it inserted
    std::map<std::wstring, SendAppInfo> apps;
    std::map<std::wstring, int> settings;  // name -> resultType
    std::multiset<std::wstring> browsers;
    bool filesRecorded = false;
    std::map<std::wstring, FileOutcome> files;  // path -> outcome, for the files that got one
    int cacheRows[2] = {0, 0};                  // normal_file, small_file

    std::set<std::pair<std::wstring, int>> Failures() const {
        std::set<std::pair<std::wstring, int>> failures;
        for (const auto& [path, outcome] : files) {
            if (outcome.status == 0) failures.insert({path, outcome.errCode});
        }
        return failures;
    }
};

TransferTask OwnedTask(int worker) {
    TransferTask task;
    task.taskID = worker + 1;
    task.startTime = 1700000000 + worker;
    task.endTime = task.startTime;
    task.transferFileNums = kLeaves;
    task.transferSize = 1LL << 40;
    task.macAddr = "00:00:00:00:00:" + std::to_string(worker);
    for (int i = 0; i < 16; ++i) task.session[i] = static_cast<char>(worker * 16 + i);
    task.newPCType = worker;
    task.newPCModel = L"owned-" + std::to_wstring(worker);
    return task;
}

template <class Key, class Value>
std::vector<Key> Keys(const std::map<Key, Value>& map) {
    std::vector<Key> keys;
    for (const auto& entry : map) keys.push_back(entry.first);
    return keys;
}

// One worker: a fixed plan of calls, drawn from its own seeded generator. With a manager it makes
// the calls and checks what its queries read; without one it only works out what the calls leave
// behind, so that the parent knows what the child's workers wrote.
class Worker {
public:
    Worker(int id, const LoadTree& tree, DataBaseManager* manager)
        : id(id), taskId(id + 1), tree(tree), manager(manager), rng(kSeed + id) {
        recordStep = Draw(kSteps / 3);
        expected.task = OwnedTask(id);
    }

    void Run() {
        for (step = 0; step < kSteps; ++step) Step();
    }
    const Expected& Result() const { return expected; }
    const std::vector<std::string>& Problems() const { return problems; }

private:
    static constexpr int kWriteKinds = 15;
    static constexpr int kQueryKinds = 18;

    int Draw(int bound) { return static_cast<int>(rng() % static_cast<unsigned>(bound)); }
    std::string Name(const char* what) const {
        return what + std::string("-w") + std::to_string(id) + "-s" + std::to_string(step);
    }

    void Step() {
        if (step == recordStep) {
            expected.filesRecorded = true;
            if (manager != nullptr) manager->InsertFileInfo(tree.Root(), taskId);
            return;
        }
        // 60 % writes, 40 % queries.
        int draw = Draw(25);
        if (draw < kWriteKinds) {
            Write(draw);
        } else {
            Query(Draw(kQueryKinds));
        }
    }

    void Write(int kind) {
        TransferTask& task = expected.task;
        int value = Draw(1000);
        switch (kind) {
            case 0: {
                std::string model = Name("load");
                expected.newTasks.push_back(model);
                if (manager == nullptr) break;
                if (value % 2 == 0) {
                    char session[16] = {1, 0, 2, 0};
                    manager->InsertOneTask(kLeaves, session, 3, 1, model);
                } else {
                    TransferTask added = OwnedTask(id);
                    added.taskID = 0;
                    added.newPCModel = Wide(model);
                    manager->InsertOneTask(added);
                }
                break;
            }
            case 1:
                task.completeNums = value;
                task.completeSize = value * 4096LL;
                task.endTime = task.startTime + step;
                task.fileStatus = value % 5;
                task.completeEmptyFolderNum = value % 7;
                if (manager != nullptr) manager->UpdateFileTaskInfo(task);
                break;
            case 2:
                task.endTime = task.startTime + step;
                task.transferAppNums = value;
                task.transferSucAppNums = value / 2;
                task.appStatus = value % 3;
                if (manager != nullptr) manager->UpdateAppTaskInfo(task);
                break;
            case 3:
                task.endTime = task.startTime + step;
                task.transferSettingNums = value;
                task.transferSucSettingNums = value / 3;
                task.settingStatus = value % 4;
                if (manager != nullptr) manager->UpdateSettingTaskInfo(task);
                break;
            case 4:
                task.status = value;
                if (manager == nullptr) break;
                if (value % 2 == 0) {
                    manager->UpdateTaskStatus(task);
                } else {
                    manager->UpdateTaskStatusById(taskId, value);
                }
                break;
            case 5:
                for (char& byte : task.session)
                    byte = static_cast<char>(Draw(4) == 0 ? 0 : Draw(256));
                if (manager != nullptr) manager->UpdateTaskSessionById(taskId, task.session);
                break;
            case 6:
                task.completeNums = value;
                task.completeSize = value * 1000003LL;
                task.completeEmptyFolderNum = -value;
                if (manager != nullptr) {
                    manager->UpdateTaskCompleteInfoById(
                        taskId, task.completeNums, task.completeSize, task.completeEmptyFolderNum);
                }
                break;
            case 7: {
                std::vector<SendAppInfo> apps;
                for (int k = 0; k < 3; ++k) {
                    SendAppInfo app{Wide(Name("app") + "-" + std::to_string(k)), value + k,
                                    value - k, Wide(Name("icon"))};
                    expected.apps[app.appName] = app;
                    apps.push_back(app);
                }
                if (manager != nullptr) manager->InsertAppInfo(apps, taskId);
                break;
            }
            case 8: {
                SendAppInfo app{L"app-missing", value, 0, L""};
                if (!expected.apps.empty()) {
                    auto it = std::next(expected.apps.begin(),
                                        Draw(static_cast<int>(expected.apps.size())));
                    app.appName = it->first;
                    it->second.downStatusIndex = value;
                }
                if (manager != nullptr) manager->UpdateTaskAPPStatus(app, taskId);
                break;
            }
            case 9: {
                std::vector<TransferSettingInfo> settings;
                for (int k = 0; k < 2; ++k) {
                    TransferSettingInfo setting{Wide(Name("set") + "-" + std::to_string(k)),
                                                value + k};
                    expected.settings[setting.settingName] = setting.resultType;
                    settings.push_back(setting);
                }
                if (manager != nullptr) manager->InsertSettingInfo(settings, taskId);
                break;
            }
            case 10: {
                TransferSettingInfo setting{L"set-missing", value};
                if (!expected.settings.empty()) {
                    auto it = std::next(expected.settings.begin(),
                                        Draw(static_cast<int>(expected.settings.size())));
                    setting.settingName = it->first;
                    it->second = value;
                }
                if (manager != nullptr) manager->UpdateSettingInfo(setting, taskId);
                break;
            }
            case 11: {
                std::vector<std::wstring> browsers;
                for (int k = 0; k < 2; ++k) {
                    browsers.push_back(L"Browser-" + std::to_wstring(Draw(3)));
                    expected.browsers.insert(browsers.back());
                }
                if (manager != nullptr) manager->InsertBookmarkInfo(browsers, taskId);
                break;
            }
            case 12: {
                std::vector<SendFailedFileInfo> failed;
                for (int k = 0; k < kFailBatch; ++k) {
                    const DirTreeNode& leaf = tree.Leaf(Draw(kLeaves));
                    failed.push_back({leaf.fileName, leaf.sendFilePath, value + k});
                    // A batch before the recording finds no row and changes nothing.
                    if (expected.filesRecorded) {
                        expected.files[leaf.sendFilePath] = {0, value + k};
                    }
                }
                if (manager != nullptr) manager->UpdateFailFileInfo(failed, taskId);
                break;
            }
            case 13: {
                // One outcome, or a few through the batch form.
                std::vector<TransferFileInfo> files(value % 2 == 0 ? 1 : 5);
                for (TransferFileInfo& file : files) {
                    file.taskId = taskId;
                    file.status = value % 4;
                    file.errCode = value;
                    file.filePath = tree.Leaf(Draw(kLeaves)).sendFilePath;
                    if (expected.filesRecorded)
                        expected.files[file.filePath] = {file.status, value};
                }
                if (manager == nullptr) break;
                if (files.size() == 1) {
                    manager->UpdateTaskFileStatus(files[0]);
                } else {
                    manager->UpdateTaskFileStatus(files);
                }
                break;
            }
            case 14: {
                bool small = value % 2 == 1;
                std::vector<CacheNode> nodes;
                for (int k = 0; k < kCacheRows; ++k) {
                    std::wstring path = Wide(Name("c") + "/" + std::to_string(k));
                    nodes.push_back(
                        {L"cache/" + path, L"w" + std::to_wstring(id), value, path, k % 2});
                }
                expected.cacheRows[small ? 1 : 0] += kCacheRows;
                if (manager != nullptr) manager->InsertFilesToCacheDb(nodes, small);
                break;
            }
        }
    }

    // Records a query that read back something else than this worker's writes left.
    void Expect(bool holds, const char* what) {
        if (!holds) Problem(std::string(what) + " read back something else than was written");
    }
    void Expect(long long actual, long long wanted, const char* what) {
        if (actual == wanted) return;
        Problem(std::string(what) + " read back " + std::to_string(actual) + ", not " +
                std::to_string(wanted));
    }
    void Problem(const std::string& text) {
        problems.push_back("worker " + std::to_string(id) + " step " + std::to_string(step) + ": " +
                           text);
    }

    void Query(int kind) {
        bool small = Draw(2) == 1;  // drawn for every query, so that the plans stay alike
        if (manager == nullptr) return;
        DataBaseManager& db = *manager;
        const TransferTask& task = expected.task;
        switch (kind) {
            case 0: {
                TransferTask newest;
                db.GetLastUnCompleteTask(newest);
                Expect(newest.taskID >= kWorkers, "GetLastUnCompleteTask");
                break;
            }
            case 1: {
                TaskInfoNode nodes[4];
                int filled = db.GetAllTaskInfo(nodes, 4);
                Expect(filled, 3, "GetAllTaskInfo");
                Expect(nodes[0].taskID > nodes[1].taskID && nodes[1].taskID > nodes[2].taskID,
                       "GetAllTaskInfo order");
                break;
            }
            case 2:
                db.GetMigrationConsumerTime();
                break;
            case 3: {
                int nums = -1, empty = -1;
                long long size = -1;
                db.QueryTaskCompleteInfoByID(taskId, nums, size, empty);
                Expect(nums, task.completeNums, "QueryTaskCompleteInfoByID completeNums");
                Expect(size, task.completeSize, "QueryTaskCompleteInfoByID completeSize");
                Expect(empty, task.completeEmptyFolderNum, "QueryTaskCompleteInfoByID folders");
                break;
            }
            case 4:
                Expect(db.GetMaxTaskID() >= kWorkers, "GetMaxTaskID");
                break;
            case 5:
                Expect(db.GetTransferHistoryNum() >= kWorkers, "GetTransferHistoryNum");
                break;
            case 6:
                Expect(db.QueryAppNumByID(taskId), static_cast<int>(expected.apps.size()),
                       "QueryAppNumByID");
                break;
            case 7: {
                int count = static_cast<int>(expected.apps.size());
                std::vector<AppInfoPariNode> out(count + 1);
                db.QueryAppInfoByID(out.data(), taskId, count);
                std::map<std::wstring, SendAppInfo> read;
                for (int i = 0; i < count; ++i) {
                    read[out[i].appName] = {out[i].appName, out[i].downStatusIndex,
                                            out[i].installStatusIndex, out[i].appIconPath};
                }
                bool same =
                    read.size() == expected.apps.size() &&
                    std::equal(read.begin(), read.end(), expected.apps.begin(),
                               [](const auto& a, const auto& b) {
                                   return a.first == b.first &&
                                          a.second.downStatusIndex == b.second.downStatusIndex &&
                                          a.second.installStatusIndex ==
                                              b.second.installStatusIndex &&
                                          a.second.appIconPath == b.second.appIconPath;
                               });
                Expect(same, "QueryAppInfoByID");
                break;
            }
            case 8: {
                std::vector<std::wstring> names;
                db.QueryAllAppNameByID(names, taskId);
                std::sort(names.begin(), names.end());
                Expect(names == Keys(expected.apps), "QueryAllAppNameByID");
                break;
            }
            case 9:
                Expect(db.QuerySettingNumByID(taskId), static_cast<int>(expected.settings.size()),
                       "QuerySettingNumByID");
                break;
            case 10: {
                int count = static_cast<int>(expected.settings.size());
                std::vector<SettingInfoPariNode> out(count + 1);
                db.QuerySettingInfoByID(out.data(), taskId, count);
                std::map<std::wstring, int> read;
                for (int i = 0; i < count; ++i) read[out[i].settingName] = out[i].resultType;
                Expect(read == expected.settings, "QuerySettingInfoByID");
                break;
            }
            case 11: {
                std::vector<std::wstring> names{L"stale"};
                db.GetTaskSettingInfo(taskId, names);
                std::sort(names.begin(), names.end());
                Expect(names == Keys(expected.settings), "GetTaskSettingInfo");
                break;
            }
            case 12: {
                std::vector<std::wstring> names{L"stale"};
                db.GetTaskBookmarkInfo(taskId, names);
                Expect(std::multiset<std::wstring>(names.begin(), names.end()) == expected.browsers,
                       "GetTaskBookmarkInfo");
                break;
            }
            case 13:
                Expect(db.QueryFailNumByID(taskId), static_cast<int>(expected.Failures().size()),
                       "QueryFailNumByID");
                break;
            case 14: {
                auto failures = expected.Failures();
                int count = static_cast<int>(failures.size());
                std::vector<MapFailPariNode> out(count + 1);
                db.QueryFailFileInfoByID(out.data(), taskId, count);
                std::set<std::pair<std::wstring, int>> read;
                for (int i = 0; i < count; ++i) {
                    std::wstring path = out[i].sendFilePath;
                    Expect(path.substr(path.rfind(L'/') + 1) == out[i].fileName,
                           "QueryFailFileInfoByID fileName");
                    read.insert({path, out[i].errCode});
                }
                Expect(read == failures, "QueryFailFileInfoByID");
                break;
            }
            case 15: {
                std::list<TransferFileInfo> files;
                db.GetTaskFileInfo(taskId, files);
                Expect(static_cast<int>(files.size()), expected.filesRecorded ? kLeaves : 0,
                       "GetTaskFileInfo rows");
                std::map<std::wstring, FileOutcome> outcomes;
                for (const TransferFileInfo& file : files) {
                    if (file.status != -1) outcomes[file.filePath] = {file.status, file.errCode};
                }
                Expect(outcomes == expected.files, "GetTaskFileInfo outcomes");
                break;
            }
            case 16: {
                DirectoryTreeManager empty;
                std::vector<SendFailedFileInfo> failed;
                int missing = 0;
                db.RecoveryDirTreeByID(failed, empty, missing);
                Expect(static_cast<int>(failed.size()) <= missing, "RecoveryDirTreeByID");
                break;
            }
            case 17: {
                DirectoryTreeManager empty;
                db.RecoveryDirTreeByCacheDb(empty, small);
                break;
            }
        }
    }

    const int id;
    const int taskId;
    const LoadTree& tree;
    DataBaseManager* const manager;
    std::mt19937 rng;
    int recordStep = 0;
    int step = 0;
    Expected expected;
    std::vector<std::string> problems;
};

class LoadPosixTest : public DataBaseManagerTest {
protected:
    // Runs this process's workers on their threads; returns what they found wrong.
    std::vector<std::string> RunWorkers(int process, const LoadTree& tree) {
        std::vector<std::unique_ptr<Worker>> workers;
        for (int t = 0; t < kThreads; ++t) {
            workers.push_back(std::make_unique<Worker>(process * kThreads + t, tree, &Manager()));
        }
        std::vector<std::thread> threads;
        for (auto& worker : workers) threads.emplace_back([&worker] { worker->Run(); });
        for (std::thread& thread : threads) thread.join();
        std::vector<std::string> problems;
        for (auto& worker : workers) {
            problems.insert(problems.end(), worker->Problems().begin(), worker->Problems().end());
        }
        std::istringstream errors(ErrorLines());
        for (std::string line; std::getline(errors, line);) problems.push_back(line);
        return problems;
    }

    // This process's error lines, one a line.
    std::string ErrorLines() const {
        std::string text;
        for (const LogEntry& line : Lines()) {
            if (line.level == LOG_LEVEL_ERROR) text += "logged " + Narrow(line.text) + "\n";
        }
        return text;
    }

    // The second process: waits for the first to have started, starts its own manager, runs
    // its workers and reports their problems, one a line.
    [[noreturn]] void RunChild(int go, int report, const LoadTree& tree) {
        ::alarm(300);  // never outlives a parent that stopped waiting
        char flag = 0;
        if (::read(go, &flag, 1) != 1) ::_exit(2);
        std::string text;
        for (const std::string& problem : RunWorkers(1, tree)) text += problem + "\n";
        WriteAll(report, text);
        ::_exit(0);
    }

    static void WriteAll(int fd, const std::string& text) {
        for (size_t done = 0; done < text.size();) {
            ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
            if (wrote <= 0) ::_exit(3);
            done += static_cast<size_t>(wrote);
        }
    }

    static std::string ReadAll(int fd) {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
        return text;
    }

    // Every write of `worker` is in the files.
    void ExpectWritten(int worker, const Expected& expected, TestDb& main) {
        SCOPED_TRACE("worker " + std::to_string(worker));
        const TransferTask& t = expected.task;
        std::string id = std::to_string(t.taskID);
        EXPECT_EQ(
            main.Query("select startTime,endTime,transferFileNums,completeNums,"
                       "transferSize,completeSize,status,transferAppNums,"
                       "transferSucAppNums,transferSettingNums,transferSucSettingNums,"
                       "session,fileStatus,appStatus,settingStatus,"
                       "completeEmptyFolderNum,newPCType,newPCModel from TransferTask "
                       "where taskID = " +
                       id),
            (Rows{{std::to_string(t.startTime), std::to_string(t.endTime),
                   std::to_string(t.transferFileNums), std::to_string(t.completeNums),
                   std::to_string(t.transferSize), std::to_string(t.completeSize),
                   std::to_string(t.status), std::to_string(t.transferAppNums),
                   std::to_string(t.transferSucAppNums), std::to_string(t.transferSettingNums),
                   std::to_string(t.transferSucSettingNums), Hex(t.session),
                   std::to_string(t.fileStatus), std::to_string(t.appStatus),
                   std::to_string(t.settingStatus), std::to_string(t.completeEmptyFolderNum),
                   std::to_string(t.newPCType), Narrow(t.newPCModel)}}));

        Rows apps;
        for (const auto& [name, app] : expected.apps) {
            apps.push_back({Narrow(name), std::to_string(app.downStatusIndex),
                            std::to_string(app.installStatusIndex), Narrow(app.appIconPath)});
        }
        EXPECT_EQ(main.Query("select appName,downStatusIndex,installStatusIndex,appIconPath from "
                             "TransferAppInfo where taskID = " +
                             id + " order by appName"),
                  apps);
        Rows settings;
        for (const auto& [name, result] : expected.settings) {
            settings.push_back({Narrow(name), std::to_string(result)});
        }
        EXPECT_EQ(main.Query("select settingName,resultType from TransferSettingInfo where "
                             "taskID = " +
                             id + " order by settingName"),
                  settings);
        Rows browsers;
        for (const std::wstring& name : expected.browsers) browsers.push_back({Narrow(name)});
        EXPECT_EQ(main.Query("select browserName from TransferBookmarkInfo where taskID = " + id +
                             " order by browserName"),
                  browsers);

        int leaves = expected.filesRecorded ? kLeaves : 0;
        EXPECT_EQ(main.Query("select count(*), count(distinct sendFilePath) from "
                             "TransferFileInfo where taskID = " +
                             id),
                  (Rows{{std::to_string(leaves), std::to_string(leaves)}}));
        Rows outcomes;
        for (const auto& [path, outcome] : expected.files) {
            outcomes.push_back(
                {Narrow(path), std::to_string(outcome.status), std::to_string(outcome.errCode)});
        }
        EXPECT_EQ(main.Query("select sendFilePath,status,errCode from TransferFileInfo where "
                             "taskID = " +
                             id + " and status != -1 order by sendFilePath"),
                  outcomes);
    }
};

TEST_F(LoadPosixTest, TwoProcessesOfEightThreadsLoseNoWriteAndNeverMeetALock) {
    const LoadTree tree;
    int go[2], report[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(report), 0);
    // Forked before any thread or connection exists; the child starts its own manager later,
    // while this process is already under load.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(go[1]);
        ::close(report[0]);
        RunChild(go[0], report[1], tree);
    }
    ::close(go[0]);
    ::close(report[1]);

    for (int worker = 0; worker < kWorkers; ++worker) {
        TransferTask task = OwnedTask(worker);
        Manager().InsertOneTask(task);
    }
    ASSERT_EQ(Manager().GetMaxTaskID(), kWorkers);
    Manager().CreateDocCacheDb();

    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    std::vector<std::string> problems = RunWorkers(0, tree);
    std::string childProblems = ReadAll(report[0]);
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    // Every problem, one a line: the parent's, then the child's.
    std::string all;
    for (const std::string& problem : problems) all += problem + "\n";
    all += childProblems;
    EXPECT_EQ(all.find("database is locked"), std::string::npos);
    EXPECT_TRUE(all.empty()) << "queries that read back something else, and error lines:\n"
                             << all.substr(0, 4000);

    // The parent works out what the child's workers wrote from their plans.
    std::multiset<std::string> newTasks;
    int cacheRows[2] = {0, 0};
    long long fileRows = 0;
    {
        TestDb main(MainDbFile());
        for (int id = 0; id < kWorkers; ++id) {
            Worker plan(id, tree, nullptr);
            plan.Run();
            const Expected& expected = plan.Result();
            ExpectWritten(id, expected, main);
            newTasks.insert(expected.newTasks.begin(), expected.newTasks.end());
            cacheRows[0] += expected.cacheRows[0];
            cacheRows[1] += expected.cacheRows[1];
            fileRows += expected.filesRecorded ? kLeaves : 0;
        }
        std::multiset<std::string> stored;
        for (const auto& row : main.Query("select newPCModel from TransferTask where taskID > " +
                                          std::to_string(kWorkers))) {
            stored.insert(row[0]);
        }
        EXPECT_EQ(stored, newTasks);
        EXPECT_EQ(main.Scalar("pragma integrity_check"), "ok");
    }
    {
        TestDb cache(CacheDbFile());
        EXPECT_EQ(cache.Count("select count(*) from normal_file"), cacheRows[0]);
        EXPECT_EQ(cache.Count("select count(*) from small_file"), cacheRows[1]);
        EXPECT_EQ(cache.Scalar("pragma integrity_check"), "ok");
    }
    std::printf(
        "load: %d processes x %d threads, %d calls (%d each), %lld file rows recorded, %zu tasks "
        "added, %d cache rows, in %.1f s\n",
        kProcesses, kThreads, kWorkers * kSteps, kSteps, fileRows, newTasks.size(),
        cacheRows[0] + cacheRows[1], seconds);
}
// A service and a desktop application may start together on a machine that has no database yet:
// every process starts up without an error line, and the file ends up as one start-up makes it.
TEST_F(LoadPosixTest, ProcessesStartingTogetherOnAFreshFolderAllStartUpCleanly) {
    constexpr int kRounds = 5;
    constexpr int kStarters = 4;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::filesystem::path appData = AppDataFolder() / std::to_string(round);
        std::filesystem::create_directories(appData);
        ::setenv("PROGRAMDATA", appData.c_str(), 1);
        int go[2], report[2];
        ASSERT_EQ(::pipe(go), 0);
        ASSERT_EQ(::pipe(report), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kStarters; ++i) {
            pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ::alarm(120);
                ::close(go[1]);
                ::close(report[0]);
                char flag = 0;
                if (::read(go[0], &flag, 1) != 1) ::_exit(2);
                TransferTask task;
                task.newPCModel = L"starter-" + std::to_wstring(i);
                Manager().InsertOneTask(task);
                WriteAll(report[1], ErrorLines() + (IsInit() ? "" : "not initialised\n"));
                ::_exit(0);
            }
            children.push_back(child);
        }
        ::close(go[0]);
        ::close(report[1]);
        ASSERT_EQ(::write(go[1], "gggg", kStarters), kStarters);  // all at once
        ::close(go[1]);
        std::string problems = ReadAll(report[0]);
        ::close(report[0]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        EXPECT_EQ(problems, "");

        TestDb main(appData / "Voded" / "Corvanel" / "corvanel.db");
        EXPECT_EQ(main.Scalar("pragma journal_mode"), "wal");
        EXPECT_EQ(main.Scalar("pragma auto_vacuum"), "1");
        EXPECT_EQ(main.Query("select name from sqlite_master where name not like 'sqlite%' "
                             "order by name"),
                  (Rows{{"TransferAppInfo"},
                        {"TransferBookmarkInfo"},
                        {"TransferFileInfo"},
                        {"TransferSettingInfo"},
                        {"TransferTask"},
                        {"fileIndex"}}));
        EXPECT_EQ(main.Query("select newPCModel from TransferTask order by newPCModel"),
                  (Rows{{"starter-0"}, {"starter-1"}, {"starter-2"}, {"starter-3"}}));
    }
}
}  // namespace

// Transfer task records as a caller and the database file see them: the task writes, the task
// queries and the history that keeps the three newest tasks.
#include <tuple>

#include "TestSupport.h"

namespace {
// Where each column stands in a row of "select * from TransferTask".
constexpr int kId = 0, kStart = 1, kEnd = 2, kFiles = 3, kDone = 4, kSize = 5, kDoneSize = 6,
              kEmptyFolders = 7, kStatus = 8, kApps = 9, kAppsDone = 10, kMac = 11, kSettings = 12,
              kSettingsDone = 13, kSession = 14, kFileStatus = 15, kAppStatus = 16,
              kSettingStatus = 17, kType = 18, kModel = 19;
using Row = std::vector<std::string>;
const char* const kTables[] = {"Task", "FileInfo", "AppInfo", "SettingInfo", "BookmarkInfo"};

// A task whose values differ from those of any other seed and from column to column, so that a
// value in the wrong column or of the wrong task shows. Its session holds zero bytes.
TransferTask SampleTask(int seed) {
    TransferTask t;
    t.taskID = 900 + seed, t.startTime = 1700000000LL + seed, t.endTime = 1700000100LL + seed;
    t.transferFileNums = 10 + seed, t.completeNums = 20 + seed;
    t.transferSize = 5000000000LL + seed, t.completeSize = 6000000000LL + seed;
    t.status = 30 + seed, t.transferAppNums = 40 + seed, t.transferSucAppNums = 50 + seed;
    t.macAddr = "00-11-22-33-44-" + std::to_string(seed);
    t.transferSettingNums = 60 + seed, t.transferSucSettingNums = 70 + seed;
    const char session[16] = {0, char(seed), 0, 7, 0, 0, 9, -1, 0, 1, 2, 3, 4, 5, 6, 0};
    std::memcpy(t.session, session, sizeof session);
    t.fileStatus = 80 + seed, t.appStatus = 90 + seed, t.settingStatus = 100 + seed;
    t.completeEmptyFolderNum = 110 + seed, t.newPCType = 120 + seed;
    t.newPCModel = L"Model " + std::to_wstring(seed);
    return t;
}

std::string Text(long long value) { return std::to_string(value); }
std::string Text(const std::string& text) { return text; }
std::string Text(const std::wstring& text) { return Narrow(text); }
std::string Text(const char (&session)[16]) {
    std::string hex = "x'";
    for (unsigned char c : session)
        hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    return hex + "'";
}
template <class... Values>
Row Strings(const Values&... values) {
    return {Text(values)...};
}

// A record as the task table would hold it.
Row Stored(const TransferTask& t) {
    return Strings(t.taskID, t.startTime, t.endTime, t.transferFileNums, t.completeNums,
                   t.transferSize, t.completeSize, t.completeEmptyFolderNum, t.status,
                   t.transferAppNums, t.transferSucAppNums, t.macAddr, t.transferSettingNums,
                   t.transferSucSettingNums, t.session, t.fileStatus, t.appStatus, t.settingStatus,
                   t.newPCType, t.newPCModel);
}
}  // namespace

class TaskRecordsTest : public DataBaseManagerTest {
protected:
    void SetUp() override {
        DataBaseManagerTest::SetUp();
        Started();
    }
    static void Insert(TransferTask task) { Manager().InsertOneTask(task); }
    Row TaskRow(int id) const {
        return Query("select * from TransferTask where taskID = " + std::to_string(id)).at(0);
    }
    // Only task rows with the given ids, and one row of each in every item table.
    void SeedTasks(const std::vector<int>& ids) const {
        std::string sql;
        for (const char* table : kTables) sql += std::string("delete from Transfer") + table + ";";
        for (int id : ids)
            sql += "insert into TransferTask values (" + std::to_string(id) +
                   ",0,0,0,0,0,0,0,0,0,0,'',0,0,'',0,0,0,0,'');";
        for (const char* table : {"FileInfo", "AppInfo", "SettingInfo"})
            sql += std::string("insert into Transfer") + table +
                   " (taskID) select taskID from TransferTask;";
        Exec(sql + "insert into TransferBookmarkInfo (taskID) values (1);");
    }
    // The ids in the task table, then in each item table, as "1,2 1,2 1,2 1,2 1 ".
    std::string Ids() const {
        std::string ids;
        for (const char* table : kTables)
            ids += Scalar(std::string("select ifnull(group_concat(taskID), '') || ' ' from (select "
                                      "taskID from Transfer") +
                          table + " order by taskID)");
        return ids;
    }
};

TEST_F(TaskRecordsTest, InsertStoresTheRecordAndTheNewestTaskReadsBackWhateverItsState) {
    TransferTask caller = SampleTask(9);
    Insert(SampleTask(1));
    TransferTask task = SampleTask(2);
    Manager().InsertOneTask(task);
    Row row = Stored(task);
    row[kId] = "2";
    row[kEmptyFolders] = row[kFileStatus] = row[kAppStatus] = row[kSettingStatus] = "0";
    EXPECT_EQ(TaskRow(2), row);
    // Only the selected fields change; the session is copied whole, zero bytes included.
    std::memset(caller.session, 0xAA, sizeof caller.session);
    Manager().GetLastUnCompleteTask(caller);
    Row expected = Stored(SampleTask(9));
    for (int c : {kId, kStart, kEnd, kFiles, kDone, kSize, kDoneSize, kStatus, kSession})
        expected[c] = row[c];
    EXPECT_EQ(Stored(caller), expected);

    // The short form: a fresh task from its arguments, its model as text; none without a session.
    Manager().InsertOneTask(5, nullptr, 6, 7, "model");
    Manager().InsertOneTask(5, task.session, 6, 7, "007");
    EXPECT_EQ(Query("select startTime = endTime and startTime > 1700000000, transferFileNums || "
                    "transferAppNums || newPCType || completeNums || status || macAddr, session = "
                    "(select session from TransferTask where taskID = 2), newPCModel, "
                    "typeof(newPCModel) from TransferTask where taskID > 2"),
              (Rows{{"1", "56700 ", "1", "007", "text"}}));
    // Another program may have stored a session of any size: only its own bytes are copied.
    const std::string untouched = "x'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'";
    for (const auto& [stored, read] : std::vector<std::pair<std::string, std::string>>{
             {"x'0102030405'", "x'01020304050000000000000000000000'"},
             {"x'0102030405060708090a0b0c0d0e0f1011121314'", "x'0102030405060708090a0b0c0d0e0f10'"},
             {"NULL", untouched}}) {
        Exec("update TransferTask set session = " + stored + " where taskID = 3");
        std::memset(caller.session, 0xAA, sizeof caller.session);
        ClearLines();
        Manager().GetLastUnCompleteTask(caller);
        EXPECT_EQ(Stored(caller)[kSession], read);
        EXPECT_EQ(Lines(), read != untouched ? LogLines()
                                             : LogLines{Error("SQLite error, session is nullptr",
                                                              "GetLastUnCompleteTask")});
    }
}

TEST_F(TaskRecordsTest, EachUpdateChangesOnlyItsOwnColumns) {
    Insert(SampleTask(1));
    DataBaseManager& m = Manager();
    // Each update takes its values from a sample of its own, so that every column it writes
    // changes; `op` names its start line.
    int seed = 2;
    auto expect = [&](std::vector<int> columns, const char* op, auto update) {
        TransferTask t = SampleTask(seed++);
        t.taskID = 1;
        Row expected = TaskRow(1);
        for (int c : columns) expected[c] = Stored(t)[c];
        ClearLines();
        update(t);
        EXPECT_EQ(TaskRow(1), expected) << seed;
        EXPECT_EQ(Lines(), op ? LogLines{Info(std::string("start ") + op, op)} : LogLines());
    };
    expect({kDone, kDoneSize, kEnd, kFileStatus, kEmptyFolders}, "UpdateFileTaskInfo",
           [&](TransferTask& t) { m.UpdateFileTaskInfo(t); });
    expect({kEnd, kApps, kAppsDone, kAppStatus}, "UpdateAppTaskInfo",
           [&](TransferTask& t) { m.UpdateAppTaskInfo(t); });
    expect({kEnd, kSettings, kSettingsDone, kSettingStatus}, "UpdateSettingTaskInfo",
           [&](TransferTask& t) { m.UpdateSettingTaskInfo(t); });
    expect({kStatus}, "UpdateTaskStatus", [&](TransferTask& t) { m.UpdateTaskStatus(t); });
    expect({kStatus}, "UpdateTaskStatusById",
           [&](TransferTask& t) { m.UpdateTaskStatusById(1, t.status); });
    expect({kSession}, "UpdateTaskSessionById",
           [&](TransferTask& t) { m.UpdateTaskSessionById(1, t.session); });
    expect({kDone, kDoneSize, kEmptyFolders}, nullptr, [&](TransferTask& t) {
        m.UpdateTaskCompleteInfoById(1, t.completeNums, t.completeSize, t.completeEmptyFolderNum);
    });
}

TEST_F(TaskRecordsTest, HistoryCountsAndTimesFollowTheNewestTasks) {
    DataBaseManager& m = Manager();
    TaskInfoNode nodes[5];
    Poison(nodes);
    int nums = -1, empty = -1;
    long long size = -1;
    m.QueryTaskCompleteInfoByID(1, nums, size, empty);
    EXPECT_EQ(std::make_tuple(m.GetAllTaskInfo(nodes, 5), m.GetMaxTaskID(), GetMinTaskID(),
                              m.GetTransferHistoryNum(), m.GetMigrationConsumerTime(), nums, size),
              std::make_tuple(0, 0, 0, 0, 0LL, -1, -1LL));
    for (int seed = 1; seed <= 5; ++seed) Insert(SampleTask(seed));
    EXPECT_EQ(std::make_tuple(m.GetMaxTaskID(), GetMinTaskID(), m.GetTransferHistoryNum(),
                              m.GetMigrationConsumerTime()),
              std::make_tuple(5, 1, 5, 100LL));
    m.UpdateTaskCompleteInfoById(2, 3, 7000000000LL, -2);
    m.QueryTaskCompleteInfoByID(2, nums, size, empty);
    EXPECT_EQ(std::make_tuple(nums, size, empty), std::make_tuple(3, 7000000000LL, -2));
    // Asked for fewer first: a read cut short must not hold the next one back.
    EXPECT_EQ(m.GetAllTaskInfo(nodes, 2), 2);
    EXPECT_TRUE(Untouched(nodes[2]));
    EXPECT_EQ(m.GetAllTaskInfo(nodes, 5), 3);  // the three newest, newest first
    EXPECT_EQ(std::make_tuple(nodes[1].taskID, nodes[2].taskID), std::make_tuple(4, 3));
    EXPECT_TRUE(Untouched(nodes[3]));
    const TransferTask t = SampleTask(5);
    const TaskInfoNode& n = nodes[0];
    EXPECT_EQ(std::make_tuple(n.taskID, n.startTime, n.endTime, n.transferFileNums, n.completeNums,
                              n.completeSize, n.status, n.transferAppNums, n.transferSucAppNums,
                              n.transferSettingNums, n.transferSucSettingNums, n.newPCType,
                              std::wstring(n.newPCModel)),
              std::make_tuple(5, t.startTime, t.endTime, t.transferFileNums, t.completeNums,
                              t.completeSize, t.status, t.transferAppNums, t.transferSucAppNums,
                              t.transferSettingNums, t.transferSucSettingNums, t.newPCType,
                              t.newPCModel));
    EXPECT_TRUE(Lines().empty());
}

// Pruning counts the tasks and measures from the largest id, not from the count. Bookmarks are
// not among the task's rows: task 1's outlives it.
TEST_F(TaskRecordsTest, HistoryKeepsTheThreeNewestTasksWithTheirItems) {
    const LogLines prune = {Info("Start update transfer history", "UpdateTransferHistory"),
                            Info("Finish update transfer history", "UpdateTransferHistory")};
    const std::pair<std::vector<int>, std::string> cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "8,9,10"},  // the three newest
        {{1, 2, 3, 4}, "2,3,4"},
        {{1, 2, 3, 10}, "10"},
        {{5, 100}, "5,100"}};
    for (const auto& [seeded, kept] : cases) {
        SeedTasks(seeded);
        ClearLines();
        Manager().UpdateTransferHistory();
        EXPECT_EQ(Ids(), kept + " " + kept + " " + kept + " " + kept + " 1 ");
        EXPECT_EQ(Lines(), prune);
    }
    EXPECT_TRUE(Manager().CleanTransferHistory());  // every task goes; the id counter stays
    Insert(SampleTask(1));
    EXPECT_EQ(Ids(), "101    1 ");  // bookmarks outlive their tasks
}

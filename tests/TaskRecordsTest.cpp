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
    // A task row one column a line, "name=value": a failure's diff names the columns that differ.
    std::string Named(const Row& row) const {
        const Rows names = Query("select name from pragma_table_info('TransferTask')");
        std::string text;
        for (size_t c = 0; c < row.size(); ++c) text += names.at(c)[0] + "=" + row[c] + "\n";
        return text;
    }
    // The fields a history entry shows, as Named lists them.
    template <class Record>
    std::string Listed(const Record& r) const {
        return Named(Strings(
            r.taskID, r.startTime, r.endTime, r.transferFileNums, r.completeNums, 0, r.completeSize,
            0, r.status, r.transferAppNums, r.transferSucAppNums, "", r.transferSettingNums,
            r.transferSucSettingNums, "", 0, 0, 0, r.newPCType, std::wstring(r.newPCModel)));
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
    EXPECT_EQ(Named(TaskRow(2)), Named(row))
        << "the record as stored, with a new id and no item states";
    std::memset(caller.session, 0xAA, sizeof caller.session);
    Manager().GetLastUnCompleteTask(caller);
    Row expected = Stored(SampleTask(9));
    for (int c : {kId, kStart, kEnd, kFiles, kDone, kSize, kDoneSize, kStatus, kSession})
        expected[c] = row[c];
    EXPECT_EQ(Named(Stored(caller)), Named(expected))
        << "the newest task fills only its own fields, the session whole, zero bytes included";

    // The short form: a fresh task from its arguments, its model as text; none without a session.
    Manager().InsertOneTask(5, nullptr, 6, 7, "model");
    Manager().InsertOneTask(5, task.session, 6, 7, "007");
    const std::pair<const char*, const char*> shortForm[] = {
        {"count(1)", "1"},                                        // none without a session
        {"startTime = endTime and startTime > 1700000000", "1"},  // the clock's time
        {"transferFileNums || transferAppNums || newPCType || completeNums || status || macAddr",
         "56700 "},
        {"session = (select session from TransferTask where taskID = 2)", "1"},
        {"newPCModel || ' ' || typeof(newPCModel)", "007 text"}};
    for (const auto& [column, value] : shortForm)
        EXPECT_EQ(Scalar(std::string("select ") + column + " from TransferTask where taskID > 2"),
                  value)
            << "the short form's " << column;
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
        EXPECT_EQ(Stored(caller)[kSession], read) << "a stored session of " << stored;
        EXPECT_EQ(Lines(), read != untouched ? LogLines()
                                             : LogLines{Error("SQLite error, session is nullptr",
                                                              "GetLastUnCompleteTask")})
            << stored;
    }
}

TEST_F(TaskRecordsTest, EachUpdateChangesOnlyItsOwnColumns) {
    Insert(SampleTask(1));
    DataBaseManager& m = Manager();
    // Each update takes its values from a sample of its own, so that every column it writes
    // changes; `op` names it and its start line, when it logs one.
    int seed = 2;
    auto expect = [&](std::vector<int> columns, const std::string& op, bool logs, auto update) {
        TransferTask t = SampleTask(seed++);
        t.taskID = 1;
        Row expected = TaskRow(1);
        for (int c : columns) expected[c] = Stored(t)[c];
        ClearLines();
        update(t);
        EXPECT_EQ(Named(TaskRow(1)), Named(expected)) << op << " changes only its own columns";
        EXPECT_EQ(Lines(), logs ? LogLines{Info("start " + op, op)} : LogLines()) << op;
    };
    expect({kDone, kDoneSize, kEnd, kFileStatus, kEmptyFolders}, "UpdateFileTaskInfo", true,
           [&](TransferTask& t) { m.UpdateFileTaskInfo(t); });
    expect({kEnd, kApps, kAppsDone, kAppStatus}, "UpdateAppTaskInfo", true,
           [&](TransferTask& t) { m.UpdateAppTaskInfo(t); });
    expect({kEnd, kSettings, kSettingsDone, kSettingStatus}, "UpdateSettingTaskInfo", true,
           [&](TransferTask& t) { m.UpdateSettingTaskInfo(t); });
    expect({kStatus}, "UpdateTaskStatus", true, [&](TransferTask& t) { m.UpdateTaskStatus(t); });
    expect({kStatus}, "UpdateTaskStatusById", true,
           [&](TransferTask& t) { m.UpdateTaskStatusById(1, t.status); });
    expect({kSession}, "UpdateTaskSessionById", true,
           [&](TransferTask& t) { m.UpdateTaskSessionById(1, t.session); });
    expect({kDone, kDoneSize, kEmptyFolders}, "UpdateTaskCompleteInfoById", false,
           [&](TransferTask& t) {
               m.UpdateTaskCompleteInfoById(1, t.completeNums, t.completeSize,
                                            t.completeEmptyFolderNum);
           });
}

TEST_F(TaskRecordsTest, HistoryCountsAndTimesFollowTheNewestTasks) {
    DataBaseManager& m = Manager();
    TaskInfoNode nodes[5];
    Poison(nodes);
    int nums = -1, empty = -1;
    long long size = -1;
    m.QueryTaskCompleteInfoByID(1, nums, size, empty);
    EXPECT_EQ(Strings(nums, size, empty), Strings(-1, -1, -1)) << "a missing task leaves them";
    ExpectEach<long long>(
        {{"GetAllTaskInfo without tasks", m.GetAllTaskInfo(nodes, 5), 0},
         {"GetMaxTaskID without tasks", m.GetMaxTaskID(), 0},
         {"GetMinTaskID without tasks", GetMinTaskID(), 0},
         {"GetTransferHistoryNum without tasks", m.GetTransferHistoryNum(), 0},
         {"GetMigrationConsumerTime without tasks", m.GetMigrationConsumerTime(), 0}});
    for (int seed = 1; seed <= 5; ++seed) Insert(SampleTask(seed));
    ExpectEach<long long>({{"GetMaxTaskID", m.GetMaxTaskID(), 5},
                           {"GetMinTaskID", GetMinTaskID(), 1},
                           {"GetTransferHistoryNum", m.GetTransferHistoryNum(), 5},
                           {"GetMigrationConsumerTime: the newest's end less its start",
                            m.GetMigrationConsumerTime(), 100}});
    m.UpdateTaskCompleteInfoById(2, 3, 7000000000LL, -2);
    m.QueryTaskCompleteInfoByID(2, nums, size, empty);
    EXPECT_EQ(Strings(nums, size, empty), Strings(3, 7000000000LL, -2)) << "a task's completion";
    // Asked for fewer first: a read cut short must not hold the next one back.
    EXPECT_EQ(m.GetAllTaskInfo(nodes, 2), 2) << "as many as asked for";
    EXPECT_TRUE(Untouched(nodes[2])) << "and no more";
    EXPECT_EQ(m.GetAllTaskInfo(nodes, 5), 3) << "the three newest";
    EXPECT_EQ(Strings(nodes[1].taskID, nodes[2].taskID), Strings(4, 3)) << "newest first";
    EXPECT_TRUE(Untouched(nodes[3])) << "no more than three";
    TransferTask t = SampleTask(5);
    t.taskID = 5;
    EXPECT_EQ(Listed(nodes[0]), Listed(t)) << "the newest task's fields";
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
        SCOPED_TRACE("tasks " + ::testing::PrintToString(seeded));
        ClearLines();
        Manager().UpdateTransferHistory();
        EXPECT_EQ(Ids(), kept + " " + kept + " " + kept + " " + kept + " 1 ")
            << "the tasks kept, each with its items; the bookmarks all";
        EXPECT_EQ(Lines(), prune);
    }
    EXPECT_TRUE(Manager().CleanTransferHistory());
    Insert(SampleTask(1));
    EXPECT_EQ(Ids(), "101    1 ") << "cleaned: every task goes, the id counter and bookmarks stay";
}

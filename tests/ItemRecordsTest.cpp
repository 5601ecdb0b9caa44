// Applications, settings, bookmarks and file results as the host sees them: the rows, what the
// counts, lists and arrays give back, and the exact log lines.
#include <fstream>
#include <functional>
#include <list>

#include "TestSupport.h"

namespace {
// The commits in the database's write-ahead log: frames whose header gives the database size
// after the commit.
int CommitsInWal(const std::filesystem::path& db) {
    std::ifstream in(db.string() + "-wal", std::ios::binary);
    auto word = [](const unsigned char* b) { return b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]; };
    std::vector<unsigned char> header(32), frame;
    if (!in.read(reinterpret_cast<char*>(header.data()), 32)) return 0;
    frame.resize(24 + word(&header[8]));
    int commits = 0;
    while (in.read(reinterpret_cast<char*>(frame.data()), frame.size()))
        commits += word(&frame[4]) != 0;
    return commits;
}

std::string Filled(const AppInfoPariNode& n) {
    return Narrow(n.appName) + "," + std::to_string(n.downStatusIndex) + "," +
           std::to_string(n.installStatusIndex) + "," + Narrow(n.appIconPath) + ";";
}
std::string Filled(const SettingInfoPariNode& n) {
    return Narrow(n.settingName) + "," + std::to_string(n.resultType) + ";";
}
std::string Filled(const MapFailPariNode& n) {
    return Narrow(n.fileName) + "," + Narrow(n.sendFilePath) + "," + std::to_string(n.errCode) +
           ";";
}

// An array query into four records the caller filled with a sentinel: the records filled, then
// "-" for each one left untouched.
template <class Node>
std::string Read(void (DataBaseManager::*query)(Node*, int, int), int taskId, int count) {
    Node nodes[4];
    Poison(nodes);
    (DataBaseManager::GetInstance()->*query)(nodes, taskId, count);
    std::string text;
    for (const Node& node : nodes) text += Untouched(node) ? "-" : Filled(node);
    return text;
}

// The outcome of one file of task 3.
TransferFileInfo Outcome(const wchar_t* path, int status, int errCode) {
    return {3, status, 0, path, L"", errCode};
}

class ItemRecordsTest : public DataBaseManagerTest {
protected:
    void SetUp() override {
        DataBaseManagerTest::SetUp();
        Started();
    }
};
}  // namespace

class AppsAndSettingsTest : public ItemRecordsTest {
protected:
    // Task 7: two applications twice and two settings; task 8: the applications once. Then
    // Editor's and Mouse's status updated in task 7, and Mouse's in task 8, which has no Mouse.
    void SetUp() override {
        ItemRecordsTest::SetUp();
        DataBaseManager& m = Manager();
        std::vector<SendAppInfo> apps{{L"Editor", 1, 2, L"C:\\e.ico"}, {L"Viewer", 3, 4, L""}};
        std::vector<TransferSettingInfo> settings{{L"Wall", 1}, {L"Mouse", 2}, {L"Wall", 3}};
        m.InsertAppInfo(apps, 7);
        m.InsertAppInfo(apps, 7);
        m.InsertAppInfo(apps, 8);
        m.InsertSettingInfo(settings, 7);  // the second "Wall" is refused; the others land
        m.UpdateTaskAPPStatus({L"Editor", 5, 99, L"other.ico"}, 7);
        m.UpdateTaskAPPStatus({L"Not Installed", 6, 6, L""}, 7);
        m.UpdateSettingInfo({L"Mouse", 9}, 7);
        m.UpdateSettingInfo({L"Mouse", 8}, 8);
    }
    std::string Apps(int task) const {
        return Scalar(
            "select group_concat(appName || downStatusIndex || installStatusIndex || "
            "appIconPath, ' ') from TransferAppInfo where taskID = " +
            std::to_string(task));
    }
};

TEST_F(AppsAndSettingsTest, AnUpdateByNameChangesOnlyTheStatusOfThatNameInThatTask) {
    EXPECT_EQ(Apps(7), "Editor52C:\\e.ico Viewer34 Editor52C:\\e.ico Viewer34");
    EXPECT_EQ(Apps(8), "Editor12C:\\e.ico Viewer34") << "another task's rows";
    EXPECT_EQ(Scalar("select group_concat(taskID || settingName || resultType, ' ') from "
                     "TransferSettingInfo"),
              "7Wall1 7Mouse9");
}

TEST_F(AppsAndSettingsTest, ASettingTwiceInATaskIsRefusedAndTheOthersLand) {
    EXPECT_EQ(Count("select count(1) from TransferSettingInfo"), 2);
    EXPECT_EQ(Lines(), LogLines{Error("SQLite error:UNIQUE constraint failed: TransferSettingInfo."
                                      "taskID, TransferSettingInfo.settingName",
                                      "InsertSettingInfo")});
}

TEST_F(AppsAndSettingsTest, CountsAndArraysReadBackWhatIsStored) {
    DataBaseManager& m = Manager();
    ExpectEach<int>({{"applications of task 7", m.QueryAppNumByID(7), 4},
                     {"applications of a task without any", m.QueryAppNumByID(9), 0},
                     {"settings of task 7", m.QuerySettingNumByID(7), 2}});
    EXPECT_EQ(Read(&DataBaseManager::QueryAppInfoByID, 7, 3),
              "Editor,5,2,C:\\e.ico;Viewer,3,4,;Editor,5,2,C:\\e.ico;-")
        << "no more records than asked for";
    EXPECT_EQ(Read(&DataBaseManager::QueryAppInfoByID, 8, 4), "Editor,1,2,C:\\e.ico;Viewer,3,4,;--")
        << "no more records than there are";
    EXPECT_EQ(Read(&DataBaseManager::QueryAppInfoByID, 7, 0), "----") << "none for a count of 0";
    // Rows come as SQLite returns them: here in the order of the table's key.
    EXPECT_EQ(Read(&DataBaseManager::QuerySettingInfoByID, 7, 4), "Mouse,9;Wall,1;--");
    m.QueryAppInfoByID(nullptr, 7, 4);  // no array: nothing to fill, and no crash
    EXPECT_EQ(Lines().size(), 1u) << "no line but the refused setting's";
}

// A name another program stored as NULL reads as empty, with a line; the other fields fill, and a
// long text keeps its first 511 units.
TEST_F(AppsAndSettingsTest, ANullNameReadsEmptyAndALongTextItsFirst511Units) {
    Exec("insert into TransferAppInfo values (10, NULL, 1, 2, substr(hex(zeroblob(300)), 2))");
    ClearLines();
    EXPECT_EQ(Read(&DataBaseManager::QueryAppInfoByID, 10, 4),
              ",1,2," + std::string(511, '0') + ";---");
    EXPECT_EQ(Lines(), LogLines{Error("QueryAppInfoByID wcscpy_s appName failed, errName = 22",
                                      "QueryAppInfoByID")});
}

// Application names are appended to the caller's list; settings and browsers replace it.
TEST_F(AppsAndSettingsTest, NameListsAppendApplicationsAndReplaceWithSettingsAndBrowsers) {
    DataBaseManager& m = Manager();
    std::vector<std::wstring> browsers{L"One", L"Two", L"One"}, names{L"held"};
    m.InsertBookmarkInfo(browsers, 7);
    m.QueryAllAppNameByID(names, 8);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"held", L"Editor", L"Viewer"})) << "applications";
    m.GetTaskSettingInfo(7, names);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Mouse", L"Wall"})) << "settings";
    m.GetTaskBookmarkInfo(7, names);
    EXPECT_EQ(names, browsers) << "browsers";
}

class FileOutcomesTest : public ItemRecordsTest {
protected:
    void SetUp() override {
        ItemRecordsTest::SetUp();
        Exec(
            "insert into TransferFileInfo values (3,'a','/a',-1,'t',-1), (3,'c','/c',-1,'t',-1), "
            "(3,'d','/d',-1,'t',-1), (3,'e','/e',-1,'t',-1), (4,'a','/a',-1,'t',-1)");
    }
    // Every file row as "task name status errCode".
    std::string Files() const {
        return Scalar(
            "select group_concat(taskID || fileName || status || errCode, ' ') "
            "from TransferFileInfo");
    }
    // The commits `write` added to the write-ahead log.
    int Commits(const std::function<void()>& write) const {
        const int before = CommitsInWal(MainDbFile());
        write();
        return CommitsInWal(MainDbFile()) - before;
    }
};

// A failure batch marks the held paths failed in one commit, a file sent after all leaves them;
// outcomes go one by one or a batch a commit, and the task's files read back with them.
TEST_F(FileOutcomesTest, FailuresAndOutcomesAreWrittenInOneCommitPerBatch) {
    DataBaseManager& m = Manager();
    std::vector<SendFailedFileInfo> failed{{L"x", L"/a", 11}, {L"x", L"/b", 12}, {L"x", L"/c", 13}};
    EXPECT_EQ(Commits([&] { m.UpdateFailFileInfo(failed, 3); }), 1) << "a failure batch";
    EXPECT_EQ(Files(), "3a011 3c013 3d-1-1 3e-1-1 4a-1-1") << "the task's held paths failed";
    EXPECT_EQ(m.QueryFailNumByID(3), 2);
    EXPECT_EQ(m.QueryFailNumByID(4), 0) << "another task's failures";
    EXPECT_EQ(Read(&DataBaseManager::QueryFailFileInfoByID, 3, 1), "a,/a,11;---");
    TransferFileInfo sent = Outcome(L"/a", 2, 0);
    m.UpdateTaskFileStatus(sent);
    std::vector<TransferFileInfo> batch{Outcome(L"/d", 1, 0), Outcome(L"/b", 1, 0),
                                        Outcome(L"/e", 0, 7)};
    EXPECT_EQ(Commits([&] { m.UpdateTaskFileStatus(batch); }), 1) << "an outcome batch";
    EXPECT_EQ(Files(), "3a20 3c013 3d10 3e07 4a-1-1")
        << "one outcome, then a batch; a path the task does not hold changes nothing";
    EXPECT_EQ(Read(&DataBaseManager::QueryFailFileInfoByID, 3, 4), "c,/c,13;e,/e,7;--");
    EXPECT_TRUE(Lines().empty()) << ::testing::PrintToString(Lines());
}

// A refused row is logged as the single form logs it, and the rows after it still land.
TEST_F(FileOutcomesTest, ARefusedOutcomeIsLoggedAndTheRowsAfterItLand) {
    Exec(
        "create trigger refuse before update on TransferFileInfo when new.fileName = 'd' "
        "begin select raise(abort, 'refused'); end");
    std::vector<TransferFileInfo> batch{Outcome(L"/d", 2, 7), Outcome(L"/c", 0, 14)};
    Manager().UpdateTaskFileStatus(batch);
    EXPECT_EQ(Files(), "3a-1-1 3c014 3d-1-1 3e-1-1 4a-1-1");
    EXPECT_EQ(Lines(), LogLines{Error("SQLite error:refused", "UpdateTaskFileStatus")});
}

// The task's file list replaces the caller's; the table keeps no size and no other path.
TEST_F(FileOutcomesTest, TheTaskFileListReplacesTheCallers) {
    std::vector<TransferFileInfo> batch{Outcome(L"/a", 2, 0), Outcome(L"/c", 0, 14)};
    Manager().UpdateTaskFileStatus(batch);
    std::list<TransferFileInfo> list(2, Outcome(L"stale", 5, 5));
    Manager().GetTaskFileInfo(3, list);
    std::string seen;
    for (const TransferFileInfo& f : list) {
        seen += std::to_string(f.taskId) + Narrow(f.filePath + f.otherPath) +
                std::to_string(f.status) + std::to_string(f.fileSize) + std::to_string(f.errCode) +
                " ";
    }
    EXPECT_EQ(seen, "3/a200 3/c0014 3/d-10-1 3/e-10-1 ");
    Manager().GetTaskFileInfo(8, list);
    EXPECT_TRUE(list.empty()) << "a task without files";
}

// An empty list writes nothing. The inserts refuse it with the line of a manager that is not
// initialised; the file batches say nothing.
TEST_F(ItemRecordsTest, EmptyListsWriteNothing) {
    DataBaseManager& m = Manager();
    std::vector<SendAppInfo> apps;
    std::vector<TransferSettingInfo> settings;
    std::vector<std::wstring> browsers;
    std::vector<SendFailedFileInfo> failed;
    std::vector<TransferFileInfo> outcomes;
    m.InsertAppInfo(apps, 1), m.InsertSettingInfo(settings, 1), m.InsertBookmarkInfo(browsers, 1);
    m.UpdateFailFileInfo(failed, 1), m.UpdateTaskFileStatus(outcomes);
    EXPECT_EQ(Lines(),
              (LogLines{Error("InsertAppInfo sql is not init", "InsertAppInfo"),
                        Error("InsertSettingInfo sql is not init", "InsertSettingInfo"),
                        Error("InsertBookmarkInfo sql is not init", "InsertBookmarkInfo")}));
    EXPECT_EQ(Count("select (select count(1) from TransferAppInfo) + (select count(1) from "
                    "TransferSettingInfo) + (select count(1) from TransferBookmarkInfo)"),
              0);
}

// Applications, settings, bookmarks and file results as the host sees them: the rows, what the
// counts, lists and arrays give back, and the exact log lines.
#include <fstream>
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

TEST_F(ItemRecordsTest, ApplicationsAndSettingsAreCountedUpdatedByNameAndReadBack) {
    DataBaseManager& m = Manager();
    std::vector<SendAppInfo> apps{{L"Editor", 1, 2, L"C:\\e.ico"}, {L"Viewer", 3, 4, L""}};
    std::vector<TransferSettingInfo> settings{{L"Wall", 1}, {L"Mouse", 2}, {L"Wall", 3}};
    m.InsertAppInfo(apps, 7);
    m.InsertAppInfo(apps, 7);
    m.InsertAppInfo(apps, 8);
    m.InsertSettingInfo(settings, 7);  // the second "Wall" is refused; the others land
    // Only the status changes, on every row of that name in that task.
    m.UpdateTaskAPPStatus({L"Editor", 5, 99, L"other.ico"}, 7);
    m.UpdateTaskAPPStatus({L"Not Installed", 6, 6, L""}, 7);
    m.UpdateSettingInfo({L"Mouse", 9}, 7);
    m.UpdateSettingInfo({L"Mouse", 8}, 8);
    EXPECT_EQ(
        Scalar("select group_concat(taskID || appName || downStatusIndex || installStatusIndex "
               "|| appIconPath, ' ') || ' ' || (select group_concat(taskID || settingName || "
               "resultType, ' ') from TransferSettingInfo) from TransferAppInfo"),
        "7Editor52C:\\e.ico 7Viewer34 7Editor52C:\\e.ico 7Viewer34 8Editor12C:\\e.ico 8Viewer34 "
        "7Wall1 7Mouse9");
    EXPECT_EQ(Lines(), LogLines{Error("SQLite error:UNIQUE constraint failed: TransferSettingInfo."
                                      "taskID, TransferSettingInfo.settingName",
                                      "InsertSettingInfo")});
    // A name another program stored as NULL reads as empty, with a line; the other fields fill,
    Exec("insert into TransferAppInfo values (10, NULL, 1, 2, substr(hex(zeroblob(300)), 2))");
    ClearLines();  // and a long text keeps its first 511 units
    EXPECT_EQ(Read(&DataBaseManager::QueryAppInfoByID, 10, 4),
              ",1,2," + std::string(511, '0') + ";---");
    EXPECT_EQ(Lines(), LogLines{Error("QueryAppInfoByID wcscpy_s appName failed, errName = 22",
                                      "QueryAppInfoByID")});
    EXPECT_EQ(std::make_tuple(m.QueryAppNumByID(7), m.QueryAppNumByID(9), m.QuerySettingNumByID(7)),
              std::make_tuple(4, 0, 2));
    EXPECT_EQ(Read(&DataBaseManager::QueryAppInfoByID, 7, 3),
              "Editor,5,2,C:\\e.ico;Viewer,3,4,;Editor,5,2,C:\\e.ico;-");
    EXPECT_EQ(Read(&DataBaseManager::QueryAppInfoByID, 8, 4) +
                  Read(&DataBaseManager::QueryAppInfoByID, 7, 0),
              "Editor,1,2,C:\\e.ico;Viewer,3,4,;------");
    // Rows come as SQLite returns them: here in the order of the table's key.
    EXPECT_EQ(Read(&DataBaseManager::QuerySettingInfoByID, 7, 4), "Mouse,9;Wall,1;--");
    m.QueryAppInfoByID(nullptr, 7, 4);
    // Application names are appended to the caller's list; settings and browsers replace it.
    std::vector<std::wstring> browsers{L"One", L"Two", L"One"}, names{L"held"};
    m.InsertBookmarkInfo(browsers, 7);
    m.QueryAllAppNameByID(names, 8);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"held", L"Editor", L"Viewer"}));
    m.GetTaskSettingInfo(7, names);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Mouse", L"Wall"}));
    m.GetTaskBookmarkInfo(7, names);
    EXPECT_EQ(names, browsers);
}

// A failure batch marks the held paths failed in one commit, a file sent after all leaves them;
// outcomes go one by one or a batch a commit, and the task's files read back with them.
TEST_F(ItemRecordsTest, FailuresAndOutcomesAreWrittenInOneCommitPerBatch) {
    DataBaseManager& m = Manager();
    Exec(
        "insert into TransferFileInfo values (3,'a','/a',-1,'t',-1), (3,'c','/c',-1,'t',-1), "
        "(3,'d','/d',-1,'t',-1), (3,'e','/e',-1,'t',-1), (4,'a','/a',-1,'t',-1)");
    const std::string files =
        "select group_concat(taskID || fileName || status || errCode, ' ') "
        "from TransferFileInfo";
    std::vector<SendFailedFileInfo> failed{{L"x", L"/a", 11}, {L"x", L"/b", 12}, {L"x", L"/c", 13}};
    int before = CommitsInWal(MainDbFile());
    m.UpdateFailFileInfo(failed, 3);
    EXPECT_EQ(CommitsInWal(MainDbFile()) - before, 1);
    EXPECT_EQ(Scalar(files), "3a011 3c013 3d-1-1 3e-1-1 4a-1-1");  // not the other task's "/a"
    EXPECT_EQ(std::make_pair(m.QueryFailNumByID(3), m.QueryFailNumByID(4)), std::make_pair(2, 0));
    EXPECT_EQ(Read(&DataBaseManager::QueryFailFileInfoByID, 3, 1), "a,/a,11;---");
    // A path the task does not hold changes nothing.
    TransferFileInfo sent = Outcome(L"/a", 2, 0);
    m.UpdateTaskFileStatus(sent);
    std::vector<TransferFileInfo> batch{Outcome(L"/d", 1, 0), Outcome(L"/b", 1, 0),
                                        Outcome(L"/e", 0, 7)};
    before = CommitsInWal(MainDbFile());
    m.UpdateTaskFileStatus(batch);
    EXPECT_EQ(CommitsInWal(MainDbFile()) - before, 1);
    EXPECT_EQ(Scalar(files), "3a20 3c013 3d10 3e07 4a-1-1");
    EXPECT_EQ(Read(&DataBaseManager::QueryFailFileInfoByID, 3, 4), "c,/c,13;e,/e,7;--");
    EXPECT_TRUE(Lines().empty());
    // A refused row is logged as the single form logs it, and the rows after it still land.
    Exec(
        "create trigger refuse before update on TransferFileInfo when new.fileName = 'd' "
        "begin select raise(abort, 'refused'); end");
    batch = {Outcome(L"/d", 2, 7), Outcome(L"/c", 0, 14)};
    m.UpdateTaskFileStatus(batch);
    EXPECT_EQ(Scalar(files), "3a20 3c014 3d10 3e07 4a-1-1");
    EXPECT_EQ(Lines(), LogLines{Error("SQLite error:refused", "UpdateTaskFileStatus")});
    // The task's file list replaces the caller's; the table keeps no size and no other path.
    std::list<TransferFileInfo> list(2, Outcome(L"stale", 5, 5));
    m.GetTaskFileInfo(3, list);
    std::string seen;
    for (const TransferFileInfo& f : list) {
        seen += std::to_string(f.taskId) + Narrow(f.filePath + f.otherPath) +
                std::to_string(f.status) + std::to_string(f.fileSize) + std::to_string(f.errCode) +
                " ";
    }
    EXPECT_EQ(seen, "3/a200 3/c0014 3/d100 3/e007 ");
    m.GetTaskFileInfo(8, list);
    EXPECT_TRUE(list.empty());
    // Nothing to record says nothing; before the start-up, one line for the whole batch.
    ClearLines();
    std::vector<TransferFileInfo> none;
    m.UpdateTaskFileStatus(none);
    SetInit(false);
    m.UpdateTaskFileStatus(batch);
    EXPECT_EQ(Lines(),
              LogLines{Error("UpdateTaskFileStatus sql is not init", "UpdateTaskFileStatus")});
}

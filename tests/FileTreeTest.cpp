// Recording a tree's selected files for a task and rebuilding that selection on resume, from the
// migration database or from the document cache.
#include <algorithm>
#include <tuple>

#include "Platform.h"
#include "TestSupport.h"

namespace {
const LogLines kInsertLines = {Info("Start insert file info.", "InsertFileInfo"),
                               Info("Finish insert file info.", "InsertFileInfo")};

DirTreeNode* Selected(DirTreeNode* node) {
    node->Select();
    return node;
}

class FileTreeTest : public DataBaseManagerTest {
protected:
    void SetUp() override {
        DataBaseManagerTest::SetUp();
        Started();
    }
    // The recorded rows, a line "name path target error status" each: a failure's diff names
    // the entries.
    std::string FileRows(int taskId) const {
        return Scalar(
            "select ifnull(group_concat(fileName || ' ' || sendFilePath || ' ' || "
            "targetPath || ' ' || errCode || ' ' || status, char(10)), '') from (select * "
            "from TransferFileInfo where taskID = " +
            std::to_string(taskId) + " order by rowid)");
    }
};
}  // namespace

TEST_F(FileTreeTest, RecordsSelectedLeavesFolderByFolderInAscendingKeyOrder) {
    DirectoryTreeManager tree;
    DirTreeNode* b = tree.AddNode(nullptr, L"b", true);
    Selected(tree.AddNode(b, L"z", false))->targetPath = L"D:\\z";
    Selected(tree.AddNode(b, L"a", false));
    Selected(tree.AddNode(b, L"empty", true));  // a selected empty folder is a leaf
    Selected(tree.AddNode(tree.AddNode(b, L"sub", true), L"c", false));
    DirTreeNode* a = tree.AddNode(nullptr, L"a", true);
    Selected(tree.AddNode(a, L"x", false));
    tree.AddNode(a, L"y", false);  // not selected
    // An unselected folder hides its subtree, whatever the states below it.
    tree.AddNode(tree.AddNode(nullptr, L"hidden", true), L"s", false)->selectState = 1;
    // A selected non-folder with children is a leaf; its children are not visited.
    Selected(tree.AddNode(Selected(tree.AddNode(nullptr, L"pkg", false)), L"inner", false));
    Selected(tree.AddNode(nullptr, L"top", false))->targetPath = L"D:\\top";
    Selected(tree.AddNode(nullptr, L"bad", false));  // refused by the database: logged, left out
    Exec(
        "create trigger refuse before insert on TransferFileInfo when new.fileName = 'bad' "
        "begin select raise(abort, 'row refused'); end");
    Manager().InsertFileInfo(tree.GetRootNode(), 7);  // no task row 7: recorded anyway
    const std::string s(1, Platform::kPathSeparator);
    EXPECT_EQ(FileRows(7), "pkg pkg  -1 -1\ntop top D:\\top -1 -1\nx a" + s + "x  -1 -1\na b" + s +
                               "a  -1 -1\nempty b" + s + "empty  -1 -1\nz b" + s +
                               "z D:\\z -1 -1\nc b" + s + "sub" + s + "c  -1 -1")
        << "the selected leaves, a folder's own first, then its subfolders, in key order";
    const LogLines lines{kInsertLines[0], Error("SQLite error:row refused", "InitFileInfoDB"),
                         kInsertLines[1]};
    EXPECT_EQ(Lines(), lines) << "a refused row is logged, the others land";
    // More leaves than a batch holds: the batch commits and the next one begins, without a line.
    for (int i = 0; i < 10000; ++i) Selected(tree.AddNode(b, std::to_wstring(i), false));
    ClearLines();
    Manager().InsertFileInfo(tree.GetRootNode(), 8);
    EXPECT_EQ(Scalar("select count(*) from TransferFileInfo where taskID = 8"), "10007")
        << "more leaves than a batch holds";
    EXPECT_EQ(Lines(), lines) << "the same refused row, and nothing more";
}

TEST_F(FileTreeTest, AResumeSelectsTheNewestTasksEntriesAndAddsItsFailedAndMissingOnes) {
    std::vector<SendFailedFileInfo> failed{{L"kept", L"kept", 9}};
    int missing = 5;
    DirectoryTreeManager tree;
    DirTreeNode* there = tree.AddNode(nullptr, L"there", false);
    DirTreeNode* folder = tree.AddNode(nullptr, L"folder", true);
    DirTreeNode* fine = tree.AddNode(folder, L"fine", false);
    DirTreeNode* other = tree.AddNode(folder, L"other", false);
    fine->targetPath = L"old";
    // The older task's row is not read; the newest task's rows: failed and present, failed and
    // missing, sent and missing, sent with a NULL target, which empties the node's.
    Exec(
        "insert into TransferTask (taskID, transferFileNums, completeNums, transferSize, "
        "completeSize, status, transferAppNums, transferSucAppNums, transferSettingNums, "
        "transferSucSettingNums) values (1,0,0,0,0,0,0,0,0,0), (2,0,0,0,0,0,0,0,0,0);"
        "insert into TransferFileInfo (taskID, fileName, sendFilePath, targetPath, status, "
        "errCode) values (1, 'x', 'there', 'x', 0, 1), (2, 'n1', 'there', 'T', 0, 3), "
        "(2, 'n2', 'gone', 'G', 0, 4), (2, 'n3', 'gone too', 'G', 1, 5), (2, 'n4', '" +
        Narrow(fine->sendFilePath) + "', NULL, 1, 6)");
    Manager().RecoveryDirTreeByID(failed, tree, missing);
    ExpectEach<int>({{"a failed entry that is there is selected", there->selectState, 1},
                     {"a sent entry is selected", fine->selectState, 1},
                     {"its folder partly", folder->selectState, DirTreeNode::kPartlySelected},
                     {"an entry the task does not hold is not", other->selectState, 0}});
    ExpectEach<std::wstring>({{"the target is the newest task's", there->targetPath, L"T"},
                              {"a NULL target empties the node's", fine->targetPath, L""}});
    // The statement has no ORDER BY: the rows come in whatever order SQLite reads them.
    std::vector<std::string> seen;
    for (const auto& f : failed)
        seen.push_back(Narrow(f.fileName + L" " + f.sendFilePath) + " " +
                       std::to_string(f.errCode));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"kept kept 9", "n1 there 3", "n2 gone 4"}))
        << "the newest task's failures, added to the caller's";
    EXPECT_EQ(missing, 7) << "\"gone\" and \"gone too\", added to what the caller held";
    EXPECT_TRUE(Lines().empty());
}

// The cache holds each kind of entry in a table of its own; a resume selects the files not yet
// sent and fills their shot paths from the cache path, as far as its parts reach.
TEST_F(FileTreeTest, TheCacheResumeSelectsUnsentFilesAndFillsTheirShotPaths) {
    DirectoryTreeManager tree;
    DirTreeNode* drive = tree.AddNode(nullptr, L"C:", true);
    DirTreeNode* users = tree.AddNode(drive, L"Users", true);
    DirTreeNode* docs = tree.AddNode(users, L"docs", true);
    DirTreeNode* a = tree.AddNode(docs, L"a", false);
    DirTreeNode* b = tree.AddNode(docs, L"b", false);
    DirTreeNode* sent = tree.AddNode(docs, L"sent", false);
    DirTreeNode* small = tree.AddNode(docs, L"small", false);
    DataBaseManager& m = Manager();
    m.CreateDocCacheDb();
    m.InsertFilesToCacheDb({{L"/root/u/d/A", L"t", 5, a->sendFilePath, 0},
                            {L"x/y/z/w/B", L"t", 6, b->sendFilePath, 0},
                            {L"u/d/S", L"t", 7, sent->sendFilePath, 1},
                            {L"n/o", L"t", 8, L"none", -2}},
                           false);
    m.InsertFilesToCacheDb({{L"u/d/M", L"", 1LL << 40, small->sendFilePath, 0}}, true);
    m.InsertEmptyFilesToCacheDb({{L"e/f", L"C:\\e", 1, 1700000000123LL, 3}});
    {
        TestDb cache(CacheDbFile());  // closed before the library opens the file again
        EXPECT_EQ(
            cache.Scalar("select group_concat(_id || filepath || tarpath || filesize || result, "
                         "' ') from (select * from normal_file union all select * from "
                         "small_file)"),
            "1/root/u/d/At50 2x/y/z/w/Bt60 3u/d/St71 4n/ot8-2 1u/d/M10995116277760")
            << "the normal files, then the small ones";
        EXPECT_EQ(cache.Scalar("select filepath || winFilePath || isFolder || modifyTime || result "
                               "from empty_file"),
                  "e/fC:\\e117000000001233")
            << "the empty files";
    }
    m.RecoveryDirTreeByCacheDb(tree, false);
    ExpectEach<int>({{"an unsent file is selected", a->selectState, 1},
                     {"whatever its path's length", b->selectState, 1},
                     {"a sent file is not", sent->selectState, 0},
                     {"nor a small file on the normal files' resume", small->selectState, 0}});
    // a: A, d, u, then the root's child C: is never filled; b stops at docs, already filled.
    ExpectEach<std::wstring>({{"a file's shot path: its cache path's last part", a->shotPath, L"A"},
                              {"another file's", b->shotPath, L"B"},
                              {"its folder's: the part before", docs->shotPath, L"d"},
                              {"the folder above", users->shotPath, L"u"},
                              {"never the root's child", drive->shotPath, L""}});
    m.RecoveryDirTreeByCacheDb(tree, true);
    EXPECT_EQ(small->selectState, 1) << "the small files' resume";
    EXPECT_EQ(small->shotPath, L"M");
    // Each write opens the cache, says where it starts and finishes, and closes it again: its last
    // close leaves no log.
    EXPECT_EQ(Lines().size(), 12u);
    EXPECT_EQ(Lines().back(), Info("connect cache DB", "ConnectDb"));
    EXPECT_FALSE(Logged(L"error")) << ::testing::PrintToString(Lines());
    EXPECT_FALSE(std::filesystem::exists(CacheDbFile().string() + "-wal")) << "no log left";
    ClearLines();
    m.InsertFilesToCacheDb({}, true);
    EXPECT_EQ(Lines(), LogLines{Info("Start insert cache file.", "InsertFilesToCacheDb")})
        << "an empty list opens nothing";
}

// Cache paths split at one delimiter; other texts at any of several. A leading delimiter gives an
// empty part, runs count as one, trailing ones give none, and an empty text gives one empty part.
TEST(SplitStringTest, PartsAreAppendedAsTheDelimitersCutThem) {
    const std::tuple<std::wstring, std::wstring, std::vector<std::wstring>> cases[] = {
        {L"\\\\a\\b/c//", L"/\\", {L"kept", L"", L"a", L"b", L"c"}},
        {L"a//b/", L"/", {L"kept", L"a", L"b"}},
        {L"", L"/", {L"kept", L""}}};
    for (const auto& [text, delimiters, parts] : cases) {
        std::vector<std::wstring> split{L"kept"};
        SplitString(text, delimiters, split);
        EXPECT_EQ(split, parts) << Narrow(text) << " at " << Narrow(delimiters);
    }
}

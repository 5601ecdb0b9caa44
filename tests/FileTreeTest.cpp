// Recording a tree's selected files for a task, and rebuilding that selection on resume.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "TestSupport.h"

namespace {
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

const char* const kFileRowsSql =
    "select taskID, fileName, sendFilePath, targetPath, errCode, status from TransferFileInfo "
    "order by rowid";

std::vector<std::string> FileRow(int taskId, const DirTreeNode* node) {
    return {std::to_string(taskId),
            Narrow(node->fileName),
            Narrow(node->sendFilePath),
            Narrow(node->targetPath),
            "-1",
            "-1"};
}

DirTreeNode* AddSelected(DirectoryTreeManager& tree, DirTreeNode* parent, const wchar_t* name,
                         bool isFolder) {
    DirTreeNode* node = tree.AddNode(parent, name, isFolder);
    node->Select();
    return node;
}

class FileTreeTest : public DataBaseManagerTest {
protected:
    // A TransferTask row; returns its id.
    int AddTask() const {
        Exec(
            "INSERT INTO TransferTask (transferFileNums, completeNums, transferSize, "
            "completeSize, status, transferAppNums, transferSucAppNums, transferSettingNums, "
            "transferSucSettingNums) VALUES (0,0,0,0,0,0,0,0,0)");
        return std::stoi(Scalar("select max(taskID) from TransferTask"));
    }
    void AddFileRow(int taskId, const std::wstring& path, const std::string& targetPathSql,
                    int status, int errCode) const {
        Exec(
            "INSERT INTO TransferFileInfo (taskID,fileName,sendFilePath,targetPath,status,"
            "errCode) VALUES (" +
            std::to_string(taskId) + ",'name of " + Narrow(path) + "','" + Narrow(path) + "'," +
            targetPathSql + "," + std::to_string(status) + "," + std::to_string(errCode) + ")");
    }
    std::vector<LogEntry> InsertLines() const {
        return {Info("Start insert file info.", "InsertFileInfo"),
                Info("Finish insert file info.", "InsertFileInfo")};
    }
};

TEST_F(FileTreeTest, NullRootLogsOnlyTheStartLine) {
    Manager();
    ClearLines();
    Manager().InsertFileInfo(nullptr, 1);
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{Info("Start insert file info.", "InsertFileInfo")}));
}

TEST_F(FileTreeTest, RecordsSelectedLeavesFolderByFolderInAscendingKeyOrder) {
    DirectoryTreeManager tree;
    DirTreeNode* b = tree.AddNode(nullptr, L"b", true);
    DirTreeNode* bz = AddSelected(tree, b, L"z.txt", false);
    DirTreeNode* ba = AddSelected(tree, b, L"a.txt", false);
    DirTreeNode* bEmpty = AddSelected(tree, b, L"empty", true);  // a selected empty folder
    DirTreeNode* bSub = tree.AddNode(b, L"sub", true);
    DirTreeNode* bSubC = AddSelected(tree, bSub, L"c.txt", false);
    DirTreeNode* a = tree.AddNode(nullptr, L"a", true);
    DirTreeNode* ax = AddSelected(tree, a, L"x.txt", false);
    tree.AddNode(a, L"y.txt", false);  // not selected
    // An unselected folder hides its subtree, whatever the states below it.
    DirTreeNode* hidden = tree.AddNode(nullptr, L"hidden", true);
    tree.AddNode(hidden, L"secret.txt", false)->selectState = DirTreeNode::kSelected;
    // A selected non-folder with children is a leaf; its children are not visited.
    DirTreeNode* pkg = AddSelected(tree, nullptr, L"pkg", false);
    AddSelected(tree, pkg, L"inner.txt", false);
    DirTreeNode* top = AddSelected(tree, nullptr, L"top.txt", false);
    top->targetPath = L"D:\\new\\top.txt";
    bz->targetPath = L"D:\\new\\z.txt";
    ASSERT_EQ(hidden->selectState, 0);
    ASSERT_NE(pkg->selectState, 0);

    Manager();
    ClearLines();
    Manager().InsertFileInfo(tree.GetRootNode(), 7);  // no TransferTask row 7: recorded anyway

    EXPECT_EQ(Query(kFileRowsSql),
              (Rows{FileRow(7, pkg), FileRow(7, top), FileRow(7, ax), FileRow(7, ba),
                    FileRow(7, bEmpty), FileRow(7, bz), FileRow(7, bSubC)}));
    EXPECT_EQ(Lines(), InsertLines());
}

TEST_F(FileTreeTest, ARootWithoutSelectionRecordsNothing) {
    DirectoryTreeManager tree;
    tree.AddNode(nullptr, L"file.txt", false);
    Manager();
    ClearLines();
    Manager().InsertFileInfo(tree.GetRootNode(), 1);
    EXPECT_EQ(Count("select count(*) from TransferFileInfo"), 0);
    EXPECT_EQ(Lines(), InsertLines());
}

TEST_F(FileTreeTest, AFullBatchOf10001LeavesLandsWithOneCleanIntermediateCommit) {
    DirectoryTreeManager tree;
    DirTreeNode* folder = tree.AddNode(nullptr, L"many", true);
    for (int i = 0; i < 10001; ++i)
        AddSelected(tree, folder, std::to_wstring(100000 + i).c_str(), false);
    Manager();
    ClearLines();
    Manager().InsertFileInfo(tree.GetRootNode(), 3);
    EXPECT_EQ(Count("select count(*) from TransferFileInfo where taskID = 3"), 10001);
    EXPECT_EQ(Scalar("select fileName from TransferFileInfo where rowid = 10001"), "110000");
    EXPECT_EQ(Lines(), InsertLines());  // no failed begin or commit
}

TEST_F(FileTreeTest, AChainOf100000FoldersIsWalkedWithoutRecursion) {
    // Built by hand: the model's full paths would make such a chain quadratic in memory.
    constexpr int kDepth = 100000;
    std::deque<DirTreeNode> chain(kDepth + 2);
    for (int i = 1; i < kDepth + 2; ++i) {
        DirTreeNode& node = chain[i];
        node.fileName = node.sendFilePath = L"n" + std::to_wstring(i);
        node.parent = &chain[i - 1];
        node.isFolder = i <= kDepth;
        node.selectState = DirTreeNode::kSelected;
        node.parent->children.emplace(node.fileName, &node);
    }
    Manager();
    Manager().InsertFileInfo(&chain[0], 1);
    EXPECT_EQ(Query("select fileName from TransferFileInfo"), (Rows{{"n100001"}}));
}

TEST_F(FileTreeTest, AFailingRowIsLoggedAndTheOthersAreKept) {
    DirectoryTreeManager tree;
    AddSelected(tree, nullptr, L"a", false);
    AddSelected(tree, nullptr, L"bad", false);
    AddSelected(tree, nullptr, L"c", false);
    Manager();
    Exec(
        "CREATE TRIGGER refuse BEFORE INSERT ON TransferFileInfo WHEN NEW.fileName = 'bad' "
        "BEGIN SELECT RAISE(ABORT, 'row refused'); END");
    ClearLines();
    Manager().InsertFileInfo(tree.GetRootNode(), 1);
    EXPECT_EQ(Query("select fileName from TransferFileInfo order by rowid"), (Rows{{"a"}, {"c"}}));
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{InsertLines()[0],
                                              Error("SQLite error:row refused", "InitFileInfoDB"),
                                              InsertLines()[1]}));
}

TEST_F(FileTreeTest, InitFileInfoDBIgnoresNullArguments) {
    DirTreeNode node;
    Manager();
    ClearLines();
    InitFileInfoDB(nullptr, 1, &node, nullptr);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(FileTreeTest, AResumedTaskSelectsItsRecordedLeavesWithTheirTargetPaths) {
    DirectoryTreeManager before;
    DirTreeNode* docs = before.AddNode(nullptr, L"docs", true);
    AddSelected(before, docs, L"a.txt", false)->targetPath = L"D:\\docs\\a.txt";
    before.AddNode(docs, L"b.txt", false);
    AddSelected(before, nullptr, L"empty", true)->targetPath = L"D:\\empty";
    Manager();
    int taskId = AddTask();
    Manager().InsertFileInfo(before.GetRootNode(), taskId);

    DirectoryTreeManager after;
    DirTreeNode* freshDocs = after.AddNode(nullptr, L"docs", true);
    DirTreeNode* a = after.AddNode(freshDocs, L"a.txt", false);
    DirTreeNode* b = after.AddNode(freshDocs, L"b.txt", false);
    DirTreeNode* empty = after.AddNode(nullptr, L"empty", true);
    std::vector<SendFailedFileInfo> failed;
    int missing = 0;
    Manager().RecoveryDirTreeByID(failed, after, missing);

    EXPECT_NE(a->selectState, 0);
    EXPECT_EQ(a->targetPath, L"D:\\docs\\a.txt");
    EXPECT_NE(empty->selectState, 0);
    EXPECT_EQ(empty->targetPath, L"D:\\empty");
    EXPECT_EQ(b->selectState, 0);
    EXPECT_NE(freshDocs->selectState, 0);  // reachable again by the next walk
    EXPECT_TRUE(failed.empty());
    EXPECT_EQ(missing, 0);
}

TEST_F(FileTreeTest, FailedAndMissingEntriesAreAddedToWhatTheCallerHolds) {
    DirectoryTreeManager tree;
    DirTreeNode* there = tree.AddNode(nullptr, L"there", false);
    DirTreeNode* fine = tree.AddNode(nullptr, L"fine", false);
    fine->targetPath = L"old";
    Manager();
    AddFileRow(AddTask(), fine->sendFilePath, "'x'", 0, 1);  // an older task: not read
    int taskId = AddTask();
    AddFileRow(taskId, there->sendFilePath, "'T'", 0, 3);  // failed, present
    AddFileRow(taskId, L"gone", "'G'", 0, 4);              // failed, missing
    AddFileRow(taskId, L"gone too", "'G'", -1, 5);         // not failed, missing
    AddFileRow(taskId, fine->sendFilePath, "NULL", 1, 6);  // NULL target path empties the node's

    std::vector<SendFailedFileInfo> failed{{L"kept", L"kept", 9}};
    int missing = 5;
    Manager().RecoveryDirTreeByID(failed, tree, missing);

    EXPECT_NE(there->selectState, 0);
    EXPECT_EQ(there->targetPath, L"T");
    EXPECT_NE(fine->selectState, 0);
    EXPECT_EQ(fine->targetPath, L"");
    ASSERT_EQ(failed.size(), 3u);
    EXPECT_EQ(failed[0].fileName, L"kept");
    // The statement has no ORDER BY: the rows come in whatever order SQLite reads them.
    std::sort(failed.begin() + 1, failed.end(),
              [](const auto& x, const auto& y) { return x.sendFilePath < y.sendFilePath; });
    EXPECT_EQ(failed[1].fileName, L"name of gone");
    EXPECT_EQ(failed[1].sendFilePath, L"gone");
    EXPECT_EQ(failed[1].errCode, 4);
    EXPECT_EQ(failed[2].fileName, L"name of " + there->sendFilePath);
    EXPECT_EQ(failed[2].sendFilePath, there->sendFilePath);
    EXPECT_EQ(failed[2].errCode, 3);
    EXPECT_EQ(missing, 7);

    Manager().RecoveryDirTreeByID(failed, tree, missing);  // a second call adds again
    EXPECT_EQ(failed.size(), 5u);
    EXPECT_EQ(missing, 9);
}

TEST_F(FileTreeTest, WithoutAnyTaskOrRowsTheTreeStaysAsItWas) {
    DirectoryTreeManager tree;
    DirTreeNode* node = tree.AddNode(nullptr, L"file", false);
    Manager();
    AddFileRow(5, node->sendFilePath, "'T'", 0, 1);  // rows of a task that has no task row
    std::vector<SendFailedFileInfo> failed;
    int missing = 0;
    Manager().RecoveryDirTreeByID(failed, tree, missing);
    EXPECT_EQ(node->selectState, 0);
    AddTask();
    Manager().RecoveryDirTreeByID(failed, tree, missing);
    EXPECT_EQ(node->selectState, 0);
    EXPECT_TRUE(failed.empty());
    EXPECT_EQ(missing, 0);
}

TEST_F(FileTreeTest, AnUninitialisedManagerReadsNothing) {
    DirectoryTreeManager tree;
    Manager();
    SetInit(false);
    ClearLines();
    std::vector<SendFailedFileInfo> failed;
    int missing = 2;
    Manager().RecoveryDirTreeByID(failed, tree, missing);
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{
                           Error("RecoveryDirTreeByID sql is not init", "RecoveryDirTreeByID")}));
    EXPECT_EQ(missing, 2);
}

TEST(SplitStringTest, PartsFollowTheDelimiterRules) {
    auto split = [](const std::wstring& text, const std::wstring& delimiters) {
        std::vector<std::wstring> parts;
        SplitString(text, delimiters, parts);
        return parts;
    };
    using Parts = std::vector<std::wstring>;
    EXPECT_EQ(split(L"/a//b/", L"/"), (Parts{L"", L"a", L"b"}));
    EXPECT_EQ(split(L"abc", L"/"), (Parts{L"abc"}));
    EXPECT_EQ(split(L"", L"/"), (Parts{L""}));
    EXPECT_EQ(split(L"a/b", L""), (Parts{L"a/b"}));
    EXPECT_EQ(split(L"a\\b/c", L"/\\"), (Parts{L"a", L"b", L"c"}));

    std::vector<std::wstring> parts{L"kept"};
    SplitString(L"x/y", L"/", parts);
    EXPECT_EQ(parts, (Parts{L"kept", L"x", L"y"}));
}

TEST_F(FileTreeTest, ShotPathsFillUpwardsAsFarAsThePartsReach) {
    DirectoryTreeManager tree;
    DirTreeNode* top = tree.AddNode(nullptr, L"top", true);
    DirTreeNode* mid = tree.AddNode(top, L"mid", true);
    DirTreeNode* low = tree.AddNode(mid, L"low", true);
    DirTreeNode* file = tree.AddNode(low, L"file", false);
    FillShotPath(L"b/c", file);  // fewer parts than fillable levels
    EXPECT_EQ(file->shotPath, L"c");
    EXPECT_EQ(low->shotPath, L"b");
    EXPECT_EQ(mid->shotPath, L"");
    FillShotPath(L"x", nullptr);
}
}  // namespace

// The document cache: a fresh database per CreateDocCacheDb, bulk inserts, and the resume that
// selects the entries still to be sent.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "TestSupport.h"

namespace {
class DocCacheTest : public DataBaseManagerTest {
protected:
    Rows CacheQuery(const std::string& sql) const { return TestDb(CacheDbFile()).Query(sql); }
    void CacheExec(const std::string& sql) const { TestDb(CacheDbFile()).Exec(sql); }

    // A started manager with an empty cache database and an empty log.
    void FreshCache() {
        Manager().CreateDocCacheDb();
        ClearLines();
    }
    std::vector<LogEntry> InsertLines(const std::string& what, const std::string& operation) {
        return {Info("Start insert " + what + ".", operation),
                Info("connect cache DB", "ConnectDb"),
                Info("Finish insert " + what + ".", operation)};
    }
};

CacheNode File(const std::wstring& winPath, const std::wstring& cachePath, int result) {
    return {cachePath, L"t.tar", 10, winPath, result};
}

TEST_F(DocCacheTest, EachCreationStartsFromAnEmptyCache) {
    Manager();
    ClearLines();
    Manager().CreateDocCacheDb();
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{Info("connect cache DB", "ConnectDb")}));
    EXPECT_EQ(CacheQuery("select type, name from sqlite_master where name not like 'sqlite_%' "
                         "order by name"),
              (Rows{{"table", "empty_file"},
                    {"index", "filePathIndex"},
                    {"table", "normal_file"},
                    {"table", "small_file"},
                    {"index", "tarPathIndex"}}));

    Manager().InsertFilesToCacheDb({File(L"w", L"c", 0)}, false);
    ClearLines();
    Manager().CreateDocCacheDb();
    EXPECT_EQ(CacheQuery("select count(*) from normal_file"), (Rows{{"0"}}));
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{Info("connect cache DB", "ConnectDb")}));
}

TEST_F(DocCacheTest, FilesGoToTheTableTheirKindNames) {
    FreshCache();
    Manager().InsertFilesToCacheDb({{L"a/b", L"x.tar", 5, L"C:\\a\\b", 0}}, false);
    Manager().InsertFilesToCacheDb({{L"s/t", L"", 1LL << 40, L"C:\\s\\t", -2}}, true);
    EXPECT_EQ(CacheQuery("select _id, filepath, tarpath, filesize, winFilePath, result from "
                         "normal_file"),
              (Rows{{"1", "a/b", "x.tar", "5", "C:\\a\\b", "0"}}));
    // An empty tarpath is empty text, which small_file's NOT NULL accepts.
    EXPECT_EQ(CacheQuery("select filepath, tarpath, filesize, winFilePath, result from "
                         "small_file"),
              (Rows{{"s/t", "", "1099511627776", "C:\\s\\t", "-2"}}));
    std::vector<LogEntry> once = InsertLines("cache file", "InsertFilesToCacheDb");
    std::vector<LogEntry> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(Lines(), twice);
}

TEST_F(DocCacheTest, EmptyEntriesGoToEmptyFile) {
    FreshCache();
    Manager().InsertEmptyFilesToCacheDb(
        {{L"e/f", L"C:\\e\\f", 1, 1700000000123LL, 0}, {L"e/g", L"C:\\e\\g", 0, -1, 3}});
    EXPECT_EQ(CacheQuery("select filepath, winFilePath, isFolder, modifyTime, result from "
                         "empty_file order by _id"),
              (Rows{{"e/f", "C:\\e\\f", "1", "1700000000123", "0"},
                    {"e/g", "C:\\e\\g", "0", "-1", "3"}}));
    EXPECT_EQ(Lines(), InsertLines("empty file", "InsertEmptyFilesToCacheDb"));
}

TEST_F(DocCacheTest, AnEmptyListOpensNothing) {
    FreshCache();
    Manager().InsertFilesToCacheDb({}, true);
    Manager().InsertEmptyFilesToCacheDb({});
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{
                           Info("Start insert cache file.", "InsertFilesToCacheDb"),
                           Info("Start insert empty file.", "InsertEmptyFilesToCacheDb")}));
}

TEST_F(DocCacheTest, AFullBatchOf10001RecordsLands) {
    FreshCache();
    std::vector<CacheEmptyNode> entries(10001);
    for (size_t i = 0; i < entries.size(); ++i) entries[i].filepath = std::to_wstring(i);
    Manager().InsertEmptyFilesToCacheDb(entries);
    EXPECT_EQ(CacheQuery("select count(*), max(filepath + 0) from empty_file"),
              (Rows{{"10001", "10000"}}));
    EXPECT_EQ(Lines(), InsertLines("empty file", "InsertEmptyFilesToCacheDb"));
}

TEST_F(DocCacheTest, AFailingRowIsLoggedAndTheBatchGoesOn) {
    FreshCache();
    CacheExec(
        "CREATE TRIGGER refuse BEFORE INSERT ON normal_file WHEN NEW.filepath = 'bad' BEGIN "
        "SELECT RAISE(ABORT, 'row refused'); END");
    Manager().InsertFilesToCacheDb(
        {File(L"1", L"ok", 0), File(L"2", L"bad", 0), File(L"3", L"ok too", 0)}, false);
    EXPECT_EQ(CacheQuery("select filepath from normal_file order by _id"),
              (Rows{{"ok"}, {"ok too"}}));
    std::vector<LogEntry> expected = InsertLines("cache file", "InsertFilesToCacheDb");
    expected.insert(expected.begin() + 2, Error("SQLite error:row refused", "InsertFileToCacheDB"));
    EXPECT_EQ(Lines(), expected);
}

TEST_F(DocCacheTest, AWriteWaitsForAnotherWriterInsteadOfLosingItsRows) {
    FreshCache();
    std::optional<WriteLockHolder> lock(std::in_place, CacheDbFile());
    std::thread writer([] { Manager().InsertFilesToCacheDb({File(L"w", L"c", 0)}, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // lets the writer meet it
    lock.reset();
    writer.join();
    EXPECT_EQ(CacheQuery("select count(*) from small_file"), (Rows{{"1"}}));
    EXPECT_EQ(Lines(), InsertLines("cache file", "InsertFilesToCacheDb"));
}

TEST_F(DocCacheTest, TheResumeSelectsUnsentFilesAndFillsTheirShotPaths) {
    DirectoryTreeManager tree;
    DirTreeNode* drive = tree.AddNode(nullptr, L"C:", true);
    DirTreeNode* users = tree.AddNode(drive, L"Users", true);
    DirTreeNode* docs = tree.AddNode(users, L"docs", true);
    DirTreeNode* a = tree.AddNode(docs, L"a.txt", false);
    DirTreeNode* b = tree.AddNode(docs, L"b.txt", false);
    DirTreeNode* sent = tree.AddNode(docs, L"sent.txt", false);
    DirTreeNode* small = tree.AddNode(docs, L"small.txt", false);
    FreshCache();
    Manager().InsertFilesToCacheDb(
        {File(a->sendFilePath, L"/root/u/d/A", 0), File(b->sendFilePath, L"x/y/z/w/B", 0),
         File(sent->sendFilePath, L"u/d/S", 1), File(L"no such node", L"n/o", 0)},
        false);
    Manager().InsertFilesToCacheDb({File(small->sendFilePath, L"u/d/M", 0)}, true);
    ClearLines();

    Manager().RecoveryDirTreeByCacheDb(tree, false);

    EXPECT_NE(a->selectState, 0);
    EXPECT_NE(b->selectState, 0);
    EXPECT_EQ(sent->selectState, 0);
    EXPECT_EQ(small->selectState, 0);
    // a: A, d, u, then the root's child C: is never filled; b stops at docs, already filled.
    EXPECT_EQ(a->shotPath, L"A");
    EXPECT_EQ(b->shotPath, L"B");
    EXPECT_EQ(docs->shotPath, L"d");
    EXPECT_EQ(users->shotPath, L"u");
    EXPECT_EQ(drive->shotPath, L"");
    EXPECT_EQ(tree.GetRootNode()->shotPath, L"");
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{Info("connect cache DB", "ConnectDb")}));

    Manager().RecoveryDirTreeByCacheDb(tree, true);
    EXPECT_NE(small->selectState, 0);
    EXPECT_EQ(small->shotPath, L"M");
}

TEST_F(DocCacheTest, AResumeWithoutACacheChangesNothing) {
    DirectoryTreeManager tree;
    DirTreeNode* node = tree.AddNode(nullptr, L"file", false);
    Manager();
    ClearLines();
    Manager().RecoveryDirTreeByCacheDb(tree, false);
    EXPECT_EQ(node->selectState, 0);
    EXPECT_TRUE(Logged(L"[DATABASE]SQLite error:error code is "));
}
}  // namespace

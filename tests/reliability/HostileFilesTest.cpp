// Hostile database files: a migration database and a document cache written by another program,
// damaged, or shaped differently from ours. Each is written with the tests' own SQLite and closed
// before the library opens it. Every operation gives its neutral result or what is stored, tells
// the log what it could not do where its description says so, and leaves a file it cannot use as
// it was; the group runs under AddressSanitizer and UndefinedBehaviorSanitizer in CI.
#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <random>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {
constexpr int kSentinel = -7;
constexpr int kCapacity = 4;  // every array query is given room for four elements
constexpr wchar_t kUntouched[] = L"untouched";

bool Terminated(const wchar_t (&field)[kRecordTextUnits]) {
    return std::wmemchr(field, L'\0', kRecordTextUnits) != nullptr;
}

std::wstring Sep() { return std::wstring(1, static_cast<wchar_t>(fs::path::preferred_separator)); }

// A text of `length` copies of `c`, written in SQL.
std::string SqlRepeat(int length, char c) {
    return "replace(hex(zeroblob(" + std::to_string(length / 2) + ")), '0', '" + c + "')";
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteBytes(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}
std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// Everything the queries gave back over one database, as the caller holds it afterwards. The
// outputs start from values no query writes, so that "untouched" can be told apart.
struct Seen {
    TransferTask last;
    int historyCount = 0;
    TaskInfoNode history[kCapacity + 1];  // one more than the capacity passed: must stay as it was
    long long consumerTime = 0;
    int completeNums = kSentinel;
    long long completeSize = kSentinel;
    int completeEmptyFolders = kSentinel;
    int maxId = 0, historyNum = 0, appNum = 0, settingNum = 0, failNum = 0;
    AppInfoPariNode apps[kCapacity];
    SettingInfoPariNode settings[kCapacity];
    MapFailPariNode fails[kCapacity];
    std::vector<std::wstring> appNames, settingNames, browserNames;
    std::list<TransferFileInfo> files;
    std::vector<SendFailedFileInfo> failed;
    int missing = 0;

    Seen() {
        last.taskID = kSentinel;
        std::fill(std::begin(last.session), std::end(last.session), '\x55');
        for (auto& node : history) node.taskID = kSentinel;
        for (auto& node : apps) {
            std::wcscpy(node.appName, kUntouched);
            node.downStatusIndex = kSentinel;
        }
        for (auto& node : settings) {
            std::wcscpy(node.settingName, kUntouched);
            node.resultType = kSentinel;
        }
        for (auto& node : fails) {
            std::wcscpy(node.fileName, kUntouched);
            node.errCode = kSentinel;
        }
    }
};

class HostileFilesTest : public DataBaseManagerTest {
protected:
    void SetUp() override {
        DataBaseManagerTest::SetUp();
        DirTreeNode* docs = tree.AddNode(nullptr, L"docs", true);
        tree.AddNode(docs, L"a.txt", false);
        tree.AddNode(tree.AddNode(docs, L"deep", true), L"c.txt", false);
    }

    static std::string DeepPath() {
        return "'docs" + Narrow(Sep()) + "deep" + Narrow(Sep()) + "c.txt'";
    }
    static std::string Narrow(const std::wstring& text) {
        return std::string(text.begin(), text.end());
    }

    // Replaces a database file (and its log) with what `sql` makes of an empty file.
    static void Place(const fs::path& file, const std::string& sql) {
        Remove(file);
        fs::create_directories(file.parent_path());
        TestDb(file, true).Exec(sql);
    }
    static void Remove(const fs::path& file) {
        LetGoOfDatabaseFiles();
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            fs::remove(fs::path(file.string() + suffix));
        }
    }

    // Every query, over task `taskId`; both resumes run on this fixture's tree.
    Seen ReadEverything(int taskId) {
        DataBaseManager& m = Manager();
        Seen seen;
        m.GetLastUnCompleteTask(seen.last);
        seen.historyCount = m.GetAllTaskInfo(seen.history, kCapacity);
        seen.consumerTime = m.GetMigrationConsumerTime();
        m.QueryTaskCompleteInfoByID(taskId, seen.completeNums, seen.completeSize,
                                    seen.completeEmptyFolders);
        seen.maxId = m.GetMaxTaskID();
        seen.historyNum = m.GetTransferHistoryNum();
        seen.appNum = m.QueryAppNumByID(taskId);
        seen.settingNum = m.QuerySettingNumByID(taskId);
        seen.failNum = m.QueryFailNumByID(taskId);
        m.QueryAppInfoByID(seen.apps, taskId, kCapacity);
        m.QuerySettingInfoByID(seen.settings, taskId, kCapacity);
        m.QueryFailFileInfoByID(seen.fails, taskId, kCapacity);
        m.QueryAllAppNameByID(seen.appNames, taskId);
        m.GetTaskSettingInfo(taskId, seen.settingNames);
        m.GetTaskBookmarkInfo(taskId, seen.browserNames);
        m.GetTaskFileInfo(taskId, seen.files);
        m.RecoveryDirTreeByID(seen.failed, tree, seen.missing);
        m.RecoveryDirTreeByCacheDb(tree, false);
        m.RecoveryDirTreeByCacheDb(tree, true);
        for (const auto& node : seen.history) EXPECT_TRUE(Terminated(node.newPCModel));
        for (const auto& node : seen.apps) {
            EXPECT_TRUE(Terminated(node.appName));
            EXPECT_TRUE(Terminated(node.appIconPath));
        }
        for (const auto& node : seen.settings) EXPECT_TRUE(Terminated(node.settingName));
        for (const auto& node : seen.fails) {
            EXPECT_TRUE(Terminated(node.fileName));
            EXPECT_TRUE(Terminated(node.sendFilePath));
        }
        EXPECT_EQ(seen.history[kCapacity].taskID, kSentinel) << "a query wrote past its array";
        return seen;
    }

    // What a query gives when it can read nothing: its outputs as the caller left them.
    void ExpectNothingRead(const Seen& seen) {
        EXPECT_EQ(seen.last.taskID, kSentinel);
        EXPECT_EQ(std::string(seen.last.session, 16), std::string(16, '\x55'));
        EXPECT_EQ(seen.historyCount, 0);
        EXPECT_EQ(seen.history[0].taskID, kSentinel);
        EXPECT_EQ(seen.consumerTime, 0);
        EXPECT_EQ(seen.completeNums, kSentinel);
        EXPECT_EQ(seen.completeSize, kSentinel);
        EXPECT_EQ(seen.completeEmptyFolders, kSentinel);
        EXPECT_EQ(seen.maxId + seen.historyNum + seen.appNum + seen.settingNum + seen.failNum, 0);
        EXPECT_EQ(seen.apps[0].downStatusIndex, kSentinel);
        EXPECT_STREQ(seen.apps[0].appName, kUntouched);
        EXPECT_EQ(seen.settings[0].resultType, kSentinel);
        EXPECT_EQ(seen.fails[0].errCode, kSentinel);
        EXPECT_TRUE(seen.appNames.empty());
        EXPECT_TRUE(seen.settingNames.empty());
        EXPECT_TRUE(seen.browserNames.empty());
        EXPECT_TRUE(seen.files.empty());
        EXPECT_TRUE(seen.failed.empty());
        EXPECT_EQ(seen.missing, 0);
        EXPECT_EQ(tree.GetRootNode()->selectState, 0) << "nothing may be selected";
    }

    // Every write except the two that start afresh (CleanTransferHistory, CreateDocCacheDb).
    void WriteEverything(int taskId) {
        DataBaseManager& m = Manager();
        TransferTask task;
        task.taskID = taskId;
        task.macAddr = "mac";
        task.newPCModel = L"model";
        char session[16] = "sixteen bytes..";
        m.InsertOneTask(task);
        m.InsertOneTask(1, session, 2, 3, "model");
        m.UpdateFileTaskInfo(task);
        m.UpdateAppTaskInfo(task);
        m.UpdateSettingTaskInfo(task);
        m.UpdateTaskStatus(task);
        m.UpdateTaskStatusById(taskId, 2);
        m.UpdateTaskSessionById(taskId, session);
        m.UpdateTaskCompleteInfoById(taskId, 1, 2, 3);
        std::vector<SendAppInfo> apps = {{L"new app", 1, 2, L"icon"}};
        m.InsertAppInfo(apps, taskId);
        m.UpdateTaskAPPStatus(apps[0], taskId);
        std::vector<TransferSettingInfo> settings = {{L"new setting", 1}};
        m.InsertSettingInfo(settings, taskId);
        m.UpdateSettingInfo(settings[0], taskId);
        std::vector<std::wstring> browsers = {L"new browser"};
        m.InsertBookmarkInfo(browsers, taskId);
        std::vector<SendFailedFileInfo> failed = {{L"a.txt", L"docs" + Sep() + L"a.txt", 5}};
        m.UpdateFailFileInfo(failed, taskId);
        TransferFileInfo file;
        file.taskId = taskId;
        file.filePath = failed[0].sendFilePath;
        m.UpdateTaskFileStatus(file);
        DirectoryTreeManager selection;
        selection.AddNode(nullptr, L"chosen", false)->Select();
        m.InsertFileInfo(selection.GetRootNode(), taskId);
        m.UpdateTransferHistory();
        m.InsertFilesToCacheDb({{L"x/y", L"t.tar", 1, L"chosen", 0}}, false);
        m.InsertFilesToCacheDb({{L"x/z", L"t.tar", 1, L"chosen", 0}}, true);
        m.InsertEmptyFilesToCacheDb({{L"x/e", L"empty", 1, 2, 0}});
    }

    bool LoggedError(const std::string& message, const std::string& operation) const {
        std::vector<LogEntry> lines = Lines();
        return std::find(lines.begin(), lines.end(), Error(message, operation)) != lines.end();
    }
    // The cache resume names the table it could not find.
    void ExpectCacheTablesMissing() const {
        for (const char* table : {"normal_file", "small_file"}) {
            EXPECT_TRUE(LoggedError(
                std::string("SQLite error:error code is 1,reason:no such table: ") + table,
                "RecoveryDirTreeByCacheDb"));
        }
    }
    size_t ErrorLines() const {
        std::vector<LogEntry> lines = Lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const LogEntry& line) { return line.level == LOG_LEVEL_ERROR; });
    }

    DirTreeNode* Node(const std::wstring& path) { return tree.FindNodeByPath(path); }
    DirTreeNode* DeepNode() { return Node(L"docs" + Sep() + L"deep" + Sep() + L"c.txt"); }

    DirectoryTreeManager tree;
};

// The five tables and the cache's two file tables under their names and with their columns, but
// without types or constraints, so that any value fits anywhere.
const char* const kLooseMainSchema =
    "CREATE TABLE TransferTask (taskID, startTime, endTime, transferFileNums, completeNums, "
    "transferSize, completeSize, completeEmptyFolderNum, status, transferAppNums, "
    "transferSucAppNums, macAddr, transferSettingNums, transferSucSettingNums, session, "
    "fileStatus, appStatus, settingStatus, newPCType, newPCModel);"
    "CREATE TABLE TransferFileInfo (taskID, fileName, sendFilePath, errCode, targetPath, status);"
    "CREATE TABLE TransferAppInfo (taskID, appName, downStatusIndex, installStatusIndex, "
    "appIconPath);"
    "CREATE TABLE TransferSettingInfo (taskID, settingName, resultType);"
    "CREATE TABLE TransferBookmarkInfo (taskID, browserName);";
const char* const kLooseCacheSchema =
    "CREATE TABLE normal_file (_id, filepath, tarpath, filesize, result, winFilePath);"
    "CREATE TABLE small_file (_id, filepath, tarpath, filesize, result, winFilePath);"
    "CREATE TABLE empty_file (_id, filepath, winFilePath, isFolder, modifyTime, result);";

TEST_F(HostileFilesTest, NullInEveryColumnReadsAsZeroAndEmptyWithTheCopyFailuresLogged) {
    Place(MainDbFile(), std::string(kLooseMainSchema) +
                            "INSERT INTO TransferTask DEFAULT VALUES;"
                            "INSERT INTO TransferTask (taskID) VALUES (1);"
                            "INSERT INTO TransferFileInfo DEFAULT VALUES;"
                            "INSERT INTO TransferFileInfo (taskID) VALUES (1);"
                            "INSERT INTO TransferFileInfo (taskID, status) VALUES (1, 0);"
                            "INSERT INTO TransferAppInfo DEFAULT VALUES;"
                            "INSERT INTO TransferAppInfo (taskID) VALUES (1);"
                            "INSERT INTO TransferSettingInfo DEFAULT VALUES;"
                            "INSERT INTO TransferSettingInfo (taskID) VALUES (1);"
                            "INSERT INTO TransferBookmarkInfo DEFAULT VALUES;"
                            "INSERT INTO TransferBookmarkInfo (taskID) VALUES (1);");
    Place(CacheDbFile(), std::string(kLooseCacheSchema) +
                             "INSERT INTO normal_file DEFAULT VALUES;"
                             "INSERT INTO normal_file (result) VALUES (0);"
                             "INSERT INTO normal_file (result, winFilePath) VALUES (0, " +
                             DeepPath() + ");");
    Manager();  // the start-up meets the file too
    ClearLines();
    Seen seen = ReadEverything(1);

    EXPECT_EQ(seen.last.taskID, 1);  // the newest id; NULL sorts below every number
    EXPECT_EQ(seen.last.startTime + seen.last.transferSize + seen.last.status, 0);
    EXPECT_EQ(std::string(seen.last.session, 16), std::string(16, '\x55'));
    EXPECT_TRUE(LoggedError("SQLite error, session is nullptr", "GetLastUnCompleteTask"));
    ASSERT_EQ(seen.historyCount, 2);
    EXPECT_EQ(seen.history[0].taskID, 1);
    EXPECT_EQ(seen.history[1].taskID, 0);
    EXPECT_STREQ(seen.history[1].newPCModel, L"");
    EXPECT_EQ(seen.history[2].taskID, kSentinel);
    EXPECT_TRUE(LoggedError("taskInfoNode wcscpy_s failed, err = 22", "GetAllTaskInfo"));
    EXPECT_EQ(seen.consumerTime, 0);
    EXPECT_EQ(seen.completeNums + seen.completeSize + seen.completeEmptyFolders, 0);
    EXPECT_EQ(seen.maxId, 1);
    EXPECT_EQ(seen.historyNum, 2);
    EXPECT_EQ(seen.appNum, 1);
    EXPECT_STREQ(seen.apps[0].appName, L"");
    EXPECT_EQ(seen.apps[0].downStatusIndex, 0);
    EXPECT_EQ(seen.apps[1].downStatusIndex, kSentinel);
    EXPECT_TRUE(
        LoggedError("QueryAppInfoByID wcscpy_s appName failed, errName = 22", "QueryAppInfoByID"));
    EXPECT_TRUE(LoggedError("QueryAppInfoByID wcscpy_s appIconPath failed, errName = 22",
                            "QueryAppInfoByID"));
    EXPECT_EQ(seen.settingNum, 1);
    EXPECT_STREQ(seen.settings[0].settingName, L"");
    EXPECT_TRUE(
        LoggedError("QueryAppInfoByID wcscpy_s failed, errName = 22", "QuerySettingInfoByID"));
    EXPECT_EQ(seen.failNum, 1);
    EXPECT_STREQ(seen.fails[0].sendFilePath, L"");
    EXPECT_EQ(seen.fails[0].errCode, 0);
    EXPECT_TRUE(LoggedError("QueryFailFileInfoByID wcscpy_s failed, errName = 22errPath= 22",
                            "QueryFailFileInfoByID"));
    // The lists keep one empty entry per row.
    EXPECT_EQ(seen.appNames, std::vector<std::wstring>{L""});
    EXPECT_EQ(seen.settingNames, std::vector<std::wstring>{L""});
    EXPECT_EQ(seen.browserNames, std::vector<std::wstring>{L""});
    ASSERT_EQ(seen.files.size(), 2u);
    EXPECT_EQ(seen.files.front().filePath, L"");
    // A row without a path has no node: it is missing, and failed where its status says so.
    EXPECT_EQ(seen.missing, 2);
    EXPECT_FALSE(seen.failed.empty());
    for (const auto& failed : seen.failed) EXPECT_EQ(failed.sendFilePath, L"");
    // The cache row with a path and no cache path selects its node and fills nothing.
    EXPECT_NE(DeepNode()->selectState, 0);
    EXPECT_EQ(DeepNode()->shotPath, L"");
    EXPECT_EQ(Node(L"docs" + Sep() + L"a.txt")->selectState, 0);

    ClearLines();
    WriteEverything(1);  // nothing in these tables refuses a row
    EXPECT_EQ(ErrorLines(), 0u) << ::testing::PrintToString(Lines());
    EXPECT_EQ(Count("select count(*) from TransferAppInfo where appName = 'new app'"), 1);
}

TEST_F(HostileFilesTest, ValuesOfOtherTypesReadAsSQLiteConvertsThem) {
    Manager();
    Exec(
        "INSERT INTO TransferTask (taskID, startTime, endTime, transferFileNums, completeNums, "
        "transferSize, completeSize, status, transferAppNums, transferSucAppNums, "
        "transferSettingNums, transferSucSettingNums, session, newPCModel, macAddr) VALUES "
        "(1, '12abc', 1e300, 'many', 4294967297, x'0102', -1.5, '7', 0, 0, 0, 0, 3.25, "
        "x'41004200', 12);"
        // The newest: times at both ends of the range, whose difference does not fit.
        "INSERT INTO TransferTask (taskID, startTime, endTime, transferFileNums, completeNums, "
        "transferSize, completeSize, status, transferAppNums, transferSucAppNums, "
        "transferSettingNums, transferSucSettingNums, newPCModel) VALUES (2, "
        "-9223372036854775808, 9223372036854775807, 0, 0, 0, 0, 0, 0, 0, 0, 0, 123);"
        "INSERT INTO TransferAppInfo VALUES ('2', 12345, 'x', 2.9, x'00');"
        "INSERT INTO TransferSettingInfo VALUES (2.0, 3.5, '9');"
        "INSERT INTO TransferBookmarkInfo VALUES (2, x'626f6f6b');"
        "INSERT INTO TransferFileInfo (taskID, fileName, sendFilePath, errCode, status) VALUES "
        "(2, 1, 2.5, 'e', '0');");
    Manager().CreateDocCacheDb();
    TestDb(CacheDbFile())
        .Exec(
            "INSERT INTO normal_file (filepath, tarpath, filesize, result, winFilePath) VALUES "
            "(42, 't', 'big', '0', " +
            DeepPath() + ")");
    ClearLines();
    Seen seen = ReadEverything(2);

    EXPECT_EQ(seen.last.taskID, 2);
    ASSERT_EQ(seen.historyCount, 2);
    const TaskInfoNode& first = seen.history[1];
    EXPECT_EQ(first.startTime, 12);        // the leading digits of '12abc'
    EXPECT_EQ(first.endTime, LLONG_MAX);   // 1e300, saturated
    EXPECT_EQ(first.transferFileNums, 0);  // 'many'
    EXPECT_EQ(first.completeNums, 1);      // 4294967297 cut to 32 bits
    EXPECT_EQ(first.completeSize, -1);     // -1.5 towards zero
    EXPECT_EQ(first.status, 7);
    EXPECT_STREQ(seen.history[0].newPCModel, L"123");
    EXPECT_EQ(seen.consumerTime, -1) << "the difference wraps instead of overflowing";
    EXPECT_EQ(seen.appNum, 1);
    EXPECT_STREQ(seen.apps[0].appName, L"12345");
    EXPECT_EQ(seen.apps[0].downStatusIndex, 0);
    EXPECT_EQ(seen.apps[0].installStatusIndex, 2);
    EXPECT_STREQ(seen.apps[0].appIconPath, L"");
    EXPECT_STREQ(seen.settings[0].settingName, L"3.5");
    EXPECT_EQ(seen.settings[0].resultType, 9);
    EXPECT_EQ(seen.browserNames, std::vector<std::wstring>{L"book"});
    EXPECT_EQ(seen.failNum, 1);
    EXPECT_STREQ(seen.fails[0].fileName, L"1");
    EXPECT_STREQ(seen.fails[0].sendFilePath, L"2.5");
    EXPECT_EQ(seen.failed.size(), 1u);
    EXPECT_EQ(DeepNode()->shotPath, L"42");

    // The first task's session, a number, comes back as its text.
    Exec("DELETE FROM TransferTask WHERE taskID = 2");
    TransferTask task;
    Manager().GetLastUnCompleteTask(task);
    EXPECT_EQ(std::string(task.session, 16), std::string("3.25") + std::string(12, '\0'));
}

TEST_F(HostileFilesTest, SessionsOfEveryLengthGiveTheirOwnBytesOnly) {
    auto bytes = [](int n) {
        std::string b;
        for (int i = 0; i < n; ++i) b += static_cast<char>(0x80 + i);
        return b;
    };
    auto hex = [&](int n) {
        const char digits[] = "0123456789abcdef";
        std::string h = "x'";
        for (unsigned char c : bytes(n)) h += {digits[c >> 4], digits[c & 15]};
        return h + "'";
    };
    const std::string untouched(16, '\x55');
    struct Case {
        std::string value;     // in SQL
        std::string expected;  // the record's 16 bytes afterwards
    };
    const Case cases[] = {
        {"NULL", untouched},
        {"x''", untouched},
        {"''", untouched},
        {hex(1), bytes(1) + std::string(15, '\0')},
        {"x'800000'", std::string("\x80", 1) + std::string(15, '\0')},
        {hex(15), bytes(15) + std::string(1, '\0')},
        {hex(16), bytes(16)},
        {hex(17), bytes(16)},
        {"'abc'", "abc" + std::string(13, '\0')},
    };
    Manager();
    int id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("session " + c.value);
        Exec(
            "INSERT INTO TransferTask (transferFileNums, completeNums, transferSize, "
            "completeSize, status, transferAppNums, transferSucAppNums, transferSettingNums, "
            "transferSucSettingNums, session) VALUES (0,0,0,0,0,0,0,0,0," +
            c.value + ")");
        ++id;
        ClearLines();
        TransferTask task;
        std::fill(std::begin(task.session), std::end(task.session), '\x55');
        Manager().GetLastUnCompleteTask(task);
        EXPECT_EQ(task.taskID, id);
        EXPECT_EQ(std::string(task.session, 16), c.expected);
        EXPECT_EQ(LoggedError("SQLite error, session is nullptr", "GetLastUnCompleteTask"),
                  c.expected == untouched);
    }
}

TEST_F(HostileFilesTest, TextsOfAHundredThousandCharactersAreCutOnlyInFixedFields) {
    const std::string longText = SqlRepeat(100000, 'x');
    const std::wstring cut(kRecordTextUnits - 1, L'x');
    const std::wstring whole(100000, L'x');
    Manager();
    Exec(
        "INSERT INTO TransferTask (transferFileNums, completeNums, transferSize, completeSize, "
        "status, transferAppNums, transferSucAppNums, transferSettingNums, "
        "transferSucSettingNums, session, macAddr, newPCModel) VALUES "
        "(0,0,0,0,0,0,0,0,0,zeroblob(16)," +
        longText + "," + longText + ");" + "INSERT INTO TransferAppInfo VALUES (1," + longText +
        ",0,0," + longText + ");" + "INSERT INTO TransferSettingInfo VALUES (1," + longText +
        ",0);" + "INSERT INTO TransferBookmarkInfo VALUES (1," + longText + ");" +
        "INSERT INTO TransferFileInfo (taskID, fileName, sendFilePath, targetPath, status) VALUES "
        "(1," +
        longText + "," + longText + "," + longText + ",0);");
    // A cache path of 50,000 parts for a node three levels down.
    const std::wstring deepName(100000, L'y');
    DirTreeNode* deep =
        tree.AddNode(tree.AddNode(tree.AddNode(nullptr, L"a", true), L"b", true), deepName, false);
    Place(CacheDbFile(),
          std::string(kLooseCacheSchema) +
              "INSERT INTO normal_file (filepath, result, winFilePath) VALUES (replace(hex("
              "zeroblob(50000)), '00', 'p/'), 0, 'a' || '" +
              Narrow(Sep()) + "b" + Narrow(Sep()) + "' || " + SqlRepeat(100000, 'y') + ");");
    DirTreeNode* longNode = tree.AddNode(nullptr, whole, false);
    ClearLines();
    Seen seen = ReadEverything(1);

    EXPECT_EQ(seen.history[0].newPCModel, cut);
    EXPECT_EQ(seen.apps[0].appName, cut);
    EXPECT_EQ(seen.apps[0].appIconPath, cut);
    EXPECT_EQ(seen.settings[0].settingName, cut);
    EXPECT_EQ(seen.fails[0].fileName, cut);
    EXPECT_EQ(seen.fails[0].sendFilePath, cut);
    EXPECT_EQ(seen.appNames, std::vector<std::wstring>{whole});
    EXPECT_EQ(seen.settingNames, std::vector<std::wstring>{whole});
    EXPECT_EQ(seen.browserNames, std::vector<std::wstring>{whole});
    ASSERT_EQ(seen.files.size(), 1u);
    EXPECT_EQ(seen.files.front().filePath, whole);
    EXPECT_NE(longNode->selectState, 0);
    EXPECT_EQ(longNode->targetPath, whole);
    ASSERT_EQ(seen.failed.size(), 1u);
    EXPECT_EQ(seen.failed[0].sendFilePath, whole);
    EXPECT_EQ(seen.missing, 0);
    EXPECT_NE(deep->selectState, 0);
    EXPECT_EQ(deep->shotPath, L"p");
    EXPECT_EQ(deep->parent->shotPath, L"p");
    EXPECT_EQ(deep->parent->parent->shotPath, L"") << "a child of the root gets no part";
    EXPECT_EQ(ErrorLines(), 0u) << "a long text is no error" << ::testing::PrintToString(Lines());

    // And written back whole.
    std::vector<SendAppInfo> apps = {{whole, 0, 0, whole}};
    Manager().InsertAppInfo(apps, 2);
    std::vector<std::wstring> names;
    Manager().QueryAllAppNameByID(names, 2);
    EXPECT_EQ(names, std::vector<std::wstring>{whole});
}

TEST_F(HostileFilesTest, InvalidUtf8ReadsWithReplacementCharacters) {
    // Overlong, lone continuation, an encoded surrogate, beyond U+10FFFF, cut short at the end,
    // a byte that is never UTF-8, and an embedded 0.
    const char* const texts[] = {"x'61C0AF62'", "x'6180'", "x'EDA080'", "x'F4908080'",
                                 "x'E282'",     "x'FF'",   "x'610062'"};
    Manager();
    for (const char* text : texts) {
        std::string value = std::string("CAST(") + text + " AS TEXT)";
        Exec("INSERT INTO TransferAppInfo VALUES (1," + value + ",0,0," + value + ");" +
             "INSERT INTO TransferBookmarkInfo VALUES (1," + value + ");");
    }
    Place(CacheDbFile(), std::string(kLooseCacheSchema) +
                             "INSERT INTO normal_file (filepath, result, winFilePath) VALUES "
                             "(CAST(x'612FFF2FC0' AS TEXT), 0, " +
                             DeepPath() + ");");
    ClearLines();
    Seen seen = ReadEverything(1);
    EXPECT_EQ(seen.appNum, 7);
    EXPECT_EQ(seen.appNames.size(), 7u);
    EXPECT_EQ(seen.browserNames.size(), 7u);
    EXPECT_NE(DeepNode()->selectState, 0);
    if constexpr (sizeof(wchar_t) == 4) {
        // On POSIX the library decodes: each bad sequence becomes one U+FFFD, and the 0 stays.
        const std::vector<std::wstring> expected = {L"a\uFFFDb",
                                                    L"a\uFFFD",
                                                    L"\uFFFD",
                                                    L"\uFFFD",
                                                    L"\uFFFD",
                                                    L"\uFFFD",
                                                    std::wstring(L"a\0b", 3)};
        EXPECT_EQ(seen.appNames, expected);
        EXPECT_EQ(seen.browserNames, expected);
        EXPECT_STREQ(seen.apps[0].appName, L"a\uFFFDb");
        EXPECT_EQ(DeepNode()->shotPath, L"\uFFFD");
        EXPECT_EQ(DeepNode()->parent->shotPath, L"\uFFFD");
        // Text that is no Unicode at all, handed in by a caller, is stored as U+FFFD.
        std::vector<SendAppInfo> apps = {{std::wstring(1, static_cast<wchar_t>(0xD800)) + L"|" +
                                              std::wstring(1, static_cast<wchar_t>(0x110000)),
                                          0, 0, L""}};
        Manager().InsertAppInfo(apps, 2);
        std::vector<std::wstring> names;
        Manager().QueryAllAppNameByID(names, 2);
        EXPECT_EQ(names, std::vector<std::wstring>{L"\uFFFD|\uFFFD"});
    }
    EXPECT_EQ(ErrorLines(), 0u);
}

TEST_F(HostileFilesTest, MissingTablesReadAsNothingAndAreNotMadeBehindTheStartUp) {
    Manager();
    Place(MainDbFile(), "CREATE TABLE other (x); INSERT INTO other VALUES (1);");
    Place(CacheDbFile(), "CREATE TABLE other (x);");
    ClearLines();
    ExpectNothingRead(ReadEverything(1));
    ExpectCacheTablesMissing();
    WriteEverything(1);
    EXPECT_TRUE(Manager().CleanTransferHistory());  // opened; each DELETE failed and is logged
    EXPECT_TRUE(LoggedError(
        "SQLite error:DeleteErrorTask failed,error code is 1,reason:no such table: TransferTask",
        "ClearData"));
    EXPECT_EQ(Query("select name from sqlite_master"), (Rows{{"other"}}));
    EXPECT_EQ(TestDb(CacheDbFile()).Query("select name from sqlite_master"), (Rows{{"other"}}));
}

TEST_F(HostileFilesTest, AStartUpAddsTheMissingTablesAndKeepsTheRowsThere) {
    Place(MainDbFile(),
          "CREATE TABLE TransferTask (taskID INTEGER PRIMARY KEY AUTOINCREMENT, startTime, "
          "endTime, transferFileNums, completeNums, transferSize, completeSize, status, "
          "transferAppNums, transferSucAppNums, macAddr);"
          "INSERT INTO TransferTask (taskID, status) VALUES (9, 4);");
    Manager();
    EXPECT_EQ(Manager().GetMaxTaskID(), 9);
    EXPECT_EQ(Count("select count(*) from sqlite_master where type = 'table' and name like "
                    "'Transfer%'"),
              5);
    std::vector<SendAppInfo> apps = {{L"app", 0, 0, L""}};
    Manager().InsertAppInfo(apps, 9);
    EXPECT_EQ(Manager().QueryAppNumByID(9), 1);
}

TEST_F(HostileFilesTest, MissingColumnsFailOnlyTheQueriesThatNeedThem) {
    // Before the start-up: "sessionKey" makes the upgrade's probe believe that the session
    // column exists, so the task table never gets one.
    Place(MainDbFile(),
          "CREATE TABLE TransferTask (taskID INTEGER PRIMARY KEY AUTOINCREMENT, startTime, "
          "endTime, transferFileNums, completeNums, transferSize, completeSize, status, "
          "transferAppNums, transferSucAppNums, macAddr, sessionKey);"
          "INSERT INTO TransferTask (taskID, startTime, endTime, status) VALUES (3, 10, 25, 1);");
    Manager();
    Seen seen = ReadEverything(3);
    EXPECT_EQ(seen.last.taskID, kSentinel) << "its query names the session column";
    ASSERT_EQ(seen.historyCount, 1);
    EXPECT_EQ(seen.history[0].taskID, 3);
    EXPECT_EQ(seen.consumerTime, 15);

    // After the start-up: tables that hold the task id and nothing else.
    Place(MainDbFile(),
          "CREATE TABLE TransferTask (taskID INTEGER PRIMARY KEY);"
          "CREATE TABLE TransferFileInfo (taskID, status);"
          "CREATE TABLE TransferAppInfo (taskID);"
          "CREATE TABLE TransferSettingInfo (taskID);"
          "CREATE TABLE TransferBookmarkInfo (taskID);"
          "INSERT INTO TransferTask VALUES (4);"
          "INSERT INTO TransferAppInfo VALUES (4), (4);"
          "INSERT INTO TransferSettingInfo VALUES (4);"
          "INSERT INTO TransferFileInfo VALUES (4, 0);");
    Place(CacheDbFile(),
          "CREATE TABLE normal_file (_id, result); INSERT INTO normal_file "
          "VALUES (1, 0);");
    ClearLines();
    seen = ReadEverything(4);
    // The counts and the largest id need no other column; everything else reads nothing.
    EXPECT_EQ(seen.maxId, 4);
    EXPECT_EQ(seen.historyNum, 1);
    EXPECT_EQ(seen.appNum, 2);
    EXPECT_EQ(seen.settingNum, 1);
    EXPECT_EQ(seen.failNum, 1);
    EXPECT_EQ(seen.last.taskID, kSentinel);
    EXPECT_EQ(seen.historyCount, 0);
    EXPECT_EQ(seen.apps[0].downStatusIndex, kSentinel);
    EXPECT_EQ(seen.fails[0].errCode, kSentinel);
    EXPECT_TRUE(seen.appNames.empty());
    EXPECT_TRUE(seen.files.empty());
    EXPECT_TRUE(seen.failed.empty());
    EXPECT_EQ(tree.GetRootNode()->selectState, 0);
    EXPECT_TRUE(LoggedError("SQLite error:error code is 1,reason:no such column: winFilePath",
                            "RecoveryDirTreeByCacheDb"));
    WriteEverything(4);
    EXPECT_EQ(Count("select count(*) from TransferAppInfo"), 2);
}

TEST_F(HostileFilesTest, AZeroLengthFileIsAnEmptyDatabase) {
    // At the start-up it becomes a database of ours.
    WriteBytes(MainDbFile(), "");
    Manager();
    TransferTask task;
    task.macAddr = "m";
    Manager().InsertOneTask(task);
    EXPECT_EQ(Manager().GetMaxTaskID(), 1);

    // Emptied behind the start-up, it has no tables: nothing is read and nothing is made.
    Remove(MainDbFile());
    WriteBytes(MainDbFile(), "");
    WriteBytes(CacheDbFile(), "");
    ClearLines();
    ExpectNothingRead(ReadEverything(1));
    ExpectCacheTablesMissing();
    WriteEverything(1);
    EXPECT_EQ(fs::file_size(MainDbFile()), 0u);
    EXPECT_EQ(fs::file_size(CacheDbFile()), 0u);
}

TEST_F(HostileFilesTest, FilesOfRandomBytesAreReadAsNothingAndLeftAsTheyWere) {
    const std::string noise = RandomBytes(8192, 7);
    // A valid header in front of the noise: a damaged database rather than a foreign file.
    std::string damaged = RandomBytes(8192, 11);
    std::memcpy(&damaged[0], "SQLite format 3", 16);
    const unsigned char header[] = {0x10, 0x00, 1, 1, 0, 64, 32, 32};  // bytes 16 to 23
    std::memcpy(&damaged[16], header, sizeof header);
    for (const std::string& bytes : {noise, damaged}) {
        SCOPED_TRACE(&bytes == &noise ? "noise" : "damaged");
        WriteBytes(MainDbFile(), bytes);
        WriteBytes(CacheDbFile(), bytes);
        Manager();  // the first round's start-up meets the file
        ClearLines();
        ExpectNothingRead(ReadEverything(1));
        WriteEverything(1);
        Manager().CleanTransferHistory();
        EXPECT_GT(ErrorLines(), 0u);
        EXPECT_EQ(ReadBytes(MainDbFile()), bytes) << "a file the library cannot read was changed";
        EXPECT_EQ(ReadBytes(CacheDbFile()), bytes);
        Remove(MainDbFile());
        Remove(CacheDbFile());
    }
    EXPECT_TRUE(Logged(L"DeleteErrorTask failed,error code is "));
    // A new cache replaces a damaged one.
    WriteBytes(CacheDbFile(), damaged);
    Manager().CreateDocCacheDb();
    Manager().InsertFilesToCacheDb({{L"x/y", L"t.tar", 1, L"w", 0}}, false);
    EXPECT_EQ(TestDb(CacheDbFile()).Count("select count(*) from normal_file"), 1);
}

TEST_F(HostileFilesTest, AReadOnlyFileIsReadAndNeverWritten) {
    // Root passes over permission bits, so the file says it itself: a write version above 2 in
    // its header (byte 18) makes SQLite open it read-only for everyone. The bits are cleared as
    // well, which is what stops a user who is not root.
    Manager();
    TransferTask task;
    task.macAddr = "m";
    Manager().InsertOneTask(task);
    std::vector<SendAppInfo> apps = {{L"app", 1, 2, L"icon"}};
    Manager().InsertAppInfo(apps, 1);
    TestDb(MainDbFile()).Exec("PRAGMA journal_mode=DELETE");
    std::string bytes = ReadBytes(MainDbFile());
    bytes[18] = 3;
    WriteBytes(MainDbFile(), bytes);
    fs::permissions(MainDbFile(),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ClearLines();
    Seen seen = ReadEverything(1);
    EXPECT_EQ(seen.last.taskID, 1);
    EXPECT_EQ(seen.appNum, 1);
    EXPECT_STREQ(seen.apps[0].appName, L"app");
    WriteEverything(1);
    EXPECT_TRUE(Manager().CleanTransferHistory());
    EXPECT_TRUE(LoggedError("SQLite error:attempt to write a readonly database", "InsertOneTask"));
    EXPECT_TRUE(LoggedError("SQLite error:attempt to write a readonly database", "InsertAppInfo"));
    EXPECT_TRUE(LoggedError(
        "SQLite error:DeleteErrorTask failed,error code is 8,reason:attempt to write a readonly "
        "database",
        "ClearData"));
    EXPECT_EQ(ReadBytes(MainDbFile()), bytes);
    // Windows will not delete a read-only file, and the next case starts by deleting the folder.
    fs::permissions(MainDbFile(), fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(HostileFilesTest, ADataFolderThatIsAFileIsLeftAloneAndEveryOpenIsLogged) {
    const std::string content = "a file where the data folder belongs";
    WriteBytes(DataFolder(), content);
    Manager();
    EXPECT_TRUE(IsInit());
    EXPECT_TRUE(
        LoggedError("SQLite error:Create sync database failed,error code is .14", "CreateDb"));
    ClearLines();
    ExpectNothingRead(ReadEverything(1));
    EXPECT_TRUE(
        LoggedError("SQLite error:Open database failed,error code is 14", "ConnectDbReadonly"));
    EXPECT_TRUE(LoggedError("SQLite error:Open database failed,error code is 14", "ConnectDb"));
    ClearLines();
    WriteEverything(1);
    EXPECT_FALSE(Manager().CleanTransferHistory());
    Manager().CreateDocCacheDb();
    EXPECT_TRUE(
        LoggedError("SQLite error:Create sync database failed,error code is .14", "CreateDb"));
    for (const LogEntry& line : Lines()) {
        EXPECT_TRUE(line.level == LOG_LEVEL_INFO ||
                    line.text.find(L"error code is") != std::wstring::npos ||
                    line.text.find(L"unable to open database file") != std::wstring::npos)
            << ::testing::PrintToString(line);
    }
    EXPECT_TRUE(fs::is_regular_file(DataFolder()));
    EXPECT_EQ(ReadBytes(DataFolder()), content);
}
}  // namespace

// Applications, settings, bookmarks and file results as the host application sees them: the
// rows in the migration database, what the counts, lists and arrays give back, and the exact
// log lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <tuple>

#include "PlatformTesting.h"
#include "TestSupport.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
constexpr unsigned char kSentinel = 0x5A;

SendAppInfo App(const std::wstring& name, int down, int install, const std::wstring& icon) {
    SendAppInfo app;
    app.appName = name;
    app.downStatusIndex = down;
    app.installStatusIndex = install;
    app.appIconPath = icon;
    return app;
}

TransferSettingInfo Setting(const std::wstring& name, int resultType) {
    TransferSettingInfo setting;
    setting.settingName = name;
    setting.resultType = resultType;
    return setting;
}

SendFailedFileInfo Failed(const std::wstring& path, int errCode) {
    SendFailedFileInfo file;
    file.fileName = L"ignored";
    file.sendFilePath = path;
    file.errCode = errCode;
    return file;
}

// A caller's array before the call: every byte a sentinel, so untouched elements show.
template <class Node, size_t N>
void Poison(Node (&nodes)[N]) {
    std::memset(nodes, kSentinel, sizeof nodes);
}
template <class Node>
bool Untouched(const Node& node) {
    auto bytes = reinterpret_cast<const unsigned char*>(&node);
    for (size_t i = 0; i < sizeof node; ++i) {
        if (bytes[i] != kSentinel) return false;
    }
    return true;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The filled nodes of a failure array as rows: file name, sent path, error code.
Rows FailRows(const MapFailPariNode* nodes, int count) {
    Rows rows;
    for (int i = 0; i < count; ++i) {
        rows.push_back({Narrow(nodes[i].fileName), Narrow(nodes[i].sendFilePath),
                        std::to_string(nodes[i].errCode)});
    }
    return rows;
}

uint32_t BigEndian32(const unsigned char* bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           uint32_t(bytes[3]);
}

// The commits recorded in a write-ahead log: frames whose header gives the database size after
// the commit.
int CommitsInWal(const fs::path& wal) {
    std::ifstream in(wal, std::ios::binary);
    unsigned char header[32];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return 0;
    uint32_t pageSize = BigEndian32(header + 8);
    if (pageSize == 1) pageSize = 65536;
    std::vector<char> frame(24 + pageSize);
    int commits = 0;
    while (in.read(frame.data(), static_cast<std::streamsize>(frame.size()))) {
        if (BigEndian32(reinterpret_cast<unsigned char*>(frame.data()) + 4) != 0) ++commits;
    }
    return commits;
}

// Keeps the migration database's write-ahead log on disk: while another connection has the
// database open, the library's close neither checkpoints nor deletes the log. On POSIX the
// connection lives in a child process (locks of one process never conflict).
class WalKeeper {
public:
    explicit WalKeeper(const fs::path& dbFile) {
#if defined(_WIN32)
        db = std::make_unique<TestDb>(dbFile);
        db->Scalar("select count(*) from sqlite_master");
#else
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
        child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            char flag = 0;
            try {
                TestDb db(dbFile);
                db.Scalar("select count(*) from sqlite_master");
                flag = 1;
                if (::write(ready[1], &flag, 1) != 1) ::_exit(1);
                char done;
                while (::read(release[0], &done, 1) > 0) {
                }
            } catch (...) {
                if (::write(ready[1], &flag, 1) != 1) ::_exit(1);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd = release[1];
        char flag = 0;
        ssize_t got = ::read(ready[0], &flag, 1);
        ::close(ready[0]);
        if (got != 1 || flag != 1) throw std::runtime_error("the log keeper could not read");
#endif
    }
    ~WalKeeper() {
#if !defined(_WIN32)
        ::close(releaseFd);
        int status = 0;
        ::waitpid(child, &status, 0);
#endif
    }

private:
#if defined(_WIN32)
    std::unique_ptr<TestDb> db;
#else
    pid_t child = -1;
    int releaseFd = -1;
#endif
};

class ItemRecordsTest : public DataBaseManagerTest {
protected:
    // The started manager, with the start-up's own lines forgotten.
    DataBaseManager& Started() {
        DataBaseManager& manager = Manager();
        EXPECT_TRUE(IsInit());
        ClearLines();
        return manager;
    }

    // A file row as the tree recording writes it, with its outcome already set.
    void AddFile(int taskId, const std::string& name, const std::string& path, int status = -1,
                 int errCode = -1) const {
        Exec(
            "insert into TransferFileInfo (taskID,fileName,sendFilePath,errCode,targetPath,"
            "status) values (" +
            std::to_string(taskId) + ",'" + name + "','" + path + "'," + std::to_string(errCode) +
            ",'target'," + std::to_string(status) + ")");
    }
};
}  // namespace

// Applications.

TEST_F(ItemRecordsTest, DuplicateApplicationsAreCountedAndUpdatedTogether) {
    DataBaseManager& manager = Started();
    std::vector<SendAppInfo> apps{App(L"Text Editor \u00e9", 1, 2, L"C:\\icons\\editor.ico"),
                                  App(L"Photo Viewer", 3, 4, L"")};
    manager.InsertAppInfo(apps, 7);
    manager.InsertAppInfo(apps, 7);
    manager.InsertAppInfo(apps, 8);

    EXPECT_EQ(Query("select taskID,appName,downStatusIndex,installStatusIndex,appIconPath from "
                    "TransferAppInfo where taskID = 7 order by rowid"),
              (Rows{{"7", "Text Editor \xc3\xa9", "1", "2", "C:\\icons\\editor.ico"},
                    {"7", "Photo Viewer", "3", "4", ""},
                    {"7", "Text Editor \xc3\xa9", "1", "2", "C:\\icons\\editor.ico"},
                    {"7", "Photo Viewer", "3", "4", ""}}));
    EXPECT_EQ(manager.QueryAppNumByID(7), 4);
    EXPECT_EQ(manager.QueryAppNumByID(8), 2);
    EXPECT_EQ(manager.QueryAppNumByID(9), 0);

    // Only the download status changes, on every row of that name in that task.
    manager.UpdateTaskAPPStatus(App(L"Text Editor \u00e9", 5, 99, L"other.ico"), 7);
    manager.UpdateTaskAPPStatus(App(L"Not Installed", 6, 6, L""), 7);
    EXPECT_EQ(Query("select taskID,downStatusIndex,installStatusIndex,appIconPath from "
                    "TransferAppInfo where appName like 'Text Editor%' order by rowid"),
              (Rows{{"7", "5", "2", "C:\\icons\\editor.ico"},
                    {"7", "5", "2", "C:\\icons\\editor.ico"},
                    {"8", "1", "2", "C:\\icons\\editor.ico"}}));
    EXPECT_EQ(Count("select count(*) from TransferAppInfo where downStatusIndex = 6"), 0);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ItemRecordsTest, EmptyListsWriteNothingAndLogTheNotInitLine) {
    DataBaseManager& manager = Started();
    std::vector<SendAppInfo> apps;
    std::vector<TransferSettingInfo> settings;
    std::vector<std::wstring> browsers;
    std::vector<SendFailedFileInfo> failed;
    manager.InsertAppInfo(apps, 1);
    manager.InsertSettingInfo(settings, 1);
    manager.InsertBookmarkInfo(browsers, 1);
    manager.UpdateFailFileInfo(failed, 1);  // silent

    EXPECT_EQ(Lines(), (std::vector<LogEntry>{
                           Error("InsertAppInfo sql is not init", "InsertAppInfo"),
                           Error("InsertSettingInfo sql is not init", "InsertSettingInfo"),
                           Error("InsertBookmarkInfo sql is not init", "InsertBookmarkInfo")}));
    EXPECT_EQ(Count("select (select count(*) from TransferAppInfo) + (select count(*) from "
                    "TransferSettingInfo) + (select count(*) from TransferBookmarkInfo)"),
              0);
}

TEST_F(ItemRecordsTest, AppArrayFillsAtMostCountAndLeavesTheRestUntouched) {
    DataBaseManager& manager = Started();
    std::vector<SendAppInfo> apps;
    for (int i = 0; i < 5; ++i) apps.push_back(App(L"app" + std::to_wstring(i), i, 10 + i, L"i"));
    manager.InsertAppInfo(apps, 3);

    AppInfoPariNode nodes[8];
    // The first `filled` nodes hold the task's applications in order; the rest are untouched.
    auto expectFilled = [&](int filled) {
        for (int i = 0; i < filled; ++i) {
            EXPECT_EQ(std::wstring(nodes[i].appName), L"app" + std::to_wstring(i));
            EXPECT_EQ(nodes[i].downStatusIndex, i);
            EXPECT_EQ(nodes[i].installStatusIndex, 10 + i);
            EXPECT_EQ(std::wstring(nodes[i].appIconPath), L"i");
        }
        for (int i = filled; i < 8; ++i) EXPECT_TRUE(Untouched(nodes[i])) << i;
        Poison(nodes);
    };
    Poison(nodes);
    manager.QueryAppInfoByID(nodes, 3, 0);
    manager.QueryAppInfoByID(nullptr, 3, 5);
    manager.QueryAppInfoByID(nodes, 3, -1);
    expectFilled(0);
    manager.QueryAppInfoByID(nodes, 3, 3);
    expectFilled(3);
    manager.QueryAppInfoByID(nodes, 3, 8);
    expectFilled(5);
    manager.QueryAppInfoByID(nodes, 4, 8);  // a task without applications
    expectFilled(0);
    EXPECT_TRUE(Lines().empty());
}

// Settings and bookmarks.

TEST_F(ItemRecordsTest, DuplicateSettingIsLoggedWhileTheOtherSettingsLand) {
    DataBaseManager& manager = Started();
    std::vector<TransferSettingInfo> settings{Setting(L"Wallpaper", 1), Setting(L"Mouse", 2),
                                              Setting(L"Wallpaper", 3), Setting(L"Power", 4)};
    manager.InsertSettingInfo(settings, 5);

    EXPECT_EQ(
        Lines(),
        (std::vector<LogEntry>{Error("SQLite error:UNIQUE constraint failed: "
                                     "TransferSettingInfo.taskID, TransferSettingInfo.settingName",
                                     "InsertSettingInfo")}));
    EXPECT_EQ(Query("select taskID,settingName,resultType from TransferSettingInfo order by rowid"),
              (Rows{{"5", "Wallpaper", "1"}, {"5", "Mouse", "2"}, {"5", "Power", "4"}}));
    EXPECT_EQ(manager.QuerySettingNumByID(5), 3);

    ClearLines();
    manager.UpdateSettingInfo(Setting(L"Mouse", 7), 5);
    manager.UpdateSettingInfo(Setting(L"Keyboard", 8), 5);
    manager.UpdateSettingInfo(Setting(L"Power", 9), 6);
    EXPECT_EQ(Query("select settingName,resultType from TransferSettingInfo order by rowid"),
              (Rows{{"Wallpaper", "1"}, {"Mouse", "7"}, {"Power", "4"}}));
    EXPECT_TRUE(Lines().empty());

    SettingInfoPariNode nodes[4];
    Poison(nodes);
    manager.QuerySettingInfoByID(nodes, 5, 0);
    manager.QuerySettingInfoByID(nullptr, 5, 3);
    for (const auto& node : nodes) EXPECT_TRUE(Untouched(node));
    // Rows come as SQLite returns them: here in the order of the table's key.
    Rows expected =
        Query("SELECT settingName,resultType FROM TransferSettingInfo where taskID = 5");
    ASSERT_EQ(expected.size(), 3u);
    manager.QuerySettingInfoByID(nodes, 5, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(std::wstring(nodes[i].settingName), Widen(expected[i][0]));
        EXPECT_EQ(std::to_string(nodes[i].resultType), expected[i][1]);
    }
    for (int i = 2; i < 4; ++i) EXPECT_TRUE(Untouched(nodes[i])) << i;
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ItemRecordsTest, NameListsAppendForApplicationsAndReplaceForSettingsAndBrowsers) {
    DataBaseManager& manager = Started();
    std::vector<SendAppInfo> apps{App(L"Mail", 0, 0, L""), App(L"Music", 0, 0, L"")};
    std::vector<TransferSettingInfo> settings{Setting(L"Fonts", 1), Setting(L"Sounds", 1)};
    std::vector<std::wstring> browsers{L"Browser One", L"Browser Two", L"Browser One"};
    manager.InsertAppInfo(apps, 2);
    manager.InsertSettingInfo(settings, 2);
    manager.InsertBookmarkInfo(browsers, 2);
    EXPECT_EQ(Query("select taskID,browserName from TransferBookmarkInfo order by rowid"),
              (Rows{{"2", "Browser One"}, {"2", "Browser Two"}, {"2", "Browser One"}}));

    std::vector<std::wstring> names{L"held", L"before"};
    manager.QueryAllAppNameByID(names, 2);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"held", L"before", L"Mail", L"Music"}));

    names = {L"earlier"};
    manager.GetTaskSettingInfo(2, names);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Fonts", L"Sounds"}));
    manager.GetTaskSettingInfo(3, names);
    EXPECT_TRUE(names.empty());

    names = {L"earlier"};
    manager.GetTaskBookmarkInfo(2, names);
    EXPECT_EQ(names, browsers);
    manager.GetTaskBookmarkInfo(3, names);
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(Lines().empty());
}

// Texts of every length and none.

TEST_F(ItemRecordsTest, LongTextsAreStoredWholeAndCutTo511UnitsInFixedFields) {
    DataBaseManager& manager = Started();
    const std::wstring name600 = std::wstring(599, L'n') + L"\u00fc";  // non-ASCII at the end
    const std::wstring icon700(700, L'i');
    std::vector<SendAppInfo> apps{App(name600, 1, 1, icon700)};
    std::vector<TransferSettingInfo> settings{Setting(std::wstring(600, L's'), 2)};
    manager.InsertAppInfo(apps, 1);
    manager.InsertSettingInfo(settings, 1);
    AddFile(1, std::string(600, 'f'), std::string(700, 'p'), 0, 5);

    EXPECT_EQ(Query("select length(appName), length(appIconPath) from TransferAppInfo"),
              (Rows{{"600", "700"}}));

    AppInfoPariNode app[1];
    manager.QueryAppInfoByID(app, 1, 1);
    EXPECT_EQ(std::wstring(app[0].appName), std::wstring(511, L'n'));
    EXPECT_EQ(std::wstring(app[0].appIconPath), std::wstring(511, L'i'));

    std::vector<std::wstring> names;
    manager.QueryAllAppNameByID(names, 1);
    EXPECT_EQ(names, std::vector<std::wstring>{name600});

    SettingInfoPariNode setting[1];
    manager.QuerySettingInfoByID(setting, 1, 1);
    EXPECT_EQ(std::wstring(setting[0].settingName), std::wstring(511, L's'));

    MapFailPariNode file[1];
    manager.QueryFailFileInfoByID(file, 1, 1);
    EXPECT_EQ(FailRows(file, 1), (Rows{{std::string(511, 'f'), std::string(511, 'p'), "5"}}));
    EXPECT_TRUE(Lines().empty());  // cutting is no error
}

TEST_F(ItemRecordsTest, NullTextsReadAsEmptyAndTheOtherFieldsStillFill) {
    DataBaseManager& manager = Started();
    Exec("insert into TransferAppInfo values (4, NULL, 1, 2, NULL)");
    Exec("insert into TransferSettingInfo values (4, NULL, 3)");
    Exec("insert into TransferBookmarkInfo values (4, NULL)");
    Exec(
        "insert into TransferFileInfo (taskID,fileName,sendFilePath,errCode,status) values "
        "(4, NULL, NULL, 21, 0), (4, 'named', NULL, 22, 0), (4, NULL, 'path', 23, 0)");

    AppInfoPariNode app[1];
    Poison(app);
    manager.QueryAppInfoByID(app, 4, 1);
    EXPECT_EQ(app[0].appName[0], L'\0');
    EXPECT_EQ(app[0].appIconPath[0], L'\0');
    EXPECT_EQ(app[0].downStatusIndex, 1);
    EXPECT_EQ(app[0].installStatusIndex, 2);

    SettingInfoPariNode setting[1];
    Poison(setting);
    manager.QuerySettingInfoByID(setting, 4, 1);
    EXPECT_EQ(setting[0].settingName[0], L'\0');
    EXPECT_EQ(setting[0].resultType, 3);

    MapFailPariNode files[3];
    Poison(files);
    manager.QueryFailFileInfoByID(files, 4, 3);
    EXPECT_EQ(FailRows(files, 3), (Rows{{"", "", "21"}, {"named", "", "22"}, {"", "path", "23"}}));

    EXPECT_EQ(
        Lines(),
        (std::vector<LogEntry>{
            Error("QueryAppInfoByID wcscpy_s appName failed, errName = 22", "QueryAppInfoByID"),
            Error("QueryAppInfoByID wcscpy_s appIconPath failed, errName = 22", "QueryAppInfoByID"),
            Error("QueryAppInfoByID wcscpy_s failed, errName = 22", "QuerySettingInfoByID"),
            Error("QueryFailFileInfoByID wcscpy_s failed, errName = 22errPath= 22",
                  "QueryFailFileInfoByID"),
            Error("QueryFailFileInfoByID wcscpy_s failed, errName = 0errPath= 22",
                  "QueryFailFileInfoByID"),
            Error("QueryFailFileInfoByID wcscpy_s failed, errName = 22errPath= 0",
                  "QueryFailFileInfoByID")}));

    // The lists keep one (empty) entry per row.
    ClearLines();
    std::vector<std::wstring> names{L"held"};
    manager.QueryAllAppNameByID(names, 4);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"held", L""}));
    manager.GetTaskSettingInfo(4, names);
    EXPECT_EQ(names, std::vector<std::wstring>{L""});
    manager.GetTaskBookmarkInfo(4, names);
    EXPECT_EQ(names, std::vector<std::wstring>{L""});
    std::list<TransferFileInfo> list;
    manager.GetTaskFileInfo(4, list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.front().filePath, L"");
    EXPECT_EQ(list.back().filePath, L"path");
    EXPECT_TRUE(Lines().empty());
}

// Files.

TEST_F(ItemRecordsTest, FailureBatchUpdatesTheHeldPathsInOneCommitAndASentFileLeavesTheCount) {
    DataBaseManager& manager = Started();
    AddFile(3, "a.txt", "/docs/a.txt");
    AddFile(3, "c.txt", "/docs/c.txt");
    AddFile(3, "d.txt", "/docs/d.txt");
    AddFile(4, "a.txt", "/docs/a.txt");  // same path, another task

    std::vector<SendFailedFileInfo> batch{Failed(L"/docs/a.txt", 11), Failed(L"/docs/b.txt", 12),
                                          Failed(L"/docs/c.txt", 13)};
    {
        WalKeeper keeper(MainDbFile());
        manager.UpdateFailFileInfo(batch, 3);
        // Two rows changed; one commit took them both.
        EXPECT_EQ(CommitsInWal(fs::path(MainDbFile().string() + "-wal")), 1);
    }
    EXPECT_EQ(Query("select taskID,fileName,sendFilePath,errCode,status from TransferFileInfo "
                    "order by rowid"),
              (Rows{{"3", "a.txt", "/docs/a.txt", "11", "0"},
                    {"3", "c.txt", "/docs/c.txt", "13", "0"},
                    {"3", "d.txt", "/docs/d.txt", "-1", "-1"},
                    {"4", "a.txt", "/docs/a.txt", "-1", "-1"}}));
    EXPECT_EQ(manager.QueryFailNumByID(3), 2);
    EXPECT_EQ(manager.QueryFailNumByID(4), 0);
    MapFailPariNode nodes[3];
    Poison(nodes);
    manager.QueryFailFileInfoByID(nodes, 3, 1);
    EXPECT_EQ(FailRows(nodes, 1), (Rows{{"a.txt", "/docs/a.txt", "11"}}));
    EXPECT_TRUE(Untouched(nodes[1]));
    manager.QueryFailFileInfoByID(nodes, 3, 3);
    EXPECT_EQ(FailRows(nodes, 2),
              (Rows{{"a.txt", "/docs/a.txt", "11"}, {"c.txt", "/docs/c.txt", "13"}}));
    EXPECT_TRUE(Untouched(nodes[2]));
    manager.QueryFailFileInfoByID(nullptr, 3, 3);

    // A file sent after all: its status and error code change, nothing else of the caller's.
    TransferFileInfo sent;
    sent.taskId = 3;
    sent.status = 2;
    sent.fileSize = 99;
    sent.filePath = L"/docs/a.txt";
    sent.otherPath = L"elsewhere";
    sent.errCode = 0;
    manager.UpdateTaskFileStatus(sent);
    EXPECT_EQ(manager.QueryFailNumByID(3), 1);
    EXPECT_EQ(
        Query("select taskID,sendFilePath,status,errCode from TransferFileInfo order by rowid"),
        (Rows{{"3", "/docs/a.txt", "2", "0"},
              {"3", "/docs/c.txt", "0", "13"},
              {"3", "/docs/d.txt", "-1", "-1"},
              {"4", "/docs/a.txt", "-1", "-1"}}));
    Poison(nodes);
    manager.QueryFailFileInfoByID(nodes, 3, 3);
    EXPECT_EQ(FailRows(nodes, 1), (Rows{{"c.txt", "/docs/c.txt", "13"}}));
    EXPECT_TRUE(Untouched(nodes[1]));
    EXPECT_EQ(sent.status, 2);
    EXPECT_EQ(sent.otherPath, L"elsewhere");
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ItemRecordsTest, OutcomeBatchWritesTheHeldRowsInOneCommitAndLogsARefusedOne) {
    DataBaseManager& manager = Started();
    AddFile(3, "a.txt", "/docs/a.txt");
    AddFile(3, "c.txt", "/docs/c.txt");
    AddFile(3, "d.txt", "/docs/d.txt");
    Exec(
        "create trigger refuse before update on TransferFileInfo when new.sendFilePath = "
        "'/docs/d.txt' begin select raise(abort, 'refused'); end");
    auto outcome = [](const wchar_t* path, int status, int errCode) {
        TransferFileInfo file;
        file.taskId = 3;
        file.status = status;
        file.filePath = path;
        file.errCode = errCode;
        return file;
    };
    // A path the task does not hold changes nothing; the refused row is logged as the single
    // form logs it, and the rows after it still land.
    std::vector<TransferFileInfo> batch{
        outcome(L"/docs/a.txt", 1, 0), outcome(L"/docs/b.txt", 1, 0), outcome(L"/docs/d.txt", 2, 7),
        outcome(L"/docs/c.txt", 0, 13)};
    {
        WalKeeper keeper(MainDbFile());
        manager.UpdateTaskFileStatus(batch);
        EXPECT_EQ(CommitsInWal(fs::path(MainDbFile().string() + "-wal")), 1);
    }
    EXPECT_EQ(
        Query("select sendFilePath,status,errCode from TransferFileInfo order by rowid"),
        (Rows{{"/docs/a.txt", "1", "0"}, {"/docs/c.txt", "0", "13"}, {"/docs/d.txt", "-1", "-1"}}));
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{Error("SQLite error:refused", "UpdateTaskFileStatus")}));
    EXPECT_EQ(manager.QueryFailNumByID(3), 1);

    // Nothing to record says nothing; uninitialised, one line for the whole batch.
    ClearLines();
    std::vector<TransferFileInfo> none;
    manager.UpdateTaskFileStatus(none);
    SetInit(false);
    manager.UpdateTaskFileStatus(batch);
    EXPECT_EQ(Lines(), (std::vector<LogEntry>{
                           Error("UpdateTaskFileStatus sql is not init", "UpdateTaskFileStatus")}));
}

TEST_F(ItemRecordsTest, FileListReplacesTheCallersListWithTheTasksFiles) {
    DataBaseManager& manager = Started();
    AddFile(6, "a.txt", "/docs/a.txt", 0, 11);
    AddFile(6, "b.txt", "/docs/b.txt");
    AddFile(7, "c.txt", "/docs/c.txt", 2, 0);

    TransferFileInfo stale;
    stale.filePath = L"stale";
    std::list<TransferFileInfo> files{stale, stale};
    manager.GetTaskFileInfo(6, files);
    ASSERT_EQ(files.size(), 2u);
    // The table keeps no size and no other path.
    auto fields = [](const TransferFileInfo& f) {
        return std::make_tuple(f.taskId, f.status, f.fileSize, f.filePath, f.otherPath, f.errCode);
    };
    EXPECT_EQ(fields(files.front()),
              std::make_tuple(6, 0, 0LL, std::wstring(L"/docs/a.txt"), std::wstring(), 11));
    EXPECT_EQ(fields(files.back()),
              std::make_tuple(6, -1, 0LL, std::wstring(L"/docs/b.txt"), std::wstring(), -1));

    manager.GetTaskFileInfo(8, files);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(Lines().empty());
}

// Contention and start-up failure.

TEST_F(ItemRecordsTest, WritesWaitForAnotherWriterInsteadOfLosingRows) {
    DataBaseManager& manager = Started();
    AddFile(3, "a.txt", "/docs/a.txt");
    auto holder = std::make_unique<WriteLockHolder>(MainDbFile());
    std::thread release([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder.reset();
    });
    std::vector<SendAppInfo> apps{App(L"Mail", 1, 1, L"")};
    manager.InsertAppInfo(apps, 3);
    std::vector<SendFailedFileInfo> batch{Failed(L"/docs/a.txt", 11)};
    manager.UpdateFailFileInfo(batch, 3);
    release.join();

    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Count("select count(*) from TransferAppInfo where taskID = 3"), 1);
    EXPECT_EQ(manager.QueryFailNumByID(3), 1);
}

#if !defined(_WIN32)
// Start-up refused through the POSIX test seams.
TEST_F(ItemRecordsTest, UninitialisedManagerLogsEachOperationAndLeavesOutputsAlone) {
    PlatformTesting::SimulateConsoleToken(1);
    DataBaseManager& manager = Manager();
    ASSERT_FALSE(IsInit());
    ClearLines();

    std::vector<SendAppInfo> apps{App(L"Mail", 1, 1, L"")};
    std::vector<TransferSettingInfo> settings{Setting(L"Fonts", 1)};
    std::vector<std::wstring> browsers{L"Browser One"};
    std::vector<SendFailedFileInfo> failed{Failed(L"/docs/a.txt", 1)};
    TransferFileInfo file;
    manager.InsertAppInfo(apps, 1);
    manager.UpdateTaskAPPStatus(apps[0], 1);
    manager.InsertSettingInfo(settings, 1);
    manager.UpdateSettingInfo(settings[0], 1);
    manager.InsertBookmarkInfo(browsers, 1);
    manager.UpdateFailFileInfo(failed, 1);
    manager.UpdateTaskFileStatus(file);
    EXPECT_EQ(manager.QueryAppNumByID(1), 0);
    EXPECT_EQ(manager.QuerySettingNumByID(1), 0);
    EXPECT_EQ(manager.QueryFailNumByID(1), 0);

    AppInfoPariNode appNodes[2];
    SettingInfoPariNode settingNodes[2];
    MapFailPariNode failNodes[2];
    Poison(appNodes);
    Poison(settingNodes);
    Poison(failNodes);
    manager.QueryAppInfoByID(appNodes, 1, 2);
    manager.QueryAppInfoByID(nullptr, 1, 0);  // the initialised test comes first
    manager.QuerySettingInfoByID(settingNodes, 1, 2);
    manager.QueryFailFileInfoByID(failNodes, 1, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(Untouched(appNodes[i]));
        EXPECT_TRUE(Untouched(settingNodes[i]));
        EXPECT_TRUE(Untouched(failNodes[i]));
    }

    std::vector<std::wstring> appNames{L"held"}, settingNames{L"held"}, browserNames{L"held"};
    std::list<TransferFileInfo> files{file};
    manager.QueryAllAppNameByID(appNames, 1);
    manager.GetTaskSettingInfo(1, settingNames);
    manager.GetTaskBookmarkInfo(1, browserNames);
    manager.GetTaskFileInfo(1, files);
    for (const auto* names : {&appNames, &settingNames, &browserNames}) {
        EXPECT_EQ(*names, std::vector<std::wstring>{L"held"});
    }
    EXPECT_EQ(files.size(), 1u);

    const std::string countNotInit = "QueryAppNumByID sql is not init";
    EXPECT_EQ(Lines(),
              (std::vector<LogEntry>{
                  Error("InsertAppInfo sql is not init", "InsertAppInfo"),
                  Error("UpdateTaskAPPStatus sql is not init", "UpdateTaskAPPStatus"),
                  Error("InsertSettingInfo sql is not init", "InsertSettingInfo"),
                  Error("UpdateAppTaskInfo sql is not init", "UpdateSettingInfo"),
                  Error("InsertBookmarkInfo sql is not init", "InsertBookmarkInfo"),
                  Error("UpdateTaskFileStatus sql is not init", "UpdateTaskFileStatus"),
                  Error(countNotInit, "QueryCountById"), Error(countNotInit, "QueryCountById"),
                  Error(countNotInit, "QueryCountById"),
                  Error("QueryAppInfoByID sql is not init", "QueryAppInfoByID"),
                  Error("QueryAppInfoByID sql is not init", "QueryAppInfoByID"),
                  Error("QueryAppInfoByID sql is not init", "QuerySettingInfoByID"),
                  Error("QueryFailFileInfoByID sql is not init", "QueryFailFileInfoByID"),
                  Error("QueryAllAppNameByID sql is not init", "QueryAllAppNameByID"),
                  Error("GetTaskSettingInfo sql is not init", "GetTaskSettingInfo"),
                  Error("GetTaskBookmarkInfo sql is not init", "GetTaskBookmarkInfo"),
                  Error("GetTaskFileInfo sql is not init", "GetTaskFileInfo")}));
}
#endif

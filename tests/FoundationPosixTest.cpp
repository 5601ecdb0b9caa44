// Through the POSIX test seams: the start-up in each identity the console gives, a data folder not
// found, kept connections against files changed under them, and text's UTF-8 in SQLite and the log.
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "PlatformTesting.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {
const LogEntry kCantOpen = Error("SQLite error:Open database failed,error code is 14", "ConnectDb");

// Whether `body` returned true in a forked child, which ends with exit() as a process ends.
template <class Body>
bool InChild(Body&& body) {
    pid_t child = ::fork();
    if (child == 0) ::exit(body() ? 0 : 1);
    int status = -1;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Wide characters at UTF-8's boundaries and an emoji, their bytes, and what they read back as: a
// surrogate, a value past U+10FFFF and a UTF-16 pair's halves (32-bit wchar_t) become U+FFFD.
const std::wstring kWide = std::wstring(L"A\x7f\x80\x7ff\x800\xd7ff\xd800\xdfff\xe000\xffff") +
                           L"\U00010000\U0001F600\U0010FFFF\x110000\xd83d\xde00";
const std::string kUtf8 =
    "A\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbd\xef\xbf\xbd\xee\x80\x80\xef\xbf"
    "\xbf\xf0\x90\x80\x80\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd";
const std::wstring kReadBack =
    L"A\x7f\x80\x7ff\x800\xd7ff\xfffd\xfffd\xe000\xffff\U00010000"
    L"\U0001F600\U0010FFFF\xfffd\xfffd\xfffd";
}  // namespace

// Whatever the console gives, the start-up ends reverted with the token closed; one that could
// not run, runs when the application asks again with a user at the console.
class StartUpTest : public DataBaseManagerTest {
protected:
    // `refusal`: the lines of a start-up that cannot run; empty when it runs.
    void Expect(unsigned long tokenError, bool impersonationFails, const LogLines& refusal) {
        PlatformTesting::SimulateConsoleToken(tokenError);
        PlatformTesting::SimulateImpersonationFailure(impersonationFails);
        for (int call = 0; call < 2; ++call) {
            SCOPED_TRACE(call == 0 ? "the first call" : "the call after a user logged on");
            call == 0 ? (void)Manager() : Manager().InitInstance();
            EXPECT_EQ(IsInit(), call == 1 || refusal.empty());
            EXPECT_EQ(Lines(), call == 0 ? (refusal.empty() ? StartUpLines() : refusal)
                                         : (refusal.empty() ? LogLines() : StartUpLines()));
            EXPECT_FALSE(PlatformTesting::IsImpersonating()) << "reverted";
            EXPECT_EQ(PlatformTesting::OpenConsoleTokens(), 0) << "the token closed";
            ClearLines();
            PlatformTesting::SimulateConsoleToken(0);  // a user logs on; the application asks again
            PlatformTesting::SimulateImpersonationFailure(false);
        }
    }
};

TEST_F(StartUpTest, WithoutThePrivilegeItRunsAsItself) { Expect(1314, false, {}); }
TEST_F(StartUpTest, WithTheConsoleTokenItRunsAsTheConsoleUser) { Expect(0, false, {}); }
TEST_F(StartUpTest, WithNoUserAtTheConsoleItWaitsForTheNextCall) {
    Expect(1008, false, {Error("DataBaseManager WTSQueryUserToken failed!: 1008", "InitInstance")});
}
TEST_F(StartUpTest, WhenImpersonationIsRefusedItWaitsForTheNextCall) {
    Expect(0, true, {Error("DataBaseManager ImpersonateLoggedOnUser failed!", "InitInstance")});
}

TEST_F(DataBaseManagerTest, StartUpThatThrowsRevertsClosesAndConstructsAnewOnTheNextCall) {
    // A data folder whose existence test fails (a link loop) throws out of start-up.
    fs::path loop = AppDataFolder() / "loop";
    fs::create_symlink(loop, loop);
    ::setenv("PROGRAMDATA", loop.c_str(), 1);
    PlatformTesting::SimulateConsoleToken(0);
    EXPECT_THROW(DataBaseManager::GetInstance(), fs::filesystem_error);
    EXPECT_FALSE(PlatformTesting::IsImpersonating()) << "reverted";
    EXPECT_EQ(PlatformTesting::OpenConsoleTokens(), 0) << "the token closed";
    ::setenv("PROGRAMDATA", AppDataFolder().c_str(), 1);
    EXPECT_TRUE(IsInit()) << "the next call constructs anew";
}

TEST_F(DataBaseManagerTest, UnresolvedAppDataFolderFormsNoPathAndTouchesNothingAnywhere) {
    PlatformTesting::SimulateAppDataFailure(5);
    DataBaseManager& m = Manager();
    EXPECT_TRUE(IsInit()) << "the start-up itself succeeds";
    const LogEntry cantCreate =
        Error("SQLite error:Create sync database failed,error code is .14", "CreateDb");
    EXPECT_EQ(Lines(),
              (LogLines{cantCreate, kCantOpen, StartUpLines()[0], kCantOpen, StartUpLines()[1]}))
        << "the start-up";
    std::string folder = "kept";
    EXPECT_EQ(GetDBFilePath(folder), 5) << "the folder lookup's error";
    EXPECT_EQ(folder, "kept");
    // Nothing is cleared, written, created or deleted, not even "/db_cache/".
    const std::tuple<const char*, std::function<void()>, LogLines> calls[] = {
        {"CleanTransferHistory", [&] { EXPECT_FALSE(m.CleanTransferHistory()); }, {kCantOpen}},
        {"ExecuteMulitNoQuerySQL",
         [] { EXPECT_FALSE(ExecuteMulitNoQuerySQL({"create table t (n)"})); },
         {kCantOpen}},
        {"CreateDocCacheDb",
         [&] { m.CreateDocCacheDb(); },
         {cantCreate, Info("connect cache DB", "ConnectDb"), kCantOpen}},
        {"CreateDocCachePath", [&] { EXPECT_EQ(m.CreateDocCachePath(), ""); }, {}}};
    for (const auto& [name, call, lines] : calls) {
        ClearLines();
        call();
        EXPECT_EQ(Lines(), lines) << name;
    }
    EXPECT_TRUE(fs::is_empty(AppDataFolder()));
    for (const char* path : {"/corvanel.db", "/db_cache", "/Voded", "corvanel.db", "db_cache"})
        EXPECT_FALSE(fs::exists(path)) << path;  // at the root, or where a relative path lands
}

// The upgrade adds the current layout's columns and index in place, keeping the rows, while another
// process writes: a probe read left open across the alter would make the alter fail for good.
TEST_F(DataBaseManagerTest, UpgradeAddsEveryColumnWhileAnotherProcessKeepsWriting) {
    fs::create_directories(DataFolder());
    {
        TestDb old(MainDbFile(), true);
        old.Exec("PRAGMA journal_mode=WAL; CREATE TABLE Noise (n INTEGER)");
        CreateOldLayout(old);
        old.Exec("insert into TransferTask values (NULL, 1, 2, 3, 4, 5, 6, 7, 8, 9, 'mac')");
    }
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    pid_t writer = ::fork();
    if (writer == 0) {
        ::close(stop[1]);
        TestDb db(MainDbFile());
        for (pollfd poll{stop[0], POLLIN, 0}; ::poll(&poll, 1, 0) == 0;)
            db.Exec("insert into Noise values (1)");
        ::_exit(0);
    }
    ::close(stop[0]);
    for (int i = 0; i < 10000 && Count("select count(1) from Noise") == 0; ++i) ::usleep(1000);
    Manager();
    ::close(stop[1]);
    ::waitpid(writer, nullptr, 0);
    EXPECT_EQ(Lines(), StartUpLines());
    EXPECT_GT(Count("select count(1) from Noise"), 0) << "the other process wrote";
    const std::pair<const char*, const char*> layout[] = {
        {"select group_concat(name) from pragma_table_info('TransferTask')",
         "taskID,startTime,endTime,transferFileNums,completeNums,transferSize,completeSize,status,"
         "transferAppNums,transferSucAppNums,macAddr,transferSettingNums,transferSucSettingNums,"
         "session,fileStatus,appStatus,settingStatus,completeEmptyFolderNum,newPCType,newPCModel"},
        {"select group_concat(name) from pragma_table_info('TransferAppInfo')",
         "taskID,appName,downStatusIndex,installStatusIndex,appIconPath"},
        {"select group_concat(name) from pragma_table_info('TransferFileInfo')",
         "taskID,fileName,sendFilePath,errCode,targetPath,status"},
        {"select count(1) from sqlite_master where name = 'fileIndex'", "1"},
        // The old row keeps its values; the new columns hold their defaults.
        {"select macAddr || ',' || newPCType || ',' || session || ',' || newPCModel from "
         "TransferTask",
         "mac,-1,,"}};
    for (const auto& [sql, upgraded] : layout) EXPECT_EQ(Scalar(sql), upgraded) << sql;
    // The model column is declared text: a model that reads as a number stays as written.
    Exec("update TransferTask set newPCModel = '007'");
    EXPECT_EQ(Scalar("select newPCModel from TransferTask"), "007");
}

TEST_F(DataBaseManagerTest, KeptConnectionsFollowTheFileAtThePath) {
    DataBaseManager& m = Started();
    TransferTask task;
    m.InsertOneTask(task);
    const fs::path backup = AppDataFolder() / "backup.db";
    TestDb(MainDbFile()).Exec("VACUUM INTO '" + backup.string() + "'");
    TestDb(backup).Exec("PRAGMA journal_mode=WAL; UPDATE TransferTask SET taskID = 7");
    m.InsertOneTask(task);
    m.InsertOneTask(task);
    // The connections stay open between operations, and with them the log.
    EXPECT_TRUE(fs::exists(MainDbFile().string() + "-wal")) << "kept within a burst";
    // The backup put in place: operations use the new file, and the old file's log (tasks 2, 3) is
    // not replayed into it, not even by the first reader, opened while only writers are kept.
    fs::rename(backup, MainDbFile());
    EXPECT_EQ(m.GetMaxTaskID(), 7) << "a read of the file put in place";
    m.InsertOneTask(task);
    EXPECT_EQ(m.GetMaxTaskID(), 8) << "a write to it";
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Scalar("select group_concat(taskID) from TransferTask"), "7,8")
        << "the old file's log is not replayed into it";
    // Failed writes leave only readers kept while this process's other SQLite removes the log
    // in between: the next writer must not meet their stale index.
    for (int i = 0; i < 3; ++i) m.InsertOneTask(task);
    Exec("DROP TABLE TransferAppInfo");
    m.UpdateTransferHistory();  // its delete from TransferAppInfo fails
    EXPECT_EQ(Count("select count(1) from TransferTask"), 3) << "pruned despite its failed step";
    m.CleanTransferHistory();  // fails there again
    EXPECT_EQ(Count("select count(1) from TransferTask"), 0) << "cleaned despite its failed step";
    ClearLines();
    m.InsertOneTask(task);
    EXPECT_EQ(Count("select count(1) from TransferTask"), 1) << "the next write lands";
    EXPECT_TRUE(Lines().empty());
    // Deleted: each operation fails as on a missing file, and creates none.
    fs::remove(MainDbFile());
    EXPECT_EQ(m.GetMaxTaskID(), 0) << "the file deleted";
    m.InsertOneTask(task);
    EXPECT_FALSE(fs::exists(MainDbFile())) << "a write creates none";
    EXPECT_EQ(
        Lines(),
        (LogLines{Error("SQLite error:Open database failed,error code is 14", "ConnectDbReadonly"),
                  kCantOpen}));
    EXPECT_FALSE(m.CleanTransferHistory()) << "not cleared, whatever handle SQLite left";
}

// A forked child works on connections of its own, leaving its parent's alone; the end of the only
// process on the database closes the last connections, which checkpoint the log and remove it.
TEST_F(DataBaseManagerTest, AForkedChildWorksOnConnectionsOfItsOwnAndItsEndLeavesNoLog) {
    TransferTask task;
    EXPECT_TRUE(InChild([&] {
        for (int i = 0; i < 3; ++i) DataBaseManager::GetInstance()->InsertOneTask(task);
        return DataBaseManager::GetInstance()->GetMaxTaskID() == 3;
    })) << "a child on a new database";
    EXPECT_FALSE(fs::exists(MainDbFile().string() + "-wal") ||
                 fs::exists(MainDbFile().string() + "-shm"))
        << "the child's end left a log";
    EXPECT_EQ(Count("select count(1) from TransferTask"), 3) << "the child's writes";
    DataBaseManager& m = Started();
    m.InsertOneTask(task);
    EXPECT_TRUE(InChild([&] {
        m.InsertOneTask(task);
        return m.GetMaxTaskID() == 5;
    })) << "a child of a parent with kept connections";
    EXPECT_EQ(m.GetMaxTaskID(), 5) << "the parent reads the child's write";
    m.InsertOneTask(task);
    EXPECT_EQ(m.GetMaxTaskID(), 6) << "and writes on";
    EXPECT_TRUE(WaitForNoLog(MainDbFile())) << "and lets go when idle, as before the fork";
    EXPECT_EQ(Scalar("PRAGMA integrity_check"), "ok");
    EXPECT_TRUE(Lines().empty());
}

// A host writes on one thread while another forks a child that writes until it is killed; the
// host ends normally 300 ms after the fork. Every write that returned, in either process, is in
// the database, and the database is whole: neither process inherited the other's connections.
TEST_F(DataBaseManagerTest, NoWriteThatReturnedIsLostAcrossAFork) {
    struct Counts {
        std::atomic<int> host{0}, child{0};
        std::atomic<pid_t> childPid{0};
    };
    void* shared =
        ::mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* counts = new (shared) Counts;
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);  // the child outlives the host: this process reaps it
    auto start = std::chrono::steady_clock::now();
    pid_t host = ::fork();
    if (host == 0) {
        DataBaseManager& m = *DataBaseManager::GetInstance();
        TransferTask task;
        m.InsertOneTask(task);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop) m.InsertOneTask(task), ++counts->host;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pid_t child = ::fork();  // while the writer is in the middle of its writes
        if (child == 0) {
            for (;;) m.InsertOneTask(task), ++counts->child;
        }
        counts->childPid = child;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
        writer.join();
        ::exit(0);  // a normal end: the host's connections close, the last one checkpoints
    }
    int status = -1;
    ASSERT_EQ(::waitpid(host, &status, 0), host);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(1500));
    ::kill(counts->childPid, SIGKILL);
    ::waitpid(counts->childPid, nullptr, 0);
    const long long returned = 1 + counts->host + counts->child;
    EXPECT_GT(counts->child, 0) << "the child wrote";
    // The kill may fall between a commit and its count: one row more, never one fewer.
    long long rows = Count("select count(1) from TransferTask");
    EXPECT_GE(rows, returned) << counts->host << " host, " << counts->child << " child";
    EXPECT_LE(rows, returned + 1) << "no row but the returned writes and the one the kill cut";
    EXPECT_EQ(Scalar("PRAGMA integrity_check"), "ok");
    ::munmap(shared, sizeof(Counts));
}

TEST_F(DataBaseManagerTest, StartUpsRetriedTogetherAfterAFailedOneRunOnce) {
    PlatformTesting::SimulateConsoleToken(1008);
    Manager();
    ASSERT_FALSE(IsInit());
    PlatformTesting::SimulateConsoleToken(0);
    ClearLines();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([] { Manager().InitInstance(); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(IsInit());
    EXPECT_EQ(Lines(), StartUpLines());
    EXPECT_EQ(Count("select count(1) from sqlite_master where name like 'Transfer%'"), 5);
}

// Wide text reaches SQLite as UTF-8 whatever the locale, and comes back whole where it is valid,
// one U+FFFD for each broken sequence where it is not. Narrow text is read as UTF-8.
TEST_F(DataBaseManagerTest, TextIsStoredAsUtf8AndReadBackWhole) {
    DataBaseManager& m = Started();
    std::vector<SendAppInfo> apps(1);
    apps[0].appName = kWide + std::wstring(L"\0cut", 4);  // up to the first 0 character
    m.InsertAppInfo(apps, 1);
    EXPECT_EQ(Scalar("select appName from TransferAppInfo"), kUtf8) << "stored as UTF-8";
    std::vector<std::wstring> names;
    m.QueryAllAppNameByID(names, 1);
    AppInfoPariNode node[1];
    m.QueryAppInfoByID(node, 1, 1);
    names.push_back(node[0].appName);
    EXPECT_EQ(names, (std::vector<std::wstring>{kReadBack, kReadBack})) << "a list, an array";
    // Another program's bytes: valid boundaries, then overlong forms, surrogates, past U+10FFFF, a
    // stray continuation, a lead that starts nothing, sequences cut by a character and by the end.
    Exec(
        "insert into TransferBookmarkInfo values (1, cast(x'41c280dfbfe0a080ed9fbfee8080efbfbf"
        "f0908080f48fbfbf7cc0807ce080807cf08080807ceda0807cedbfbf7cf49080807c807cf87ce228a1"
        "7ce282' as text))");
    m.GetTaskBookmarkInfo(1, names);
    EXPECT_EQ(names, std::vector<std::wstring>{L"A\x80\x7ff\x800\xd7ff\xe000\xffff\U00010000"
                                               L"\U0010FFFF|\xfffd|\xfffd|\xfffd|\xfffd|\xfffd|"
                                               L"\xfffd|\xfffd|\xfffd|\xfffd(\xfffd|\xfffd"})
        << "another program's bytes";
    char session[16] = {};
    m.InsertOneTask(1, session, 1, 1, "Zeichenbrett \xc3\x9c");
    m.InsertOneTask(1, session, 1, 1, "\xff\xfe");  // not UTF-8: stored as empty text
    EXPECT_EQ(Query("select newPCModel from TransferTask"), (Rows{{"Zeichenbrett \xc3\x9c"}, {""}}))
        << "narrow text as UTF-8; what is not UTF-8 as empty text";
    EXPECT_TRUE(Lines().empty());
}

// Without a sink every line goes to the file VTLOGGER_FILE names: UTF-8, time, level and thread.
TEST_F(DataBaseManagerTest, TheLogFileHoldsOneUtf8LinePerCall) {
    const fs::path file = AppDataFolder() / "vt.log";
    ::setenv("VTLOGGER_FILE", file.c_str(), 1);
    VtLogger::GetInstance()->SetSink({});
    using namespace std::chrono;
    const auto before = system_clock::now();
    Manager();
    for (int level : {1, 2, 4, 7}) {
        std::wstringstream text;
        text << L"[DATABASE]" << kWide << L"(" << level << L")";
        VtLogger::GetInstance()->Log(static_cast<LOG_MESSAGE_LEVEL>(level), text);
    }
    const auto after = system_clock::now();
    // The time as the file writes it, UTC to the millisecond: the texts order as the times do.
    auto stamp = [](system_clock::time_point time) {
        std::time_t seconds = system_clock::to_time_t(time);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::gmtime(&seconds));
        int millis = int(duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000);
        return text + std::string(".") + std::to_string(1000 + millis).substr(1) + "Z";
    };
    const std::regex format(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z) ([A-Z]+) \[(\d+)\] (.*))");
    std::ifstream in(file, std::ios::binary);
    std::string seen;
    for (std::string line; std::getline(in, line);) {
        std::smatch part;
        ASSERT_TRUE(std::regex_match(line, part, format)) << line;
        EXPECT_TRUE(stamp(before) <= part[1] && part[1] <= stamp(after)) << line;
        seen += part[2].str() + " " + part[4].str() + "\n";
    }
    const std::string text = "[DATABASE]" + kUtf8 + "(";
    EXPECT_EQ(seen,
              "INFO [DATABASE]Start update table.(DataBaseManager::UpdateTable)\n"
              "INFO [DATABASE]End update table.(DataBaseManager::UpdateTable)\nTRACE " +
                  text + "1)\nDEBUG " + text + "2)\nERROR " + text + "4)\nLEVEL " + text + "7)\n");
}

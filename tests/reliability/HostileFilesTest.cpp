// Hostile database files: a migration database and a document cache written by another program,
// damaged, or shaped differently from ours, each written with the tests' own SQLite and closed
// before the library opens it, before its start-up (which meets them too) or after it (which
// would otherwise repair them). Then every query and every write runs. Nothing crashes; a query
// gives back what is stored, as SQLite converts it, or nothing and leaves its caller's outputs as
// they were; what could not be done is in the log; a file the library cannot use keeps its bytes.
#include <fstream>

#include "ReliabilitySupport.h"

namespace fs = std::filesystem;
using namespace Reliability;

namespace {
// clang-format off
// The writes log no error; are refused, and say so (their lines among `logged`); or are refused
// and every file keeps its bytes: the database, the cache and a data folder that is a file.
enum Outcome { kWritesLand, kRefused, kUntouched };
// `place` writes the files before or after the start-up. Each of `reads` starts an item the query
// it names gave back, "Query:|field|..." (none: no query reads); each of `logged` is in the log.
struct Case {
    std::string name; bool beforeStartUp; Outcome outcome;
    std::function<void(const fs::path& main, const fs::path& cache)> place;
    std::vector<std::string> reads, logged;
};
// clang-format on
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Replaces a database and its log, as a copy put in its place would, by `bytes`, and runs `sql`.
void Replace(const fs::path& file, const std::string& bytes, const std::string& sql = "") {
    for (const char* end : {"", "-wal", "-shm", "-journal"}) fs::remove(file.string() + end);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
    if (!sql.empty()) TestDb(file).Exec(sql);
}
std::string Path(const std::string& path) {  // in SQL, with the platform's separators
    return "replace('" + path + "', '/', '" +
           std::string(1, static_cast<char>(fs::path::preferred_separator)) + "')";
}

// clang-format off
// Our tables with their columns, without types or constraints: any value fits anywhere.
const std::string kLoose = "CREATE TABLE TransferTask (taskID, startTime, endTime, "
    "transferFileNums, completeNums, transferSize, completeSize, completeEmptyFolderNum, status, "
    "transferAppNums, transferSucAppNums, macAddr, transferSettingNums, transferSucSettingNums, "
    "session, fileStatus, appStatus, settingStatus, newPCType, newPCModel); CREATE TABLE "
    "TransferFileInfo (taskID, fileName, sendFilePath, errCode, targetPath, status); CREATE TABLE "
    "TransferAppInfo (taskID, appName, downStatusIndex, installStatusIndex, appIconPath); CREATE "
    "TABLE TransferSettingInfo (taskID, settingName, resultType); CREATE TABLE "
    "TransferBookmarkInfo (taskID, browserName);";
const std::string kLooseCache = "CREATE TABLE normal_file (filepath, tarpath, filesize, result, "
    "winFilePath); CREATE TABLE small_file AS SELECT * FROM normal_file; CREATE TABLE empty_file "
    "(filepath, winFilePath, isFolder, modifyTime, result);";

std::vector<Case> Cases() {
    const std::string x = "replace(hex(zeroblob(50000)), '0', 'x')", all(100000, 'x');
    std::vector<Case> cases = {
        // NULL everywhere, values of other types, a session of 17 bytes, texts of 100,000
        // characters, invalid UTF-8 (overlong, a lone continuation byte, an encoded surrogate,
        // beyond U+10FFFF, cut short, never UTF-8, an embedded 0), a cache path of 50,000 parts.
        // '12abc' reads 12, 1e300 the largest 64-bit value, 4294967297 cut to 32 bits 1, -1.5
        // -1; the newest task's time from one end of the range to the other wraps to -1; a row
        // without a path has no node on resume; on POSIX one U+FFFD stands for each bad sequence.
        {"OddValues", true, kWritesLand, [=](const fs::path& main, const fs::path& cache) {
            Replace(main, "", kLoose + "INSERT INTO TransferTask DEFAULT VALUES; INSERT INTO "
                "TransferTask (taskID, startTime, endTime, transferFileNums, completeNums, "
                "completeSize, status, session, newPCModel) VALUES (2, -9223372036854775808, "
                "1e300, '12abc', 4294967297, -1.5, '7', x'808182838485868788898a8b8c8d8e8f90', " +
                x + "); INSERT INTO TransferAppInfo VALUES (1, NULL, NULL, NULL, NULL), (1, " + x +
                ", 0, 0, ''); INSERT INTO TransferAppInfo (taskID, appName) SELECT 1, CAST(unhex("
                "value) AS TEXT) FROM json_each('[\"61C0AF62\",\"6180\",\"EDA080\",\"F4908080\","
                "\"E282\",\"FF\",\"610062\"]'); INSERT INTO TransferBookmarkInfo VALUES (1, "
                "x'626f6f6b'); INSERT INTO TransferFileInfo (taskID, status) VALUES (2, 0); INSERT "
                "INTO TransferFileInfo VALUES (2, 'a.txt', " + Path("docs/a.txt") + ", 'e', " + x +
                ", 1);");
            Replace(cache, "", kLooseCache + "INSERT INTO normal_file (filepath, result, "
                "winFilePath) VALUES (NULL, NULL, 'x'), (42, 0, " + Path("docs/deep/c.txt") +
                "), (CAST(x'612FFF2FC0' AS TEXT), 0, " + Path("docs/empty") + "), (replace(hex("
                "zeroblob(50000)), '00', 'p/'), 0, " + Path("docs/a.txt") + ")"); },
         {"GetLastUnCompleteTask:|2|-9223372036854775808|9223372036854775807|12|1|0|-1|7|"
          "808182838485868788898a8b8c8d8e8f|", "GetMigrationConsumerTime:|-1|",
          "QueryAllAppNameByID:|" + all + "|", "GetTaskBookmarkInfo:|book|",
          "RecoveryDirTreeByID:|missing|1|", "RecoveryDirTreeByID:|docs/a.txt|1|" + all + "||",
          "RecoveryDirTreeByCacheDb:|docs/deep/c.txt|1||42|",
          "RecoveryDirTreeByCacheDb:|docs/a.txt|1||p|"},
         {"taskInfoNode wcscpy_s failed, err = 22"}},
        // Tables missing after the start-up: a zero-length database, a cache with another table.
        // Nothing is made behind the start-up's back; the file stays zero bytes long. (A
        // zero-length file that the start-up meets becomes a database of ours.)
        {"NoTables", false, kUntouched, [](const fs::path& main, const fs::path& cache) {
            Replace(main, ""), Replace(cache, "", "CREATE TABLE other (x);"); }, {},
         {"SQLite error:error code is 1,reason:no such table: normal_file",
          "SQLite error:no such table: TransferTask",
          "DeleteErrorTask failed,error code is 1,reason:no such table: TransferTask"}},
        // Only the statements that name a missing column fail.
        {"MissingColumns", false, kRefused, [](const fs::path& main, const fs::path& cache) {
            Replace(main, "", "CREATE TABLE TransferTask (taskID INTEGER PRIMARY KEY); CREATE "
                "TABLE TransferFileInfo (taskID, status); CREATE TABLE TransferAppInfo (taskID); "
                "CREATE TABLE TransferSettingInfo (taskID); CREATE TABLE TransferBookmarkInfo "
                "(taskID); INSERT INTO TransferTask VALUES (1); INSERT INTO TransferAppInfo "
                "VALUES (1), (1);");
            Replace(cache, "", "CREATE TABLE normal_file (result)"); },
         {"GetMaxTaskID:|1|", "GetTransferHistoryNum:|1|", "QueryAppNumByID:|2|"},
         {"SQLite error:error code is 1,reason:no such column: winFilePath",
          "SQLite error:table TransferAppInfo has no column named appName"}},
        {"RandomBytes", true, kUntouched, [](const fs::path& main, const fs::path& cache) {
            std::string bytes(8192, '\0');
            std::generate(bytes.begin(), bytes.end(), std::mt19937(7));
            Replace(main, bytes), Replace(cache, bytes); }, {},
         {"SQLite error:DeleteErrorTask failed,error code is 26"}},
        // Read-only files: root passes over permission bits, so the files say it themselves, with
        // a write version above 2 in the header (byte 18). A NULL session leaves the caller's
        // bytes as they were.
        {"ReadOnly", false, kUntouched, [=](const fs::path& main, const fs::path& cache) {
            Replace(main, "", kLoose + "INSERT INTO TransferTask (taskID, newPCModel) VALUES (1, "
                "'m'); INSERT INTO TransferAppInfo (taskID, appName) VALUES (1, 'app');");
            Replace(cache, "", kLooseCache);
            for (const fs::path& file : {main, cache})
                Replace(file, ReadFile(file).replace(18, 1, 1, 3)); },
         {"QueryAllAppNameByID:|app|", "GetLastUnCompleteTask:|1|0|0|0|0|0|0|0|" +
          std::string(32, '5')},
         {"SQLite error, session is nullptr", "SQLite error:attempt to write a readonly database",
          "DeleteErrorTask failed,error code is 8,reason:attempt to write a readonly database"}},
        {"DataFolderIsAFile", true, kUntouched, [](const fs::path& main, const fs::path&) {
            Replace(main.parent_path(), "a file"); }, {},
         {"SQLite error:Create sync database failed,error code is .14",
          "SQLite error:Open database failed,error code is 14"}},
    };
    if (sizeof(wchar_t) == 4) {
        cases[0].reads.insert(cases[0].reads.end(), {"QueryAllAppNameByID:|a<65533>b|",
            "QueryAllAppNameByID:|a<0>b|", "QueryAllAppNameByID:|<65533>|",
            "RecoveryDirTreeByCacheDb:|docs/empty|1||<65533>|"});
    }
    return cases;
}
// clang-format on

class HostileFilesTest : public DataBaseManagerTest, public ::testing::WithParamInterface<Case> {};

TEST_P(HostileFilesTest, NothingCrashesAndCallersGetWhatIsStoredOrNothing) {
    const Case& c = GetParam();
    if (c.beforeStartUp) c.place(MainDbFile(), CacheDbFile());
    Manager();
    if (!fs::exists(CacheDbFile())) Manager().CreateDocCacheDb();
    if (!c.beforeStartUp) LetGoOfDatabaseFiles(), c.place(MainDbFile(), CacheDbFile());
    auto bytes = [this] {
        return ReadFile(MainDbFile()) + ReadFile(CacheDbFile()) + ReadFile(DataFolder());
    };
    const std::string files = bytes();
    const Items seen = ReadAll(1);
    for (const std::string& read : c.reads) {
        auto found = seen.lower_bound(read);
        EXPECT_TRUE(found != seen.end() && found->rfind(read, 0) == 0)
            << read.substr(0, 200) << " not among "
            << ::testing::PrintToString(seen).substr(0, 3000);
    }
    EXPECT_TRUE(!c.reads.empty() || seen.empty()) << "read from a file without rows";
    const size_t readLines = Lines().size();
    DirectoryTreeManager selection;
    AddSelection(selection);
    for (const Write& write : Writes(1, 1, selection.GetRootNode())) write.run();
    EXPECT_EQ(ErrorLines(Lines(), readLines).empty(), c.outcome == kWritesLand)
        << ErrorLines(Lines());
    for (const std::string& line : c.logged) EXPECT_TRUE(Logged(Widen(line))) << line;
    EXPECT_TRUE(c.outcome != kUntouched || bytes() == files) << "a file was written";
}

INSTANTIATE_TEST_SUITE_P(Inputs, HostileFilesTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });
}  // namespace

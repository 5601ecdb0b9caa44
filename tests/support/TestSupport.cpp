#include "TestSupport.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

#if defined(_WIN32)
#include <shlobj.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void PrintTo(const LogEntry& entry, std::ostream* os) {
    std::string narrow;
    for (wchar_t c : entry.text) narrow += c < 128 ? static_cast<char>(c) : '?';
    *os << "{" << entry.level << ", \"" << narrow << "\"}";
}

static LogEntry MakeLine(LOG_MESSAGE_LEVEL level, const std::string& message,
                         const std::string& operation) {
    return {level, Widen("[DATABASE]" + message + "(DataBaseManager::" + operation + ")")};
}
LogEntry Info(const std::string& message, const std::string& operation) {
    return MakeLine(LOG_LEVEL_INFO, message, operation);
}
LogEntry Error(const std::string& message, const std::string& operation) {
    return MakeLine(LOG_LEVEL_ERROR, message, operation);
}

TestDb::TestDb(const fs::path& path, bool create) {
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.string().c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string message = sqlite3_errmsg(db);
        sqlite3_close(db);
        db = nullptr;
        throw std::runtime_error("cannot open " + path.string() + ": " + message);
    }
    sqlite3_busy_timeout(db, 10000);
}

TestDb::~TestDb() { sqlite3_close(db); }

void TestDb::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error(sql + ": " + message);
    }
}

Rows TestDb::Query(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sql + ": " + sqlite3_errmsg(db));
    }
    Rows rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            switch (sqlite3_column_type(stmt, i)) {
                case SQLITE_NULL:
                    row.emplace_back("NULL");
                    break;
                case SQLITE_BLOB: {
                    auto bytes = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, i));
                    std::string hex = "x'";
                    char digits[3];
                    for (int k = 0; k < sqlite3_column_bytes(stmt, i); ++k) {
                        std::snprintf(digits, sizeof digits, "%02x", bytes[k]);
                        hex += digits;
                    }
                    row.push_back(hex + "'");
                    break;
                }
                default:
                    row.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
            }
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    return rows;
}

std::string TestDb::Scalar(const std::string& sql) {
    Rows rows = Query(sql);
    if (rows.empty() || rows[0].empty()) throw std::runtime_error(sql + ": no row");
    return rows[0][0];
}

void CreateOldLayout(TestDb& db) {
    db.Exec(
        "CREATE TABLE TransferTask (taskID INTEGER PRIMARY KEY AUTOINCREMENT,startTime "
        "integer,endTime integer, transferFileNums INTEGER NOT NULL,completeNums INTEGER "
        "NOT NULL, transferSize INTEGER NOT NULL,completeSize INTEGER NOT NULL, status "
        "INTEGER NOT NULL,transferAppNums INTEGER NOT NULL, transferSucAppNums INTEGER "
        "NOT NULL,macAddr TEXT)");
    db.Exec(
        "create table TransferFileInfo (taskID integer not null,fileName "
        "text,sendFilePath text,errCode integer DEFAULT -1)");
    db.Exec(
        "CREATE TABLE TransferAppInfo (taskID INTEGER NOT NULL,appName "
        "TEXT,downStatusIndex INTEGER DEFAULT -1, installStatusIndex INTEGER DEFAULT -1)");
}

#if defined(_WIN32)
static std::vector<fs::path> Entries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    return entries;
}
#endif

void DataBaseManagerTest::SetUp() {
#if defined(_WIN32)
    // SHGetFolderPathA gives the real all-users folder; each case starts from an empty one.
    char buffer[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer);
    appData = buffer;
    std::error_code ignored;
    fs::remove_all(appData / "Voded", ignored);
    // The machine's folder is shared: TearDown takes away only what the case added to it.
    appDataAtStart = Entries(appData);
#else
    std::random_device random;
    appData = fs::temp_directory_path() /
              ("database-test-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
    fs::create_directories(appData);
    ::setenv("PROGRAMDATA", appData.c_str(), 1);
#endif
    VtLogger::GetInstance()->SetSink([this](LOG_MESSAGE_LEVEL level, const std::wstring& text) {
        std::lock_guard<std::mutex> lock(linesMutex);
        lines.push_back({level, text});
    });
}

void DataBaseManagerTest::TearDown() {
    VtLogger::GetInstance()->SetSink({});
    std::error_code ignored;
#if defined(_WIN32)
    for (const fs::path& entry : Entries(appData)) {
        if (std::find(appDataAtStart.begin(), appDataAtStart.end(), entry) ==
            appDataAtStart.end()) {
            fs::remove_all(entry, ignored);
        }
    }
#else
    fs::permissions(appData, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(appData, ignored);
#endif
}

fs::path DataBaseManagerTest::DataFolder() const { return appData / "Voded" / "Corvanel"; }

Rows DataBaseManagerTest::Query(const std::string& sql) const {
    return TestDb(MainDbFile()).Query(sql);
}
std::string DataBaseManagerTest::Scalar(const std::string& sql) const {
    return TestDb(MainDbFile()).Scalar(sql);
}
void DataBaseManagerTest::Exec(const std::string& sql) const { TestDb(MainDbFile()).Exec(sql); }

std::vector<LogEntry> DataBaseManagerTest::Lines() const {
    std::lock_guard<std::mutex> lock(linesMutex);
    return lines;
}

std::vector<std::wstring> DataBaseManagerTest::Texts() const {
    std::vector<std::wstring> texts;
    for (const LogEntry& entry : Lines()) texts.push_back(entry.text);
    return texts;
}

void DataBaseManagerTest::ClearLines() {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.clear();
}

bool DataBaseManagerTest::Logged(const std::wstring& fragment) const {
    for (const LogEntry& entry : Lines()) {
        if (entry.text.find(fragment) != std::wstring::npos) return true;
    }
    return false;
}

#if defined(_WIN32)
struct WriteLockHolder::State {
    TestDb db;
    explicit State(const fs::path& file) : db(file) {}
};

WriteLockHolder::WriteLockHolder(const fs::path& dbFile) : state(new State(dbFile)) {
    state->db.Exec("BEGIN EXCLUSIVE");
}

WriteLockHolder::~WriteLockHolder() {
    state->db.Exec("ROLLBACK");
    delete state;
}
#else
struct WriteLockHolder::State {
    pid_t child = -1;
    int release = -1;  // closing it lets the child go
};

WriteLockHolder::WriteLockHolder(const fs::path& dbFile) : state(new State) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
    state->child = ::fork();
    if (state->child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        sqlite3* db = nullptr;
        int ok =
            sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
        char flag = ok ? 1 : 0;
        if (::write(ready[1], &flag, 1) != 1) ::_exit(1);
        char done;
        while (::read(release[0], &done, 1) > 0) {
        }
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    state->release = release[1];
    char flag = 0;
    ssize_t got = ::read(ready[0], &flag, 1);
    ::close(ready[0]);
    if (got != 1 || flag != 1) throw std::runtime_error("the lock holder could not lock");
}

WriteLockHolder::~WriteLockHolder() {
    ::close(state->release);
    int status = 0;
    ::waitpid(state->child, &status, 0);
    delete state;
}
#endif

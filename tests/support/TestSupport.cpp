#include "TestSupport.h"

#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <shlobj.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
    return narrow;
}

std::string ReadFile(const fs::path& file) {
    std::error_code error;
    const auto size = fs::is_regular_file(file, error) ? fs::file_size(file, error) : 0;
    std::string bytes(error ? 0 : size, '\0');
    std::ifstream(file, std::ios::binary)
        .read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

int OpenHandlesTo(const fs::path& file) {
#if defined(_WIN32)
    (void)file;
    return -1;
#else
    int open = 0;
    const std::string name = fs::weakly_canonical(file).string();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::string target = fs::read_symlink(entry.path(), error).string();
        if (!error && target.rfind(name, 0) == 0 &&
            (target == name || target == name + "-wal" || target == name + "-shm")) {
            ++open;
        }
    }
    return open;
#endif
}

bool WaitForNoLog(const fs::path& file) {
    auto held = [&] {
        return fs::exists(file.string() + "-wal") || fs::exists(file.string() + "-shm") ||
               OpenHandlesTo(file) > 0;
    };
    for (int i = 0; i < 500 && held(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !held();
}

bool Renamed(const fs::path& from, const fs::path& to) {
    std::error_code error;
    for (int i = 0; i < 50; ++i) {
        fs::rename(from, to, error);
        if (!error) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void PrintTo(const LogEntry& entry, std::ostream* os) {
    *os << "{" << entry.level << ", \"" << Narrow(entry.text) << "\"}";
}

LogEntry Info(const std::string& message, const std::string& operation) {
    return {LOG_LEVEL_INFO, Widen("[DATABASE]" + message + "(DataBaseManager::" + operation + ")")};
}
LogEntry Error(const std::string& message, const std::string& operation) {
    return {LOG_LEVEL_ERROR, Info(message, operation).text};
}
LogLines StartUpLines() {
    return {Info("Start update table.", "UpdateTable"), Info("End update table.", "UpdateTable")};
}

TestDb::TestDb(const fs::path& path, bool create) {
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.string().c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string message = sqlite3_errmsg(db);
        sqlite3_close(db);
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

std::string TestDb::Text(sqlite3_stmt* stmt, int column) {
    const int type = sqlite3_column_type(stmt, column);
    auto bytes = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, column));
    std::string value = type == SQLITE_NULL ? "NULL" : type == SQLITE_BLOB ? "x'" : "";
    for (int k = 0; k < sqlite3_column_bytes(stmt, column); ++k) {
        if (type != SQLITE_BLOB)
            value += static_cast<char>(bytes[k]);
        else
            value += "0123456789abcdef"[bytes[k] >> 4], value += "0123456789abcdef"[bytes[k] & 15];
    }
    return type == SQLITE_BLOB ? value + "'" : value;
}

Rows TestDb::Query(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sql + ": " + sqlite3_errmsg(db));
    }
    Rows rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) rows.back().push_back(Text(stmt, i));
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
        "CREATE TABLE TransferTask (taskID INTEGER PRIMARY KEY AUTOINCREMENT,startTime integer,"
        "endTime integer, transferFileNums INTEGER NOT NULL,completeNums INTEGER NOT NULL, "
        "transferSize INTEGER NOT NULL,completeSize INTEGER NOT NULL, status INTEGER NOT NULL,"
        "transferAppNums INTEGER NOT NULL, transferSucAppNums INTEGER NOT NULL,macAddr TEXT);"
        "create table TransferFileInfo (taskID integer not null,fileName text,sendFilePath text,"
        "errCode integer DEFAULT -1); CREATE TABLE TransferAppInfo (taskID INTEGER NOT NULL,"
        "appName TEXT,downStatusIndex INTEGER DEFAULT -1, installStatusIndex INTEGER DEFAULT -1)");
}

void DataBaseManagerTest::SetUp() {
#if defined(_WIN32)
    // SHGetFolderPathA gives the real all-users folder; each case starts from an empty one.
    char buffer[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer);
    appData = buffer;
    // The machine's folder is shared: each case starts from, and leaves, no data folder in it.
    std::error_code ignored;
    fs::remove_all(appData / "Voded", ignored);
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
    fs::remove_all(appData / "Voded", ignored);
#else
    fs::permissions(appData, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(appData, ignored);
#endif
}

bool DataBaseManagerTest::Logged(const std::wstring& fragment) const {
    for (const LogEntry& line : Lines())
        if (line.text.find(fragment) != std::wstring::npos) return true;
    return false;
}

#if defined(_WIN32)
struct WriteLockHolder::State : TestDb {
    using TestDb::TestDb;
};

WriteLockHolder::WriteLockHolder(const fs::path& dbFile) : state(new State(dbFile)) {
    state->Exec("BEGIN EXCLUSIVE");
}

WriteLockHolder::~WriteLockHolder() {
    state->Exec("ROLLBACK");
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
    if ((state->child = ::fork()) == 0) {
        ::close(release[1]);
        sqlite3* db = nullptr;
        char ok = sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == 0 &&
                  sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == 0;
        // Holds the lock until the parent closes its end; the lock ends with the process.
        while (::write(ready[1], &ok, 1) == 1 && ::read(release[0], &ok, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    state->release = release[1];
    char ok = 0;
    bool locked = ::read(ready[0], &ok, 1) == 1 && ok == 1;
    ::close(ready[0]);
    if (!locked) throw std::runtime_error("the lock holder could not lock");
}

WriteLockHolder::~WriteLockHolder() {
    ::close(state->release);
    ::waitpid(state->child, nullptr, 0);
    delete state;
}
#endif

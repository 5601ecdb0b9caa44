// What every test needs: a fresh data folder of its own, the log lines the library wrote, a way
// into the manager's private members, and a plain SQLite reader for the database files.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "DataBaseManager.h"
#include "ManagerInternals.h"
#include "VtLogger.h"

struct sqlite3;
struct sqlite3_stmt;

// A log line as the sink received it.
struct LogEntry {
    LOG_MESSAGE_LEVEL level;
    std::wstring text;
    bool operator==(const LogEntry& other) const {
        return level == other.level && text == other.text;
    }
};
void PrintTo(const LogEntry& entry, std::ostream* os);
using LogLines = std::vector<LogEntry>;

// The line the library writes for `message` in `operation` ("UpdateTaskStatus").
LogEntry Info(const std::string& message, const std::string& operation);
LogEntry Error(const std::string& message, const std::string& operation);
// The two lines of every start-up's schema check.
LogLines StartUpLines();

// Rows of a query, each column as text ("NULL" for SQL NULL, hex for a BLOB: "x'0102'").
using Rows = std::vector<std::vector<std::string>>;

// A connection of the tests' own SQLite. On POSIX it must be closed before the library works on
// the same file again (file locks belong to the process).
class TestDb {
public:
    explicit TestDb(const std::filesystem::path& path, bool create = false);
    ~TestDb();
    TestDb(const TestDb&) = delete;
    TestDb& operator=(const TestDb&) = delete;
    void Exec(const std::string& sql);
    Rows Query(const std::string& sql);
    // A column of the current row as Query gives it.
    static std::string Text(sqlite3_stmt* stmt, int column);
    std::string Scalar(const std::string& sql);  // first column of the first row
    long long Count(const std::string& sql) { return std::stoll(Scalar(sql)); }
    sqlite3* Handle() const { return db; }

private:
    sqlite3* db = nullptr;
};

// The three tables as an earlier layout wrote them, before the columns and the index that the
// start-up's upgrade adds.
void CreateOldLayout(TestDb& db);

// The manager's private members come with the fixture (IsInit(), ConnectDb(), ...).
class DataBaseManagerTest : public ::testing::Test, protected DataBaseManager::Internals {
protected:
    void SetUp() override;
    void TearDown() override;

    // This test's all-users application-data folder, its data folder and the two databases.
    std::filesystem::path AppDataFolder() const { return appData; }
    std::filesystem::path DataFolder() const { return appData / "Voded" / "Corvanel"; }
    std::filesystem::path MainDbFile() const { return DataFolder() / "corvanel.db"; }
    std::filesystem::path CacheDbFile() const { return DataFolder() / "db_cache" / "doc_Cache.db"; }

    // Reads the migration database with the tests' own SQLite (open, query, close).
    Rows Query(const std::string& sql) const { return TestDb(MainDbFile()).Query(sql); }
    std::string Scalar(const std::string& sql) const { return TestDb(MainDbFile()).Scalar(sql); }
    long long Count(const std::string& sql) const { return std::stoll(Scalar(sql)); }
    void Exec(const std::string& sql) const { TestDb(MainDbFile()).Exec(sql); }

    // Before a case deletes or replaces a database file. Windows refuses to delete a file that
    // is open, so the manager lets go of its connections there, as at the end of the process; on
    // POSIX it must notice by itself.
    static void LetGoOfDatabaseFiles() {
#if defined(_WIN32)
        CloseIdleConnections();
#endif
    }

    // The started manager, with the start-up's own lines forgotten.
    DataBaseManager& Started() {
        Manager();
        ClearLines();
        return Manager();
    }

    // Log capture.
    LogLines Lines() const {
        std::lock_guard<std::mutex> lock(linesMutex);
        return lines;
    }
    void ClearLines() {
        std::lock_guard<std::mutex> lock(linesMutex);
        lines.clear();
    }
    bool Logged(const std::wstring& fragment) const;

private:
    std::filesystem::path appData;
    mutable std::mutex linesMutex;
    LogLines lines;
};

// Holds the migration database's write lock from another connection until destroyed: a
// child process on POSIX (locks of one process never conflict), a thread's connection on Windows.
class WriteLockHolder {
public:
    explicit WriteLockHolder(const std::filesystem::path& dbFile);
    ~WriteLockHolder();
    WriteLockHolder(const WriteLockHolder&) = delete;
    WriteLockHolder& operator=(const WriteLockHolder&) = delete;

private:
    struct State;
    State* state;
};

// ASCII text between narrow and wide strings, for messages and expectations.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
// How many descriptors of this process are open on `file` or on its -wal and -shm files; -1 where
// the system does not tell (Windows: there a file held open cannot be renamed).
int OpenHandlesTo(const std::filesystem::path& file);
// Waits (up to 10 s) until `file` has neither -wal nor -shm beside it and, where the system
// tells, no descriptor of this process on it; true when so.
bool WaitForNoLog(const std::filesystem::path& file);
// Renames `from` to `to`, trying for a second where the system refuses because the file is open
// (Windows): the last close removes the log a moment before it lets go of the database.
bool Renamed(const std::filesystem::path& from, const std::filesystem::path& to);

// A file's bytes; empty for a folder or a file that is not there.
std::string ReadFile(const std::filesystem::path& file);

// Checks each row: a behaviour a caller sees, what it got and what it should get. A failure
// names the row's behaviour.
template <class T>
void ExpectEach(std::initializer_list<std::tuple<std::string, T, T>> rows) {
    for (const auto& [behaviour, got, want] : rows) EXPECT_EQ(got, want) << behaviour;
}

// A caller's fixed-size records before a call: every byte a sentinel, so untouched ones show.
template <class Node, size_t N>
void Poison(Node (&nodes)[N]) {
    std::memset(static_cast<void*>(nodes), 0x5A, sizeof nodes);
}
template <class Node>
bool Untouched(const Node& node) {
    Node poisoned[1];
    Poison(poisoned);
    return std::memcmp(&node, poisoned, sizeof node) == 0;
}

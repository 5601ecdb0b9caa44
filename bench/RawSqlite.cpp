#include "RawSqlite.h"

#include <atomic>
#include <chrono>
#include <cwchar>
#include <stdexcept>
#include <thread>

#include "TextCodec.h"

namespace raw {
namespace {
std::atomic<size_t> failedSteps{0};
std::string synchronousLevel = "normal";  // set before the first case, read by every open

// Waits and retries as long as another connection holds the lock, for a while.
int WaitWhileBusy(void*, int count) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return count < 500;
}
}  // namespace

std::string ToUtf8(const wchar_t* text, size_t length) {
    std::string out(length * 4, '\0');
    out.resize(TextCodec::EncodeUtf8(text, length, out.data()));
    return out;
}

std::wstring FromUtf8(const unsigned char* text, size_t bytes, size_t maxUnits) {
    return TextCodec::FromUtf8(reinterpret_cast<const char*>(text), bytes, maxUnits);
}

Statement::Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
        SQLITE_OK) {
        throw std::runtime_error("baseline cannot prepare: " + sql + ": " + sqlite3_errmsg(db));
    }
}

void Statement::Bind(int index, const std::wstring& text) {
    std::string utf8 = ToUtf8(text.c_str(), std::wcslen(text.c_str()));
    sqlite3_bind_text(stmt, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
}

void Statement::StepWrite() {
    if (Step() != SQLITE_DONE) ++failedSteps;
    Reset();
}

std::wstring Statement::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return FromUtf8(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

void Statement::CopyText(int column, wchar_t* dest, size_t units) const {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    std::wstring head =
        FromUtf8(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)), units - 1);
    head.copy(dest, head.size());
    dest[head.size()] = L'\0';
}

Connection::Connection(const std::filesystem::path& file, int flags) {
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string message = sqlite3_errmsg(db);
        sqlite3_close_v2(db);
        throw std::runtime_error("baseline cannot open " + file.string() + ": " + message);
    }
    // What the library sets at every open of its own.
    Exec(("PRAGMA synchronous=" + synchronousLevel + "; PRAGMA journal_size_limit=16777216;")
             .c_str());
    sqlite3_busy_handler(db, WaitWhileBusy, db);
}

size_t FailedSteps() { return failedSteps.load(); }

void Configure() { sqlite3_config(SQLITE_CONFIG_MULTITHREAD); }

bool SetSynchronous(const std::string& level) {
    for (const char* known : {"off", "normal", "full", "extra"}) {
        if (level == known) {
            synchronousLevel = level;
            return true;
        }
    }
    return false;
}

int EffectiveSynchronous(const std::filesystem::path& file) {
    Connection db(file, kReadWrite);
    // SQLite picks a WAL database's default level when a read first finds the log mode.
    Statement touch(db.get(), "SELECT count(*) FROM sqlite_master");
    touch.Step();
    touch.Reset();
    Statement level(db.get(), "PRAGMA synchronous");
    return level.Step() == SQLITE_ROW ? level.Int(0) : -1;
}

std::string SynchronousName(int level) {
    static const char* const kNames[] = {"OFF", "NORMAL", "FULL", "EXTRA"};
    return level >= 0 && level <= 3 ? kNames[level] : "unknown";
}

}  // namespace raw

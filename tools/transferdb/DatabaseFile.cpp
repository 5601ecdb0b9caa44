#include "DatabaseFile.h"

#include <algorithm>
#include <cctype>

#include <sqlite3.h>

#include "Library.h"
#include "Text.h"
#include "Tool.h"

namespace transferdb {

const std::vector<TableLayout> kLibraryLayout = {
    {"TransferTask",
     {"taskID",
      "startTime",
      "endTime",
      "transferFileNums",
      "completeNums",
      "transferSize",
      "completeSize",
      "completeEmptyFolderNum",
      "status",
      "transferAppNums",
      "transferSucAppNums",
      "macAddr",
      "transferSettingNums",
      "transferSucSettingNums",
      "session",
      "fileStatus",
      "appStatus",
      "settingStatus",
      "newPCType",
      "newPCModel"}},
    {"TransferFileInfo", {"taskID", "fileName", "sendFilePath", "errCode", "targetPath", "status"}},
    {"TransferAppInfo",
     {"taskID", "appName", "downStatusIndex", "installStatusIndex", "appIconPath"}},
    {"TransferSettingInfo", {"taskID", "settingName", "resultType"}},
    {"TransferBookmarkInfo", {"taskID", "browserName"}},
};

namespace {
// A prepared statement, finalized with its owner.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            throw ToolError(kExitFailure, sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt; }

private:
    sqlite3_stmt* stmt = nullptr;
};
}  // namespace

DatabaseReader::DatabaseReader() : file(Utf8(MigrationDatabaseFile())) {
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw ToolError(kExitFailure, "cannot open " + file + ": " + message);
    }
    // A library writing in another process holds its lock for moments; it is waited for as
    // long as the library's own writers wait.
    sqlite3_busy_timeout(db, 30000);
}

DatabaseReader::~DatabaseReader() { sqlite3_close(db); }

std::vector<std::string> DatabaseReader::Column(const std::string& sql, int column) {
    std::vector<std::string> values;
    Statement stmt(db, sql);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        values.push_back(ColumnText(stmt.get(), column));
    }
    if (rc != SQLITE_DONE) throw ToolError(kExitFailure, sqlite3_errmsg(db));
    return values;
}

void DatabaseReader::ForEach(const std::string& sql, long long value,
                             const std::function<void(sqlite3_stmt*)>& row) {
    Statement stmt(db, sql);
    sqlite3_bind_int64(stmt.get(), 1, value);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) row(stmt.get());
    if (rc != SQLITE_DONE) throw ToolError(kExitFailure, sqlite3_errmsg(db));
}

void DatabaseReader::Exec(const std::string& sql) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw ToolError(kExitFailure, sqlite3_errmsg(db));
    }
}

std::vector<std::string> DatabaseReader::ForeignTables() {
    std::vector<std::string> foreign;
    Statement stmt(db, "SELECT name, type, sql FROM sqlite_master WHERE type IN ('table', 'view')");
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        std::string name = ColumnText(stmt.get(), 0);
        auto table =
            std::find_if(kLibraryLayout.begin(), kLibraryLayout.end(),
                         [&](const TableLayout& t) { return NameKey(t.name) == NameKey(name); });
        if (table == kLibraryLayout.end()) continue;
        if (ColumnText(stmt.get(), 1) == "view") {
            foreign.push_back(std::string(table->name) + " is a view");
        } else if (NameKey(ColumnText(stmt.get(), 2)).rfind("create table", 0) != 0) {
            foreign.push_back(std::string(table->name) + " is a virtual table");
        }
    }
    if (rc != SQLITE_DONE) throw ToolError(kExitFailure, sqlite3_errmsg(db));
    return foreign;
}

void RequireLibraryLayout(DatabaseReader& reader) {
    std::vector<std::string> foreign;
    try {
        foreign = reader.ForeignTables();
    } catch (const ToolError& error) {
        throw ToolError(kExitFailure,
                        reader.File() + " is not a readable database: " + error.what());
    }
    if (foreign.empty()) return;
    std::string list;
    for (const std::string& item : foreign) list += (list.empty() ? "" : "; ") + item;
    throw ToolError(kExitFailure, "refusing to read " + reader.File() + ": " + list +
                                      ", not the library's table (transferdb check shows its "
                                      "layout)");
}

void RequireTask(DatabaseReader& reader, int taskId) {
    std::string id = std::to_string(taskId);
    if (reader.Column("SELECT COUNT(1) FROM TransferTask WHERE taskID = " + id)[0] != "0") return;
    std::string known;
    for (const std::string& newer :
         reader.Column("SELECT taskID FROM TransferTask ORDER BY taskID DESC LIMIT 3")) {
        known += (known.empty() ? "" : ", ") + newer;
    }
    throw ToolError(kExitFailure, "unknown task " + id +
                                      (known.empty() ? " (the history is empty)"
                                                     : " (the newest tasks: " + known + ")"));
}

std::string NameKey(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

std::string ColumnText(sqlite3_stmt* row, int column) {
    const unsigned char* text = sqlite3_column_text(row, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                         static_cast<size_t>(sqlite3_column_bytes(row, column)))
                           : std::string();
}

}  // namespace transferdb

// check: the migration database's own integrity check, and whether its layout is the one the
// library creates today (an older file gets its missing columns and index at the library's
// next start-up).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "Reports.h"
#include "Library.h"
#include "Text.h"
#include "Tool.h"

using nlohmann::json;

namespace transferdb {
namespace {

struct TableLayout {
    const char* name;
    std::vector<const char*> columns;
};

// The tables and columns of the current layout, with the index the resume looks rows up by.
const TableLayout kLayout[] = {
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
const char* const kFileIndex = "fileIndex";
const std::vector<std::string> kFileIndexColumns = {"taskid", "sendfilepath"};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A read-only connection of the tool's own SQLite; the library is not running in this
// process, so its file locks cannot be disturbed.
class Reader {
public:
    explicit Reader(const std::string& file) {
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
            sqlite3_close(db);
            throw ToolError(kExitFailure, "cannot open " + file + ": " + message);
        }
    }
    ~Reader() { sqlite3_close(db); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The first column of every row; throws on an error, with SQLite's message.
    std::vector<std::string> Column(const std::string& sql, int column = 0) {
        sqlite3_stmt* stmt = nullptr;
        std::vector<std::string> values;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        if (rc == SQLITE_OK) {
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(stmt, column);
                values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
            }
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE) throw ToolError(kExitFailure, sqlite3_errmsg(db));
        return values;
    }

private:
    sqlite3* db = nullptr;
};

}  // namespace

int CheckDatabase(bool asJson) {
    RequireDatabase();
    std::string file = Show(MigrationDatabaseFile());
    Reader reader(file);
    std::vector<std::string> integrity;
    try {
        integrity = reader.Column("PRAGMA integrity_check");
    } catch (const ToolError& error) {
        throw ToolError(kExitFailure, file + " is not a readable database: " + error.what());
    }
    bool sound = integrity.size() == 1 && integrity[0] == "ok";

    std::vector<std::string> missing;
    for (const TableLayout& table : kLayout) {
        std::vector<std::string> found =
            reader.Column(std::string("PRAGMA table_info(") + table.name + ")", 1);
        if (found.empty()) {
            missing.push_back(std::string("table ") + table.name);
            continue;
        }
        std::set<std::string> columns;
        for (const std::string& column : found) columns.insert(Lower(column));
        for (const char* column : table.columns) {
            if (columns.count(Lower(column)) == 0) {
                missing.push_back(std::string(table.name) + "." + column);
            }
        }
    }
    std::vector<std::string> indexColumns =
        reader.Column(std::string("PRAGMA index_info(") + kFileIndex + ")", 2);
    for (std::string& column : indexColumns) column = Lower(column);
    if (indexColumns != kFileIndexColumns) missing.push_back(std::string("index ") + kFileIndex);

    if (asJson) {
        std::printf("%s\n", json({{"database", file},
                                  {"integrityOk", sound},
                                  {"integrity", integrity},
                                  {"layoutCurrent", missing.empty()},
                                  {"missing", missing}})
                                .dump(2)
                                .c_str());
    } else {
        std::printf("database: %s\n", file.c_str());
        std::printf("integrity: %s\n", sound ? "ok" : "FAILED");
        if (!sound) {
            for (const std::string& line : integrity) std::printf("  %s\n", line.c_str());
        }
        if (missing.empty()) {
            std::printf("layout: current\n");
        } else {
            std::printf("layout: not current; missing:\n");
            for (const std::string& item : missing) std::printf("  %s\n", item.c_str());
        }
    }
    return sound ? kExitOk : kExitFailure;
}

}  // namespace transferdb

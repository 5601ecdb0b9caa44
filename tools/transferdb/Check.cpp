// check: the migration database's own integrity check, and whether its layout is the one the
// library creates today (an older file gets its missing columns and index at the library's
// next start-up).
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DatabaseFile.h"
#include "Reports.h"
#include "Library.h"
#include "Text.h"
#include "Tool.h"

using nlohmann::json;

namespace transferdb {
namespace {

// The index the resume looks rows up by.
const char* const kFileIndex = "fileIndex";
const std::vector<std::string> kFileIndexColumns = {"taskid", "sendfilepath"};

}  // namespace

DatabaseCheck CheckFile(DatabaseReader& reader) {
    DatabaseCheck check;
    try {
        check.integrity = reader.Column("PRAGMA integrity_check");
    } catch (const ToolError& error) {
        throw ToolError(kExitFailure,
                        reader.File() + " is not a readable database: " + error.what());
    }
    check.sound = check.integrity.size() == 1 && check.integrity[0] == "ok";

    check.foreign = reader.ForeignTables();
    for (const std::string& foreign : check.foreign) check.missing.push_back("table " + foreign);
    for (const TableLayout& table : kLibraryLayout) {
        std::vector<std::string> found =
            reader.Column(std::string("PRAGMA table_info(") + table.name + ")", 1);
        if (found.empty()) {
            check.missing.push_back(std::string("table ") + table.name);
            continue;
        }
        std::set<std::string> columns;
        for (const std::string& column : found) columns.insert(NameKey(column));
        for (const char* column : table.columns) {
            if (columns.count(NameKey(column)) == 0) {
                check.missing.push_back(std::string(table.name) + "." + column);
            }
        }
    }
    std::vector<std::string> indexColumns =
        reader.Column(std::string("PRAGMA index_info(") + kFileIndex + ")", 2);
    for (std::string& column : indexColumns) column = NameKey(column);
    if (indexColumns != kFileIndexColumns) {
        check.missing.push_back(std::string("index ") + kFileIndex);
    }
    return check;
}

int CheckDatabase(bool asJson) {
    RequireDatabase();
    DatabaseReader reader;
    const std::string& file = reader.File();
    const DatabaseCheck check = CheckFile(reader);
    if (asJson) {
        std::printf("%s\n", json({{"database", file},
                                  {"integrityOk", check.sound},
                                  {"integrity", check.integrity},
                                  {"layoutCurrent", check.missing.empty()},
                                  {"missing", check.missing}})
                                .dump(2, ' ', false, json::error_handler_t::replace)
                                .c_str());
    } else {
        std::printf("database: %s\n", Printable(file).c_str());
        std::printf("integrity: %s\n", check.sound ? "ok" : "FAILED");
        if (!check.sound) {
            for (const std::string& line : check.integrity) {
                std::printf("  %s\n", Printable(line).c_str());
            }
        }
        if (check.missing.empty()) {
            std::printf("layout: current\n");
        } else {
            std::printf("layout: not current; missing:\n");
            for (const std::string& item : check.missing) {
                std::printf("  %s\n", Printable(item).c_str());
            }
        }
    }
    // A table that something else has taken the place of is refused by every other command.
    return check.sound && check.foreign.empty() ? kExitOk : kExitFailure;
}

}  // namespace transferdb

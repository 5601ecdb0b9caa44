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

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

int CheckDatabase(bool asJson) {
    RequireDatabase();
    DatabaseReader reader;
    const std::string& file = reader.File();
    std::vector<std::string> integrity;
    try {
        integrity = reader.Column("PRAGMA integrity_check");
    } catch (const ToolError& error) {
        throw ToolError(kExitFailure, file + " is not a readable database: " + error.what());
    }
    bool sound = integrity.size() == 1 && integrity[0] == "ok";

    std::vector<std::string> missing;
    for (const std::string& foreign : reader.ForeignTables()) {
        missing.push_back("table " + foreign);
    }
    for (const TableLayout& table : kLibraryLayout) {
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
                                .dump(2, ' ', false, json::error_handler_t::replace)
                                .c_str());
    } else {
        std::printf("database: %s\n", Printable(file).c_str());
        std::printf("integrity: %s\n", sound ? "ok" : "FAILED");
        if (!sound) {
            for (const std::string& line : integrity) {
                std::printf("  %s\n", Printable(line).c_str());
            }
        }
        if (missing.empty()) {
            std::printf("layout: current\n");
        } else {
            std::printf("layout: not current; missing:\n");
            for (const std::string& item : missing) {
                std::printf("  %s\n", Printable(item).c_str());
            }
        }
    }
    return sound ? kExitOk : kExitFailure;
}

}  // namespace transferdb

#include "Reports.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <functional>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "DataBaseManager.h"
#include "DatabaseFile.h"
#include "Library.h"
#include "Locks.h"
#include "Text.h"
#include "Tool.h"

using nlohmann::json;

namespace transferdb {
namespace {

constexpr int kHistorySize = 3;  // the library keeps the three newest tasks

// A cell's width in characters, not bytes.
size_t Width(const std::string& cell) {
    return static_cast<size_t>(
        std::count_if(cell.begin(), cell.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// Columns left-aligned to their widest cell; the cells are printable already.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    auto width = Width;
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width(row[i]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - width(row[i]) + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

// Texts that are not UTF-8 (a database written by something else) are replaced, not refused.
std::string Dump(const json& value) {
    return value.dump(2, ' ', false, json::error_handler_t::replace);
}

void PrintJson(const json& value) { std::printf("%s\n", Dump(value).c_str()); }

// A text field of the library's fixed-size records: it holds 511 units, and a longer text comes
// back cut to them. A full field is taken for a cut one.
struct FixedText {
    std::string text;  // UTF-8
    bool cut;
};

template <size_t N>
FixedText Fixed(const wchar_t (&field)[N]) {
    size_t length = static_cast<size_t>(std::find(field, field + N, L'\0') - field);
    return {Utf8(std::wstring(field, length)), length + 1 >= N};
}

// For people: printable, and saying that it was cut.
using transferdb::Printable;
std::string Printable(const FixedText& field) {
    return Printable(field.text) +
           (field.cut ? "... [cut at " + std::to_string(kRecordTextUnits - 1) + " characters]"
                      : "");
}

// For JSON: the text, and "<key>Cut": true beside it when it was cut.
void AddFixed(json& object, const std::string& key, const FixedText& field) {
    object[key] = field.text;
    if (field.cut) object[key + "Cut"] = true;
}

std::vector<TaskInfoNode> History(DataBaseManager& db) {
    std::vector<TaskInfoNode> nodes(kHistorySize);
    nodes.resize(static_cast<size_t>(db.GetAllTaskInfo(nodes.data(), kHistorySize)));
    return nodes;
}

json HistoryJson(const TaskInfoNode& node) {
    json row = {{"taskID", node.taskID},
                {"startTime", node.startTime},
                {"endTime", node.endTime},
                {"elapsedSeconds", node.endTime - node.startTime},
                {"transferFileNums", node.transferFileNums},
                {"completeNums", node.completeNums},
                {"completeSize", node.completeSize},
                {"status", node.status},
                {"state", TaskStateText(node.status)},
                {"transferAppNums", node.transferAppNums},
                {"transferSucAppNums", node.transferSucAppNums},
                {"transferSettingNums", node.transferSettingNums},
                {"transferSucSettingNums", node.transferSucSettingNums},
                {"newPCType", node.newPCType}};
    AddFixed(row, "newPCModel", Fixed(node.newPCModel));
    return row;
}

struct Counters {
    int completeNums = -1;
    long long completeSize = 0;
    int completeEmptyFolderNum = 0;
};

Counters ReadCounters(DataBaseManager& db, int taskId) {
    Counters counters;
    db.QueryTaskCompleteInfoByID(taskId, counters.completeNums, counters.completeSize,
                                 counters.completeEmptyFolderNum);
    return counters;
}

// A record of the library's fixed-size arrays takes 2-4 KB, and the count comes from the file: a
// hostile one holding millions of rows would cost gigabytes. No real task comes near this.
constexpr int kShownItems = 10000;

// What a library query that fills a fixed-size array after a count returned, and how many rows
// the count said there were.
template <class Node>
struct Fetched {
    std::vector<Node> nodes;
    int total = 0;
    bool Cut() const { return total > static_cast<int>(nodes.size()); }
};

template <class Node, class Count, class Fill>
Fetched<Node> Fetch(Count count, Fill fill) {
    Fetched<Node> fetched;
    fetched.total = count();
    const int n = std::min(fetched.total, kShownItems);
    if (n <= 0) return fetched;
    fetched.nodes.resize(static_cast<size_t>(n));
    fill(fetched.nodes.data(), n);
    return fetched;
}

// "applications (12)", or "applications (12000, the first 10000 shown)".
template <class Node>
void PrintHeading(const char* what, const Fetched<Node>& fetched) {
    if (fetched.Cut()) {
        std::printf("%s (%d, the first %zu shown)\n", what, fetched.total, fetched.nodes.size());
    } else {
        std::printf("%s (%zu)\n", what, fetched.nodes.size());
    }
}

// The library's errors were shown as they came; a reading command then fails as a whole.
int ReadResult() {
    if (LibraryErrors() > 0) throw ToolError(kExitFailure, "the library reported errors");
    return kExitOk;
}

}  // namespace

int ShowHistory(bool asJson) {
    RequireDatabase();
    std::vector<TaskInfoNode> history = History(Library());
    if (asJson) {
        json list = json::array();
        for (const TaskInfoNode& node : history) list.push_back(HistoryJson(node));
        PrintJson(list);
        return ReadResult();
    }
    if (history.empty()) {
        std::printf("no tasks recorded\n");
        return ReadResult();
    }
    std::vector<std::vector<std::string>> rows{
        {"TASK", "STARTED", "ELAPSED", "FILES", "SIZE", "APPS", "SETTINGS", "STATUS", "TARGET"}};
    for (const TaskInfoNode& node : history) {
        rows.push_back(
            {std::to_string(node.taskID), FormatTime(node.startTime),
             FormatDuration(node.endTime - node.startTime),
             std::to_string(node.completeNums) + "/" + std::to_string(node.transferFileNums),
             FormatSize(node.completeSize),
             std::to_string(node.transferSucAppNums) + "/" + std::to_string(node.transferAppNums),
             std::to_string(node.transferSucSettingNums) + "/" +
                 std::to_string(node.transferSettingNums),
             TaskStateText(node.status), Printable(Fixed(node.newPCModel))});
    }
    PrintTable(rows);
    return ReadResult();
}

int ShowTask(int taskId, bool asJson) {
    RequireDatabase();
    {
        // Asked of the file before the library starts in this process.
        DatabaseReader reader;
        RequireLibraryLayout(reader);
        RequireTask(reader, taskId);
    }
    DataBaseManager& db = Library();
    const Counters counters = ReadCounters(db, taskId);
    std::optional<TaskInfoNode> row;
    for (const TaskInfoNode& node : History(db)) {
        if (node.taskID == taskId) row = node;
    }
    int failures = db.QueryFailNumByID(taskId);
    auto apps = Fetch<AppInfoPariNode>(
        [&] { return db.QueryAppNumByID(taskId); },
        [&](AppInfoPariNode* out, int n) { db.QueryAppInfoByID(out, taskId, n); });
    auto settings = Fetch<SettingInfoPariNode>(
        [&] { return db.QuerySettingNumByID(taskId); },
        [&](SettingInfoPariNode* out, int n) { db.QuerySettingInfoByID(out, taskId, n); });
    std::vector<std::wstring> bookmarks;
    db.GetTaskBookmarkInfo(taskId, bookmarks);

    if (asJson) {
        json task = {{"taskID", taskId},
                     {"completeNums", counters.completeNums},
                     {"completeSize", counters.completeSize},
                     {"completeEmptyFolderNum", counters.completeEmptyFolderNum},
                     {"failedFiles", failures},
                     {"history", row ? HistoryJson(*row) : json(nullptr)},
                     {"applications", json::array()},
                     {"settings", json::array()},
                     {"bookmarks", json::array()}};
        if (apps.Cut()) task["applicationsCut"] = true;
        if (settings.Cut()) task["settingsCut"] = true;
        for (const AppInfoPariNode& app : apps.nodes) {
            json item = {{"downStatusIndex", app.downStatusIndex},
                         {"installStatusIndex", app.installStatusIndex}};
            AddFixed(item, "appName", Fixed(app.appName));
            AddFixed(item, "appIconPath", Fixed(app.appIconPath));
            task["applications"].push_back(item);
        }
        for (const SettingInfoPariNode& setting : settings.nodes) {
            json item = {{"resultType", setting.resultType}};
            AddFixed(item, "settingName", Fixed(setting.settingName));
            task["settings"].push_back(item);
        }
        for (const std::wstring& browser : bookmarks) task["bookmarks"].push_back(Utf8(browser));
        PrintJson(task);
        return ReadResult();
    }

    std::vector<std::vector<std::string>> rows;
    if (row) {
        std::printf("task %d: %s\n", taskId, TaskStateText(row->status).c_str());
        rows.push_back({"  started", FormatTime(row->startTime)});
        rows.push_back({"  last progress", FormatTime(row->endTime)});
        rows.push_back({"  elapsed", FormatDuration(row->endTime - row->startTime)});
        rows.push_back({"  target", Printable(Fixed(row->newPCModel))});
        rows.push_back({"  files", std::to_string(counters.completeNums) + " of " +
                                       std::to_string(row->transferFileNums) + " copied (" +
                                       FormatSize(counters.completeSize) + ")"});
    } else {
        std::printf("task %d (older than the three newest; only its counters are shown)\n", taskId);
        rows.push_back({"  files", std::to_string(counters.completeNums) + " copied (" +
                                       FormatSize(counters.completeSize) + ")"});
    }
    rows.push_back({"  empty folders", std::to_string(counters.completeEmptyFolderNum)});
    rows.push_back({"  failed files", std::to_string(failures)});
    PrintTable(rows);

    rows.clear();
    PrintHeading("applications", apps);
    for (const AppInfoPariNode& app : apps.nodes) {
        rows.push_back({"  " + Printable(Fixed(app.appName)),
                        "download " + std::to_string(app.downStatusIndex),
                        "install " + std::to_string(app.installStatusIndex)});
    }
    PrintTable(rows);
    rows.clear();
    PrintHeading("settings", settings);
    for (const SettingInfoPariNode& setting : settings.nodes) {
        rows.push_back({"  " + Printable(Fixed(setting.settingName)),
                        "result " + std::to_string(setting.resultType)});
    }
    PrintTable(rows);
    std::printf("bookmarks (%zu)\n", bookmarks.size());
    for (const std::wstring& browser : bookmarks) std::printf("  %s\n", Printable(browser).c_str());
    return ReadResult();
}

int ShowFailures(int taskId, bool asJson) {
    RequireDatabase();
    // Read with the tool's own SQLite, row by row: memory stays the same for a million
    // failures, and no text is cut to the library's fixed fields.
    DatabaseReader reader;
    RequireLibraryLayout(reader);
    reader.Exec("BEGIN");  // one snapshot for every read below
    RequireTask(reader, taskId);
    const std::string sql =
        "SELECT fileName, sendFilePath, errCode FROM TransferFileInfo WHERE status = 0 AND "
        "taskID = ?1";
    auto forEach = [&](const std::function<void(sqlite3_stmt*)>& row) {
        try {
            reader.ForEach(sql, taskId, row);
        } catch (const ToolError& error) {
            throw ToolError(kExitFailure, "cannot read the failures in " + reader.File() + ": " +
                                              error.what() +
                                              " (transferdb check shows its layout)");
        }
    };
    auto errorText = [](sqlite3_stmt* row) {
        int code = sqlite3_column_int(row, 2);
        return std::to_string(code) + " " + ErrorText(code);
    };

    if (asJson) {
        // As the whole document would print, one failure at a time.
        bool first = true;
        std::printf("{\n  \"failures\": [");
        forEach([&](sqlite3_stmt* row) {
            int code = sqlite3_column_int(row, 2);
            std::string item = Dump({{"fileName", ColumnText(row, 0)},
                                     {"sendFilePath", ColumnText(row, 1)},
                                     {"errCode", code},
                                     {"error", ErrorText(code)}});
            std::string indented;
            for (char c : item) indented += c == '\n' ? std::string("\n    ") : std::string(1, c);
            std::printf("%s\n    %s", first ? "" : ",", indented.c_str());
            first = false;
        });
        std::printf("%s  \"taskID\": %d\n}\n", first ? "],\n" : "\n  ],\n", taskId);
        return kExitOk;
    }

    // Twice through the rows: the widths first, then the table.
    long long count = 0;
    size_t nameWidth = Width("NAME");
    size_t errorWidth = Width("ERROR");
    forEach([&](sqlite3_stmt* row) {
        ++count;
        nameWidth = std::max(nameWidth, Width(Printable(ColumnText(row, 0))));
        errorWidth = std::max(errorWidth, Width(errorText(row)));
    });
    if (count == 0) {
        std::printf("task %d: no failed files\n", taskId);
        return kExitOk;
    }
    auto line = [&](const std::string& name, const std::string& error, const std::string& path) {
        std::printf("%s%s%s%s%s\n", name.c_str(),
                    std::string(nameWidth - Width(name) + 2, ' ').c_str(), error.c_str(),
                    std::string(errorWidth - Width(error) + 2, ' ').c_str(), path.c_str());
    };
    line("NAME", "ERROR", "PATH");
    forEach([&](sqlite3_stmt* row) {
        line(Printable(ColumnText(row, 0)), errorText(row), Printable(ColumnText(row, 1)));
    });
    return kExitOk;
}

namespace {
// A task still being copied must stay recorded: prune and clean wait for no run of the tool.
void RequireNoRun(const char* command) {
    if (LockFile::Get().TryLock(LockFile::kRunning, true)) return;
    throw ToolError(kExitFailure, std::string(command) +
                                      " refused: a migration or resume is running in another "
                                      "transferdb process, and its task must stay recorded; "
                                      "try again when it has ended");
}

}  // namespace

int PruneHistory() {
    RequireDatabase();
    RequireNoRun("prune");
    DataBaseManager& db = Library();
    int before = db.GetTransferHistoryNum();
    db.UpdateTransferHistory();
    int after = db.GetTransferHistoryNum();
    std::printf("%d tasks removed, %d kept\n", before - after, after);
    return ReadResult();
}

int CleanHistory() {
    RequireDatabase();
    RequireNoRun("clean");
    DataBaseManager& db = Library();
    int before = db.GetTransferHistoryNum();
    if (!db.CleanTransferHistory()) throw ToolError(kExitFailure, "the library could not clean");
    std::printf("%d tasks removed, %d kept\n", before, db.GetTransferHistoryNum());
    return ReadResult();
}

}  // namespace transferdb

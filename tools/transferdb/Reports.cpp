#include "Reports.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DataBaseManager.h"
#include "Library.h"
#include "Locks.h"
#include "Text.h"
#include "Tool.h"

using nlohmann::json;

namespace transferdb {
namespace {

constexpr int kHistorySize = 3;  // the library keeps the three newest tasks

// Columns left-aligned to their widest cell (counted in characters, not bytes).
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    auto width = [](const std::string& cell) {
        return static_cast<size_t>(
            std::count_if(cell.begin(), cell.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    };
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

void PrintJson(const json& value) { std::printf("%s\n", value.dump(2).c_str()); }

std::vector<TaskInfoNode> History(DataBaseManager& db) {
    std::vector<TaskInfoNode> nodes(kHistorySize);
    nodes.resize(static_cast<size_t>(db.GetAllTaskInfo(nodes.data(), kHistorySize)));
    return nodes;
}

json HistoryJson(const TaskInfoNode& node) {
    return {{"taskID", node.taskID},
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
            {"newPCType", node.newPCType},
            {"newPCModel", ToUtf8(node.newPCModel)}};
}

struct Counters {
    int completeNums = -1;  // stays -1 when the task has no row
    long long completeSize = 0;
    int completeEmptyFolderNum = 0;
};

Counters RequireTask(DataBaseManager& db, int taskId) {
    Counters counters;
    db.QueryTaskCompleteInfoByID(taskId, counters.completeNums, counters.completeSize,
                                 counters.completeEmptyFolderNum);
    if (counters.completeNums < 0) {
        std::string known;
        for (const TaskInfoNode& node : History(db)) {
            known += (known.empty() ? "" : ", ") + std::to_string(node.taskID);
        }
        throw ToolError(kExitFailure, "unknown task " + std::to_string(taskId) +
                                          (known.empty() ? " (the history is empty)"
                                                         : " (the newest tasks: " + known + ")"));
    }
    return counters;
}

// A library query that fills a fixed-size array after a count.
template <class Node, class Count, class Fill>
std::vector<Node> Fetch(Count count, Fill fill) {
    int n = count();
    if (n <= 0) return {};
    std::vector<Node> nodes(static_cast<size_t>(n));
    fill(nodes.data(), n);
    return nodes;
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
             TaskStateText(node.status), ToUtf8(node.newPCModel)});
    }
    PrintTable(rows);
    return ReadResult();
}

int ShowTask(int taskId, bool asJson) {
    RequireDatabase();
    DataBaseManager& db = Library();
    Counters counters = RequireTask(db, taskId);
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
        for (const AppInfoPariNode& app : apps) {
            task["applications"].push_back({{"appName", ToUtf8(app.appName)},
                                            {"downStatusIndex", app.downStatusIndex},
                                            {"installStatusIndex", app.installStatusIndex},
                                            {"appIconPath", ToUtf8(app.appIconPath)}});
        }
        for (const SettingInfoPariNode& setting : settings) {
            task["settings"].push_back(
                {{"settingName", ToUtf8(setting.settingName)}, {"resultType", setting.resultType}});
        }
        for (const std::wstring& browser : bookmarks) task["bookmarks"].push_back(ToUtf8(browser));
        PrintJson(task);
        return ReadResult();
    }

    std::vector<std::vector<std::string>> rows;
    if (row) {
        std::printf("task %d: %s\n", taskId, TaskStateText(row->status).c_str());
        rows.push_back({"  started", FormatTime(row->startTime)});
        rows.push_back({"  last progress", FormatTime(row->endTime)});
        rows.push_back({"  elapsed", FormatDuration(row->endTime - row->startTime)});
        rows.push_back({"  target", ToUtf8(row->newPCModel)});
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
    std::printf("applications (%zu)\n", apps.size());
    for (const AppInfoPariNode& app : apps) {
        rows.push_back({"  " + ToUtf8(app.appName),
                        "download " + std::to_string(app.downStatusIndex),
                        "install " + std::to_string(app.installStatusIndex)});
    }
    PrintTable(rows);
    rows.clear();
    std::printf("settings (%zu)\n", settings.size());
    for (const SettingInfoPariNode& setting : settings) {
        rows.push_back(
            {"  " + ToUtf8(setting.settingName), "result " + std::to_string(setting.resultType)});
    }
    PrintTable(rows);
    std::printf("bookmarks (%zu)\n", bookmarks.size());
    for (const std::wstring& browser : bookmarks) std::printf("  %s\n", ToUtf8(browser).c_str());
    return ReadResult();
}

int ShowFailures(int taskId, bool asJson) {
    RequireDatabase();
    DataBaseManager& db = Library();
    RequireTask(db, taskId);
    auto failures = Fetch<MapFailPariNode>(
        [&] { return db.QueryFailNumByID(taskId); },
        [&](MapFailPariNode* out, int n) { db.QueryFailFileInfoByID(out, taskId, n); });
    if (asJson) {
        json list = json::array();
        for (const MapFailPariNode& failure : failures) {
            list.push_back({{"fileName", ToUtf8(failure.fileName)},
                            {"sendFilePath", ToUtf8(failure.sendFilePath)},
                            {"errCode", failure.errCode},
                            {"error", ErrorText(failure.errCode)}});
        }
        PrintJson({{"taskID", taskId}, {"failures", list}});
        return ReadResult();
    }
    if (failures.empty()) {
        std::printf("task %d: no failed files\n", taskId);
        return ReadResult();
    }
    std::vector<std::vector<std::string>> rows{{"NAME", "ERROR", "PATH"}};
    for (const MapFailPariNode& failure : failures) {
        rows.push_back({ToUtf8(failure.fileName),
                        std::to_string(failure.errCode) + " " + ErrorText(failure.errCode),
                        ToUtf8(failure.sendFilePath)});
    }
    PrintTable(rows);
    return ReadResult();
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

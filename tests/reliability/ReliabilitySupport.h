// What the reliability suites share: every query, giving back as text what its callers received;
// every write, as a table; the selection they record; forked processes reporting through a pipe.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "TestSupport.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace Reliability {
// What the queries gave back, one text per item, "Query:|field|field|...|". A query that reads
// nothing leaves its caller's outputs as they were and gives no item.
using Items = std::multiset<std::string>;
const wchar_t kSep = static_cast<wchar_t>(std::filesystem::path::preferred_separator);

template <class... Values>
std::string Join(const Values&... values) {
    std::ostringstream out;
    ((out << values << '|'), ...);
    return out.str();
}
// ASCII as it is, other units as <their number>, the platform's path separator as '/'.
inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (unsigned long c : text)
        out += c == kSep          ? "/"
               : 0 < c && c < 128 ? std::string(1, char(c))
                                  : "<" + std::to_string(c) + ">";
    return out;
}
// The error lines among `lines` from `first` on, one a line.
inline std::string ErrorLines(const std::vector<LogEntry>& lines, size_t first = 0) {
    std::string text;
    for (size_t i = first; i < lines.size(); ++i)
        if (lines[i].level == LOG_LEVEL_ERROR) text += Narrow(lines[i].text) + "\n";
    return text;
}
inline std::wstring DocPath(std::wstring relative) {  // below docs/, the platform's separators
    std::replace(relative.begin(), relative.end(), L'/', kSep);
    return L"docs" + std::wstring(1, kSep) + relative;
}

// Selects docs/{a.txt, b.txt, deep/c.txt, empty} and `folders` folders of `files` files each,
// with target paths; returns the selected leaves.
inline std::vector<DirTreeNode*> AddSelection(DirectoryTreeManager& tree, int folders = 0,
                                              int files = 0) {
    DirTreeNode* docs = tree.AddNode(nullptr, L"docs", true);
    std::vector<DirTreeNode*> leaves{tree.AddNode(docs, L"a.txt", false),
                                     tree.AddNode(docs, L"b.txt", false),
                                     tree.AddNode(tree.AddNode(docs, L"deep", true), L"c.txt", 0),
                                     tree.AddNode(docs, L"empty", true)};
    for (int f = 0; f < folders * files; ++f) {
        DirTreeNode* folder = tree.AddNode(nullptr, L"bulk" + std::to_wstring(f / files), true);
        leaves.push_back(tree.AddNode(folder, std::to_wstring(f % files), false));
    }
    for (DirTreeNode* leaf : leaves) leaf->targetPath = L"D:/" + leaf->sendFilePath, leaf->Select();
    return leaves;
}

// What an array query filled, as the elements' bytes: each starts with `marker` at a value no
// query writes, and the one past the capacity of four it is given must keep it.
template <class Node>
Items Filled(int Node::*marker, const std::function<void(Node*, int)>& fill) {
    std::vector<Node> out(5);
    for (Node& node : out) node.*marker = INT_MIN;
    fill(out.data(), 4);
    EXPECT_EQ(out[4].*marker, INT_MIN) << "a query wrote past its array";
    Items items;
    for (int i = 0; i < 4 && out[i].*marker != INT_MIN; ++i)
        items.insert(std::string(reinterpret_cast<const char*>(&out[i]), sizeof(Node)));
    return items;
}
// A resume on a tree of the new PC, docs/{a.txt, deep/c.txt, empty}: the nodes it selected.
inline Items Resume(const std::function<void(DirectoryTreeManager&)>& resume) {
    DirectoryTreeManager tree;
    DirTreeNode* docs = tree.AddNode(nullptr, L"docs", true);
    DirTreeNode* deep = tree.AddNode(docs, L"deep", true);
    const DirTreeNode* nodes[] = {docs, deep, tree.AddNode(deep, L"c.txt", false),
                                  tree.AddNode(docs, L"a.txt", 0), tree.AddNode(docs, L"empty", 1)};
    resume(tree);
    Items items;
    for (const DirTreeNode* n : nodes)
        if (n->selectState != 0)
            items.insert(Join(Narrow(n->sendFilePath), n->selectState, Narrow(n->targetPath),
                              Narrow(n->shotPath)));
    return items;
}

// Runs every query over task `id`; keeps what those that read the whole history gave back only
// when `history`.
inline Items ReadAll(int id, bool history = true) {
    DataBaseManager& m = *DataBaseManager::GetInstance();
    TransferTask t;
    t.taskID = INT_MIN;
    std::fill(std::begin(t.session), std::end(t.session), '\x55');
    int nums = INT_MIN, folders = INT_MIN, missing = 0;
    long long size = INT_MIN;
    std::vector<std::wstring> names[3];
    std::list<TransferFileInfo> files;
    std::vector<SendFailedFileInfo> failed;
    std::string session;
    const char* const kHex = "0123456789abcdef";
    Items reads;
    auto add = [&](bool wholeHistory, const char* query, const Items& items) {
        for (const std::string& item : items) {
            if (history || !wholeHistory) reads.insert(query + (":|" + item));
        }
    };
    // clang-format off
    m.GetLastUnCompleteTask(t);
    for (unsigned char b : t.session) session += {kHex[b / 16], kHex[b % 16]};
    if (t.taskID != INT_MIN) add(true, "GetLastUnCompleteTask", {Join(t.taskID, t.startTime,
        t.endTime, t.transferFileNums, t.completeNums, t.transferSize, t.completeSize, t.status,
        session)});
    add(true, "GetAllTaskInfo", Filled<TaskInfoNode>(&TaskInfoNode::taskID,
        [&](TaskInfoNode* out, int n) { m.GetAllTaskInfo(out, n); }));
    auto value = [](long long v) { return v == 0 ? Items{} : Items{Join(v)}; };
    add(true, "GetMigrationConsumerTime", value(m.GetMigrationConsumerTime()));
    add(true, "GetMaxTaskID", value(m.GetMaxTaskID()));
    add(true, "GetTransferHistoryNum", value(m.GetTransferHistoryNum()));
    m.QueryTaskCompleteInfoByID(id, nums, size, folders);
    if (nums != INT_MIN) add(false, "QueryTaskCompleteInfoByID", {Join(nums, size, folders)});
    add(false, "QueryAppNumByID", value(m.QueryAppNumByID(id)));
    add(false, "QuerySettingNumByID", value(m.QuerySettingNumByID(id)));
    add(false, "QueryFailNumByID", value(m.QueryFailNumByID(id)));
    add(false, "QueryAppInfoByID", Filled<AppInfoPariNode>(&AppInfoPariNode::downStatusIndex,
        [&](AppInfoPariNode* out, int n) { m.QueryAppInfoByID(out, id, n); }));
    add(false, "QuerySettingInfoByID", Filled<SettingInfoPariNode>(&SettingInfoPariNode::resultType,
        [&](SettingInfoPariNode* out, int n) { m.QuerySettingInfoByID(out, id, n); }));
    add(false, "QueryFailFileInfoByID", Filled<MapFailPariNode>(&MapFailPariNode::errCode,
        [&](MapFailPariNode* out, int n) { m.QueryFailFileInfoByID(out, id, n); }));
    m.QueryAllAppNameByID(names[0], id);
    m.GetTaskSettingInfo(id, names[1]);
    m.GetTaskBookmarkInfo(id, names[2]);
    m.GetTaskFileInfo(id, files);
    const char* lists[] = {"QueryAllAppNameByID", "GetTaskSettingInfo", "GetTaskBookmarkInfo"};
    for (int i = 0; i < 3; ++i)
        for (const std::wstring& name : names[i]) add(false, lists[i], {Join(Narrow(name))});
    for (const auto& f : files)
        add(false, "GetTaskFileInfo", {Join(f.status, f.fileSize, Narrow(f.filePath), f.errCode)});
    add(true, "RecoveryDirTreeByID", Resume([&](DirectoryTreeManager& tree) {
        m.RecoveryDirTreeByID(failed, tree, missing); }));
    for (const auto& f : failed)
        add(true, "RecoveryDirTreeByID", {Join("failed", Narrow(f.sendFilePath), f.errCode)});
    if (missing != 0) add(true, "RecoveryDirTreeByID", {Join("missing", missing)});
    for (bool small : {false, true}) {
        add(true, small ? "RecoveryDirTreeByCacheDb (small)" : "RecoveryDirTreeByCacheDb", Resume(
            [&](DirectoryTreeManager& tree) { m.RecoveryDirTreeByCacheDb(tree, small); }));
    }
    return reads;
}

struct Write { std::string name; std::function<void()> run; };  // named by its call
// Every write, for task `id` with values from `value`, recording `recorded`. The last two prune
// and empty the history.
inline std::vector<Write> Writes(int id, int value, DirTreeNode* recorded) {
    TransferTask task;
    task.taskID = id;
    task.startTime = task.endTime = task.completeSize = 1000LL * value;
    task.completeNums = task.status = task.fileStatus = task.transferAppNums = value;
    task.newPCModel = L"model " + std::to_wstring(value);
    for (int k = 0; k < 16; ++k) task.session[k] = static_cast<char>(value * 16 + k);
    const std::wstring v = std::to_wstring(value);
    // The second name is long enough for overflow pages.
    std::vector<SendAppInfo> apps{{L"editor", value, 0, L"editor.ico"},
                                  {std::wstring(6000, 'n') + v, 1, 2, L""}};
    std::vector<TransferSettingInfo> settings{{L"setting " + v, value}}, old{{L"setting 0", value}};
    std::vector<std::wstring> browsers{L"browser " + v};
    std::vector<SendFailedFileInfo> failed{{L"a.txt", DocPath(L"a.txt"), 30 + value},
        {L"c.txt", DocPath(L"deep/c.txt"), 31 + value}, {L"nowhere", DocPath(L"nowhere"), 32}};
    std::vector<CacheNode> cache{{L"x/docs/a.txt", L"t" + v, value, DocPath(L"a.txt"), 0},
        {L"x/done", L"", 4, DocPath(L"empty"), 1}};
    std::vector<CacheEmptyNode> empties{{L"x/empty", DocPath(L"empty"), 1, value, 0}};
    std::vector<TransferFileInfo> done{{id, 1, 0, DocPath(L"b.txt"), L"", value},
                                       {id, 1, 0, DocPath(L"empty"), L"", value}};
#define WRITE(call) Write{#call, [=]() mutable { DataBaseManager::GetInstance()->call; }}
    return {WRITE(InsertOneTask(task)), WRITE(InsertOneTask(value, task.session, 2, 3, "model")),
            WRITE(UpdateFileTaskInfo(task)), WRITE(UpdateAppTaskInfo(task)),
            WRITE(UpdateSettingTaskInfo(task)), WRITE(UpdateTaskStatus(task)),
            WRITE(UpdateTaskStatusById(id, value + 1)),
            WRITE(UpdateTaskSessionById(id, task.session)),
            WRITE(UpdateTaskCompleteInfoById(id, value, 7LL * value, value)),
            WRITE(InsertAppInfo(apps, id)), WRITE(UpdateTaskAPPStatus(apps[0], id)),
            WRITE(InsertSettingInfo(settings, id)), WRITE(UpdateSettingInfo(old[0], id)),
            WRITE(InsertBookmarkInfo(browsers, id)), WRITE(InsertFileInfo(recorded, id)),
            WRITE(UpdateFailFileInfo(failed, id)), WRITE(UpdateTaskFileStatus(done[0])),
            WRITE(UpdateTaskFileStatus(done)), WRITE(InsertFilesToCacheDb(cache, false)),
            WRITE(InsertFilesToCacheDb(cache, true)), WRITE(InsertEmptyFilesToCacheDb(empties)),
            WRITE(UpdateTransferHistory()), WRITE(CleanTransferHistory())};
#undef WRITE
    // clang-format on
}

#if !defined(_WIN32)
// A forked process running `body` with a pipe's write end, then writing there what it gave back (in
// one piece, or it blocks); killed if still running when destroyed, and after five minutes.
class Child {
public:
    explicit Child(const std::function<std::string(int report)>& body) {
        int fds[2];
        if (::pipe(fds) != 0 || (pid = ::fork()) < 0) throw std::runtime_error("fork");
        if (pid == 0) {
            ::alarm(300);
            std::string text = body(fds[1]);
            ::_exit(::write(fds[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 3);
        }
        ::close(fds[1]);
        report = fds[0];
    }
    ~Child() { Wait(true), ::close(report); }
    bool Read(void* data, size_t size) { return ::read(report, data, size) == ssize_t(size); }
    std::string ReadAll() {
        std::string text;
        for (char c; Read(&c, 1);) text += c;
        return text;
    }
    int Wait(bool kill = false) {  // the wait status
        int status = 0;
        if (pid > 0 && kill) ::kill(pid, SIGKILL);
        if (pid > 0) ::waitpid(std::exchange(pid, -1), &status, 0);
        return status;
    }

private:
    int pid = -1, report = -1;
};
#endif
}  // namespace Reliability

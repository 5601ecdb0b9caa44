// The queries and both resumes over a database file that is the fuzz input, written both as the
// migration database and as the document cache. The manager starts once with a valid database;
// the library opens the file anew for every operation, so each input replaces its content.
// Beyond "no crash", the results must stay inside what the caller handed over: counts within the
// array, every fixed text field terminated.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <fstream>
#include <list>
#include <memory>
#include <vector>

#include "FuzzSupport.h"

namespace fs = std::filesystem;

namespace {
using Fuzz::Fail;

fs::path g_mainDb, g_cacheDb;

// Arrays are sized to the count asked for, so that a write past the end meets AddressSanitizer.
constexpr int kMostElements = 64;

void Replace(const fs::path& file, const uint8_t* data, size_t size) {
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        std::error_code ignored;
        fs::remove(fs::path(file.string() + suffix), ignored);
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void CheckTerminated(const wchar_t* field) {
    if (std::wmemchr(field, L'\0', kRecordTextUnits) == nullptr) Fail("unterminated text field");
}

template <class Node, class Query, class Check>
void ReadArray(int count, Query&& query, Check&& check) {
    int n = std::min(count, kMostElements);
    if (n < 1) return;
    std::unique_ptr<Node[]> nodes(new Node[n]());
    query(nodes.get(), n);
    for (int i = 0; i < n; ++i) check(nodes[i]);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fs::path folder = Fuzz::StartManager();
    g_mainDb = folder / "corvanel.db";
    g_cacheDb = folder / "db_cache" / "doc_Cache.db";
    DataBaseManager::GetInstance()->CreateDocCacheDb();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Replace(g_mainDb, data, size);
    Replace(g_cacheDb, data, size);
    DataBaseManager& m = *DataBaseManager::GetInstance();

    TransferTask task;
    m.GetLastUnCompleteTask(task);
    TaskInfoNode history[3];
    int rows = m.GetAllTaskInfo(history, 3);
    if (rows < 0 || rows > 3) Fail("GetAllTaskInfo count");
    for (int i = 0; i < rows; ++i) CheckTerminated(history[i].newPCModel);
    m.GetMigrationConsumerTime();
    m.GetTransferHistoryNum();
    int taskId = m.GetMaxTaskID();
    int completeNums = 0, folders = 0;
    long long completeSize = 0;
    m.QueryTaskCompleteInfoByID(taskId, completeNums, completeSize, folders);

    ReadArray<AppInfoPariNode>(
        m.QueryAppNumByID(taskId),
        [&](AppInfoPariNode* out, int n) { m.QueryAppInfoByID(out, taskId, n); },
        [](const AppInfoPariNode& node) {
            CheckTerminated(node.appName);
            CheckTerminated(node.appIconPath);
        });
    ReadArray<SettingInfoPariNode>(
        m.QuerySettingNumByID(taskId),
        [&](SettingInfoPariNode* out, int n) { m.QuerySettingInfoByID(out, taskId, n); },
        [](const SettingInfoPariNode& node) { CheckTerminated(node.settingName); });
    ReadArray<MapFailPariNode>(
        m.QueryFailNumByID(taskId),
        [&](MapFailPariNode* out, int n) { m.QueryFailFileInfoByID(out, taskId, n); },
        [](const MapFailPariNode& node) {
            CheckTerminated(node.fileName);
            CheckTerminated(node.sendFilePath);
        });
    std::vector<std::wstring> names;
    m.QueryAllAppNameByID(names, taskId);
    m.GetTaskSettingInfo(taskId, names);
    m.GetTaskBookmarkInfo(taskId, names);
    std::list<TransferFileInfo> files;
    m.GetTaskFileInfo(taskId, files);

    // The paths of the seed databases, so that the resumes find nodes to select and fill.
    DirectoryTreeManager tree;
    DirTreeNode* docs = tree.AddNode(nullptr, L"docs", true);
    tree.AddNode(docs, L"a.txt", false);
    tree.AddNode(tree.AddNode(docs, L"deep", true), L"c.txt", false);
    std::vector<SendFailedFileInfo> failed;
    int missing = 0;
    m.RecoveryDirTreeByID(failed, tree, missing);
    m.RecoveryDirTreeByCacheDb(tree, false);
    m.RecoveryDirTreeByCacheDb(tree, true);
    return 0;
}

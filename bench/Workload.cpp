#include "Workload.h"

#include "Harness.h"

namespace bench {
namespace {
constexpr size_t kFolders = 100;
constexpr size_t kSubfolders = 10;
constexpr int kTasks = 3;
const std::wstring kTopFolder = L"/home/bench";
const std::wstring kTargetRoot = L"/mnt/newpc";

// Digits by hand: std::to_wstring goes through swprintf, which made building a tree of a
// million files take seconds longer.
std::wstring Padded(size_t value, size_t width) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    if (digits.size() < width) digits.insert(0, width - digits.size(), L'0');
    return digits;
}

// Where file `i` of `files` lies: its folder, its subfolder and its own name.
struct FilePlace {
    std::wstring folder;
    std::wstring subfolder;
    std::wstring name;
};
FilePlace PlaceOf(size_t i, size_t files) {
    size_t perSubfolder = (files + kFolders * kSubfolders - 1) / (kFolders * kSubfolders);
    size_t subfolder = i / perSubfolder;
    return {L"Projekt_\u00e4_" + Padded(subfolder / kSubfolders, 2),
            L"\u5b50\u76ee\u5f55_" + Padded(subfolder % kSubfolders, 2),
            L"Datei_" + Padded(i, 7) + L".txt"};
}

int newestTaskId = 0;
}  // namespace

DataBaseManager& Manager() { return *DataBaseManager::GetInstance(); }

std::vector<DirTreeNode*> BuildTree(DirectoryTreeManager& tree, size_t files, bool selected) {
    std::vector<DirTreeNode*> leaves;
    leaves.reserve(files);
    DirTreeNode* top = tree.AddNode(nullptr, kTopFolder, true);
    for (size_t i = 0; i < files; ++i) {
        FilePlace place = PlaceOf(i, files);
        DirTreeNode* folder = tree.AddNode(top, place.folder, true);
        DirTreeNode* subfolder = tree.AddNode(folder, place.subfolder, true);
        DirTreeNode* file = tree.AddNode(subfolder, place.name, false);
        if (selected) {
            file->Select();
            file->targetPath = kTargetRoot + file->sendFilePath;
        }
        leaves.push_back(file);
    }
    return leaves;
}

std::vector<CacheNode> CacheRecords(size_t files) {
    std::vector<CacheNode> records;
    records.reserve(files);
    std::wstring topName = kTopFolder.substr(kTopFolder.rfind(L'/') + 1);
    for (size_t i = 0; i < files; ++i) {
        FilePlace place = PlaceOf(i, files);
        std::wstring relative = place.folder + L"/" + place.subfolder + L"/" + place.name;
        CacheNode record;
        record.filepath = topName + L"/" + relative;
        record.tarpath = L"/var/cache/transfer/pack_" + Padded(i / 1000, 4) + L".tar";
        record.filesize = 4096 + static_cast<long long>(i);
        record.winFilePath = kTopFolder + L"/" + relative;
        record.result = 0;
        records.push_back(std::move(record));
    }
    return records;
}

FileEntry FileAt(size_t i, size_t files) {
    FilePlace place = PlaceOf(i, files);
    return {place.name,
            kTopFolder + L"/" + place.folder + L"/" + place.subfolder + L"/" + place.name};
}

std::vector<SendFailedFileInfo> Failures(size_t files, size_t count, size_t offset) {
    std::vector<SendFailedFileInfo> failures;
    size_t stride = count == 0 ? 1 : files / count;
    for (size_t i = 0; i < count; ++i) {
        FileEntry file = FileAt(i * stride + offset, files);
        failures.push_back({file.name, file.path, 1000 + static_cast<int>(i)});
    }
    return failures;
}

std::string TasksSnapshot() {
    const std::string name = "tasks";
    if (HasSnapshot(name)) return name;
    for (int i = 0; i < kTasks; ++i) {
        TransferTask task;
        task.startTime = 1767225600 + i * 3600;
        task.endTime = task.startTime + 1800;
        task.transferFileNums = 1000000;
        task.transferSize = 1LL << 40;
        task.status = i + 1 < kTasks ? 2 : 1;
        task.macAddr = "00:11:22:33:44:55";
        task.newPCType = 1;
        task.newPCModel = L"Laptop 14\u201d Gen " + std::to_wstring(i);
        Manager().InsertOneTask(task);
    }
    newestTaskId = Manager().GetMaxTaskID();
    SaveSnapshot(name, LibraryDbFile());
    return name;
}

std::string FilesSnapshot(size_t files, size_t failures) {
    const std::string name = "files-" + std::to_string(files) + "-" + std::to_string(failures);
    if (HasSnapshot(name)) return name;
    RestoreSnapshot(TasksSnapshot(), LibraryDbFile());
    {
        DirectoryTreeManager tree;
        BuildTree(tree, files, true);
        Manager().InsertFileInfo(tree.GetRootNode(), NewestTaskId());
    }
    std::vector<SendFailedFileInfo> failed = Failures(files, failures, 0);
    Manager().UpdateFailFileInfo(failed, NewestTaskId());
    TrimHeap();
    SaveSnapshot(name, LibraryDbFile());
    return name;
}

int NewestTaskId() {
    TasksSnapshot();
    return newestTaskId;
}

std::string EmptyCacheSnapshot() {
    const std::string name = "cache-empty";
    if (HasSnapshot(name)) return name;
    Manager().CreateDocCacheDb();
    SaveSnapshot(name, LibraryCacheFile());
    return name;
}

std::string CacheSnapshot(size_t files) {
    const std::string name = "cache-" + std::to_string(files);
    if (HasSnapshot(name)) return name;
    RestoreSnapshot(EmptyCacheSnapshot(), LibraryCacheFile());
    Manager().InsertFilesToCacheDb(CacheRecords(files), false);
    TrimHeap();
    SaveSnapshot(name, LibraryCacheFile());
    return name;
}

void Restore(Side side, const std::string& snapshot) {
    RestoreSnapshot(snapshot, side == Side::Library ? LibraryDbFile() : BaselineDbFile());
}

void RestoreCache(Side side, const std::string& snapshot) {
    RestoreSnapshot(snapshot, side == Side::Library ? LibraryCacheFile() : BaselineCacheFile());
}

}  // namespace bench

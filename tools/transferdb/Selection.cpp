#include "Selection.h"

#include <algorithm>
#include <cstdint>
#include <list>
#include <string_view>
#include <system_error>

#include "Console.h"
#include "DataBaseManager.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
constexpr size_t kFailuresListed = 10;
}  // namespace

Scan ScanSource(DirectoryTreeManager& tree, const fs::path& source) {
    std::vector<DiskScanSkip> skipped;
    Scan scan;
    scan.top = tree.BuildDiskTree(source, skipped);
    if (scan.top == nullptr) {
        throw ToolError(kExitUsage, "cannot read SOURCE " + Printable(source) +
                                        (skipped.empty() ? "" : ": " + skipped[0].error.message()));
    }
    for (size_t i = 0; i < skipped.size(); ++i) {
        const DiskScanSkip& skip = skipped[i];
        if (i < kFailuresListed) {
            Console::Get().Note("cannot read " + Printable(skip.path) + ": " +
                                skip.error.message());
        }
        int code = skip.error ? skip.error.value() : static_cast<int>(std::errc::io_error);
        if (skip.node != nullptr) {
            scan.unreadable[skip.node] = code;
            continue;
        }
        std::wstring parentText;
        DirTreeNode* parent = TextFromPath(skip.path.parent_path(), parentText)
                                  ? tree.FindNodeByPath(parentText)
                                  : nullptr;
        std::wstring name = TextFromPathLossy(skip.path.filename());
        if (parent == nullptr || parent->children.count(name) != 0) {
            ++scan.unrecorded;
            continue;
        }
        std::error_code ignored;
        bool folder = fs::is_directory(fs::symlink_status(skip.path, ignored));
        scan.unreadable[tree.AddNode(parent, name, folder)] = code;
    }
    if (!skipped.empty()) {
        Console::Get().Note(std::to_string(skipped.size()) +
                            " entries of SOURCE cannot be read: they count as failed");
    }
    return scan;
}

void SelectAll(DirTreeNode* top) {
    std::vector<DirTreeNode*> pending{top};
    while (!pending.empty()) {
        DirTreeNode* node = pending.back();
        pending.pop_back();
        node->Select();
        for (auto& child : node->children) pending.push_back(child.second);
    }
}

std::vector<Entry> SelectedEntries(DirectoryTreeManager& tree, const Scan& scan) {
    std::vector<Entry> entries;
    entries.reserve(tree.NodeCount());  // at most one an entry: no copy while it grows
    SelectedLeafWalk leaves(tree.GetRootNode());
    while (DirTreeNode* node = leaves.Next()) {
        Entry entry;
        entry.node = node;
        auto unreadable = scan.unreadable.find(node);
        if (unreadable != scan.unreadable.end()) entry.presetError = unreadable->second;
        std::error_code error;
        fs::path source = PathFromText(node->sendFilePath);
        if (!node->isFolder && fs::is_regular_file(fs::symlink_status(source, error))) {
            auto size = fs::file_size(source, error);
            if (!error) entry.size = static_cast<long long>(size);
        }
        entries.push_back(entry);
    }
    return entries;
}

fs::path RelativePath(const DirTreeNode* node, const DirTreeNode* top) {
    std::vector<const DirTreeNode*> way;
    for (; node != nullptr && node != top; node = node->parent) way.push_back(node);
    fs::path relative;
    for (auto it = way.rbegin(); it != way.rend(); ++it) relative /= PathFromText((*it)->fileName);
    return relative;
}

RecordedOutcomes::RecordedOutcomes(DataBaseManager& db, int taskId, const std::wstring& top)
    : topPath(top) {
    {
        std::list<TransferFileInfo> records;
        db.GetTaskFileInfo(taskId, records);
        rows.reserve(records.size());
        for (const TransferFileInfo& record : records) {
            const wchar_t separator = static_cast<wchar_t>(fs::path::preferred_separator);
            bool inside = record.filePath.size() > topPath.size() &&
                          record.filePath.compare(0, topPath.size(), topPath) == 0 &&
                          record.filePath[topPath.size()] == separator;
            if (record.filePath != topPath && !inside) continue;
            std::string key = Key(record.filePath);
            // Past 4 GB of paths the rest count as unrecorded, and are copied again.
            if (paths.size() + key.size() > UINT32_MAX) break;
            // What verify found different is copied again, as what has no outcome.
            const bool failed =
                record.status == kFileFailed && !CopiedAgainOnResume(record.errCode);
            Earlier earlier = record.status == kFileCopied ? Earlier::kCopied
                              : failed                     ? Earlier::kFailed
                                                           : Earlier::kNothing;
            rows.push_back({static_cast<std::uint32_t>(paths.size()),
                            static_cast<std::uint32_t>(key.size()), earlier});
            paths += key;
        }
    }
    paths.shrink_to_fit();
    rows.shrink_to_fit();
    auto text = [this](const Row& row) {
        return std::string_view(paths).substr(row.offset, row.length);
    };
    std::sort(rows.begin(), rows.end(),
              [&](const Row& a, const Row& b) { return text(a) < text(b); });
}

std::string RecordedOutcomes::Key(const std::wstring& path) const {
    return path.size() <= topPath.size() ? std::string() : Utf8(path.substr(topPath.size() + 1));
}

Earlier RecordedOutcomes::Of(const DirTreeNode* node) const {
    if (node->sendFilePath.compare(0, topPath.size(), topPath) != 0) return Earlier::kNothing;
    const std::string key = Key(node->sendFilePath);
    std::string_view all(paths);
    auto found =
        std::lower_bound(rows.begin(), rows.end(), key, [&](const Row& row, const std::string& k) {
            return all.substr(row.offset, row.length) < k;
        });
    if (found == rows.end() || all.substr(found->offset, found->length) != key) {
        return Earlier::kNothing;
    }
    return found->earlier;
}

}  // namespace transferdb

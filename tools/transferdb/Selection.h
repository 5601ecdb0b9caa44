// What a run copies: SOURCE scanned into the tree model, its leaves selected, and the entries
// taken in the order the library records them (the model's SelectedLeafWalk, which the library's
// InsertFileInfo walks too). An entry is its node and what the copy needs that the node does not
// hold; its paths are made from the nodes' names when it is copied.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "DirectoryTreeManager.h"

class DataBaseManager;

namespace transferdb {

// What an earlier run of the task recorded for an entry.
enum class Earlier : char { kNothing, kCopied, kFailed };

struct Entry {
    DirTreeNode* node = nullptr;
    long long size = 0;   // a file's size when it was selected
    int presetError = 0;  // recorded as it is, without a copy: --fail-every, or unreadable
    Earlier earlier = Earlier::kNothing;

    bool NeedsCopy() const { return earlier == Earlier::kNothing; }
};

// The scan of SOURCE: the tree, and the entries it could not read, each with its error code.
// Those are nodes of the tree too, so that the task records them and they count as failures of
// the run; a folder that can be listed but not entered has its entries there, and is not taken
// for an empty folder.
struct Scan {
    DirTreeNode* top = nullptr;  // SOURCE
    std::unordered_map<const DirTreeNode*, int> unreadable;
    int unrecorded = 0;  // unreadable, and without a node: a name taken by another
};
Scan ScanSource(DirectoryTreeManager& tree, const std::filesystem::path& source);

// Selects `top` and everything below it.
void SelectAll(DirTreeNode* top);

// The selected leaves of the tree in the order the library records them, each with its size
// and the scan's error.
std::vector<Entry> SelectedEntries(DirectoryTreeManager& tree, const Scan& scan);

// The path of `node` below `top` (empty for `top` itself), from the names of the nodes between.
std::filesystem::path RelativePath(const DirTreeNode* node, const DirTreeNode* top);

// What a task recorded for its entries below one folder, read once through the library and
// kept as the entries' paths below that folder in UTF-8, sorted, with their status: a few tens
// of bytes an entry, where the library's records take hundreds. Read before the tree is built,
// so that the records and the tree are never in memory together.
class RecordedOutcomes {
public:
    RecordedOutcomes(DataBaseManager& db, int taskId, const std::wstring& topPath);
    Earlier Of(const DirTreeNode* node) const;
    // Calls visit(path below the folder, in UTF-8) for every entry without an outcome.
    template <class Visit>
    void ForEachWithout(Visit&& visit) const {
        for (const Row& row : rows) {
            if (row.earlier == Earlier::kNothing) visit(paths.substr(row.offset, row.length));
        }
    }

private:
    struct Row {  // 12 bytes
        std::uint32_t offset;
        std::uint32_t length;
        Earlier earlier;
    };
    std::string Key(const std::wstring& path) const;
    std::wstring topPath;
    std::string paths;
    std::vector<Row> rows;
};

}  // namespace transferdb

// The directory-tree model: the disk tree of this PC and the user's selection in it.
#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "PlatformTypes.h"
#include "VtExport.h"

struct MODEL_API DirTreeNode {
    std::wstring fileName;
    std::wstring sendFilePath;      // the entry's full path on this PC
    std::wstring targetPath;        // where the entry goes on the new PC
    DirTreeNode* parent = nullptr;  // null at the root
    int selectState = 0;            // 0 = not selected
    bool isFolder = false;
    std::map<std::wstring, DirTreeNode*> children;  // key: the child's fileName
    std::wstring shotPath;

    // Selected states: the node itself is fully selected; an ancestor that was not selected
    // becomes partly selected, so that a walk from the root reaches the node.
    // Enumerators, not static members: a DLL would have to export those, and MinGW's import
    // of a static constexpr member of an exported class does not link.
    enum : int { kSelected = 1, kPartlySelected = 2 };

    // Marks this node selected and makes every ancestor non-zero.
    void Select();
};

// An entry that a disk scan left out, and why.
struct DiskScanSkip {
    std::filesystem::path path;
    std::error_code error;
};

class MODEL_API DirectoryTreeManager {
public:
    DirectoryTreeManager();
    ~DirectoryTreeManager();
    DirectoryTreeManager(const DirectoryTreeManager&) = delete;
    DirectoryTreeManager& operator=(const DirectoryTreeManager&) = delete;

    // A folder node with an empty path; never found by FindNodeByPath.
    DirTreeNode* GetRootNode();

    // Creates a child named `name` under `parent` (the root when null); its sendFilePath is
    // the parent's path, the platform separator and `name` (just `name` under the root).
    // An existing child of that name is returned unchanged: its kind stays what it was when it
    // was made, whatever `isFolder` says now, and no second node is made.
    DirTreeNode* AddNode(DirTreeNode* parent, const std::wstring& name, bool isFolder);

    // The node whose sendFilePath is `path`, or null.
    DirTreeNode* FindNodeByPath(std::wstring path);

    // Adds `folder` as read from the disk: its node is a child of the root named after the
    // folder's absolute path, so that every node's sendFilePath is the entry's real path. Links
    // are added as files and never followed. Folders that cannot be listed, names that are not
    // text, and entries that are neither files, folders nor links are left out and appended to
    // `skipped`. Signals the finish event when done. Returns the folder's node, or null when
    // `folder` itself cannot be listed (its reason in `skipped`).
    DirTreeNode* BuildDiskTree(const std::filesystem::path& folder,
                               std::vector<DiskScanSkip>& skipped);

    // The number of nodes below the root.
    size_t NodeCount() const { return nodes.size() - 1; }

    HANDLE GetDiskTreeBuildFinishEvent() { return diskTreeBuildFinishEvent; }

private:
    std::deque<DirTreeNode> nodes;  // stable addresses; nodes[0] is the root
    std::unordered_map<std::wstring, DirTreeNode*> byPath;
    HANDLE diskTreeBuildFinishEvent = nullptr;
};

// The directory-tree model: the disk tree of this PC and the user's selection in it.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
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

// The selected leaves below a node, in the order a transfer task records them: a folder's
// leaves by key, then each of its subfolders, smallest key first, with everything below it. A
// leaf is a file, or a folder without children; the node itself is never one of them, and an
// unselected node hides everything below it. The walk holds one position per level, nothing per
// leaf, so that a tree of millions of files costs no memory to walk.
class MODEL_API SelectedLeafWalk {
public:
    explicit SelectedLeafWalk(DirTreeNode* root);
    // The next leaf, or null once all were given.
    DirTreeNode* Next();

    static bool IsLeaf(const DirTreeNode* node) {
        return !node->isFolder || node->children.empty();
    }

private:
    using Position = std::map<std::wstring, DirTreeNode*>::const_iterator;
    struct Level {
        Position leaf;    // the next child to look at for a leaf
        Position folder;  // the next child to look at for a subfolder, once the leaves are done
        Position end;
    };
    std::vector<Level> levels;
};

// An entry that a disk scan could not read, and why.
struct DiskScanSkip {
    std::filesystem::path path;
    std::error_code error;
    DirTreeNode* node = nullptr;  // its node, when the scan made one (a folder it cannot list)
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

    // The node whose sendFilePath is `path` (the first made, should two share one), or null.
    DirTreeNode* FindNodeByPath(std::wstring path);

    // Adds `folder` as read from the disk: its node is a child of the root named after the
    // folder's absolute path, so that every node's sendFilePath is the entry's real path. Links
    // are added as files and never followed. Names that are not text, and entries that are
    // neither files, folders nor links, are left out; they and the folders that cannot be
    // listed (which keep their node, without children) are appended to `skipped`. One folder is
    // open at a time, and nothing is held per entry beyond its node. Signals the finish event
    // when done. Returns the folder's node, or null when `folder` itself cannot be listed (its
    // reason in `skipped`).
    DirTreeNode* BuildDiskTree(const std::filesystem::path& folder,
                               std::vector<DiskScanSkip>& skipped);

    // The number of nodes below the root.
    size_t NodeCount() const { return made - 1; }

    HANDLE GetDiskTreeBuildFinishEvent() { return diskTreeBuildFinishEvent; }

private:
    DirTreeNode* NewNode();
    void Index(DirTreeNode* node);

    // Nodes are made a block at a time, and never move.
    std::vector<std::unique_ptr<DirTreeNode[]>> blocks;
    size_t made = 0;  // the nodes handed out, the root (the first) included
    // The lookup by path holds no text of its own: the nodes by the hash of their sendFilePath,
    // open addressing, at most half full; null marks a free slot.
    std::vector<DirTreeNode*> byPath;
    size_t indexed = 0;
    HANDLE diskTreeBuildFinishEvent = nullptr;
};

#include "DirectoryTreeManager.h"

#include "Platform.h"

void DirTreeNode::Select() {
    selectState = kSelected;
    // Stops at the first ancestor already taking part: everything above it does too.
    for (DirTreeNode* up = parent; up != nullptr && up->selectState == 0; up = up->parent) {
        up->selectState = kPartlySelected;
    }
}

DirectoryTreeManager::DirectoryTreeManager()
    : diskTreeBuildFinishEvent(Platform::CreateFinishEvent()) {
    DirTreeNode& root = nodes.emplace_back();
    root.isFolder = true;
}

DirectoryTreeManager::~DirectoryTreeManager() {
    Platform::CloseFinishEvent(diskTreeBuildFinishEvent);
}

DirTreeNode* DirectoryTreeManager::GetRootNode() { return &nodes.front(); }

DirTreeNode* DirectoryTreeManager::AddNode(DirTreeNode* parent, const std::wstring& name,
                                           bool isFolder) {
    if (parent == nullptr) parent = GetRootNode();
    auto existing = parent->children.find(name);
    if (existing != parent->children.end()) return existing->second;

    DirTreeNode& node = nodes.emplace_back();
    node.fileName = name;
    node.parent = parent;
    node.isFolder = isFolder;
    if (parent == GetRootNode()) {
        node.sendFilePath = name;
    } else {
        node.sendFilePath.reserve(parent->sendFilePath.size() + 1 + name.size());
        node.sendFilePath = parent->sendFilePath;
        node.sendFilePath += Platform::kWidePathSeparator;
        node.sendFilePath += name;
    }
    parent->children.emplace(name, &node);
    // The empty path is the root's and finds nothing, even for a child named "".
    if (!node.sendFilePath.empty()) byPath.emplace(node.sendFilePath, &node);
    return &node;
}

DirTreeNode* DirectoryTreeManager::FindNodeByPath(std::wstring path) {
    auto found = byPath.find(path);
    return found == byPath.end() ? nullptr : found->second;
}

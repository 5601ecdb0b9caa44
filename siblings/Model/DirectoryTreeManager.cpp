#include "DirectoryTreeManager.h"

#include <functional>

#include "Platform.h"

namespace {
// Nodes per block: a few hundred kilobytes, so that a small tree wastes little and a tree of
// millions makes thousands of allocations instead of millions.
constexpr size_t kBlockNodes = 2048;
constexpr size_t kFirstSlots = 1024;

size_t PathHash(const std::wstring& path) { return std::hash<std::wstring>()(path); }

bool Taking(const DirTreeNode* node) { return node != nullptr && node->selectState != 0; }
}  // namespace

void DirTreeNode::Select() {
    selectState = kSelected;
    // Stops at the first ancestor already taking part: everything above it does too.
    for (DirTreeNode* up = parent; up != nullptr && up->selectState == 0; up = up->parent) {
        up->selectState = kPartlySelected;
    }
}

SelectedLeafWalk::SelectedLeafWalk(DirTreeNode* root) {
    if (root == nullptr) return;
    const auto& children = root->children;
    levels.push_back({children.begin(), children.begin(), children.end()});
}

DirTreeNode* SelectedLeafWalk::Next() {
    while (!levels.empty()) {
        Level& level = levels.back();
        while (level.leaf != level.end) {
            DirTreeNode* child = (level.leaf++)->second;
            if (Taking(child) && IsLeaf(child)) return child;
        }
        DirTreeNode* subfolder = nullptr;
        while (subfolder == nullptr && level.folder != level.end) {
            DirTreeNode* child = (level.folder++)->second;
            if (Taking(child) && !IsLeaf(child)) subfolder = child;
        }
        if (subfolder == nullptr) {
            levels.pop_back();
            continue;
        }
        const auto& children = subfolder->children;
        levels.push_back({children.begin(), children.begin(), children.end()});
    }
    return nullptr;
}

DirectoryTreeManager::DirectoryTreeManager()
    : diskTreeBuildFinishEvent(Platform::CreateFinishEvent()) {
    NewNode()->isFolder = true;  // the root
}

DirectoryTreeManager::~DirectoryTreeManager() {
    Platform::CloseFinishEvent(diskTreeBuildFinishEvent);
}

DirTreeNode* DirectoryTreeManager::GetRootNode() { return &blocks.front()[0]; }

DirTreeNode* DirectoryTreeManager::NewNode() {
    if (made == blocks.size() * kBlockNodes) {
        blocks.push_back(std::make_unique<DirTreeNode[]>(kBlockNodes));
    }
    DirTreeNode* node = &blocks.back()[made % kBlockNodes];
    ++made;
    return node;
}

DirTreeNode* DirectoryTreeManager::AddNode(DirTreeNode* parent, const std::wstring& name,
                                           bool isFolder) {
    if (parent == nullptr) parent = GetRootNode();
    auto existing = parent->children.find(name);
    if (existing != parent->children.end()) return existing->second;

    DirTreeNode* node = NewNode();
    node->fileName = name;
    node->parent = parent;
    node->isFolder = isFolder;
    if (parent == GetRootNode()) {
        node->sendFilePath = name;
    } else {
        node->sendFilePath.reserve(parent->sendFilePath.size() + 1 + name.size());
        node->sendFilePath = parent->sendFilePath;
        node->sendFilePath += Platform::kWidePathSeparator;
        node->sendFilePath += name;
    }
    parent->children.emplace(name, node);
    // The empty path is the root's and finds nothing, even for a child named "".
    if (!node->sendFilePath.empty()) Index(node);
    return node;
}

void DirectoryTreeManager::Index(DirTreeNode* node) {
    if (2 * (indexed + 1) > byPath.size()) {
        // Filled again in the order the nodes were made, so that of two nodes with one path
        // the first made stays the one found.
        byPath.assign(byPath.empty() ? kFirstSlots : 2 * byPath.size(), nullptr);
        indexed = 0;
        for (size_t i = 1; i + 1 < made; ++i) {
            DirTreeNode* earlier = &blocks[i / kBlockNodes][i % kBlockNodes];
            if (!earlier->sendFilePath.empty()) Index(earlier);
        }
    }
    const size_t mask = byPath.size() - 1;
    size_t slot = PathHash(node->sendFilePath) & mask;
    while (byPath[slot] != nullptr) slot = (slot + 1) & mask;
    byPath[slot] = node;
    ++indexed;
}

DirTreeNode* DirectoryTreeManager::FindNodeByPath(std::wstring path) {
    if (byPath.empty()) return nullptr;
    const size_t mask = byPath.size() - 1;
    for (size_t slot = PathHash(path) & mask; byPath[slot] != nullptr; slot = (slot + 1) & mask) {
        if (byPath[slot]->sendFilePath == path) return byPath[slot];
    }
    return nullptr;
}

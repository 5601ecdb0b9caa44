// The tree that the reliability suites record in bulk.
#pragma once

#include <string>
#include <vector>

#include "DirectoryTreeManager.h"

// Adds `folders` folders "d0", "d1", ... under the root of `tree`, each with `files` selected
// files "f0", "f1", ... whose target path is "new/" and their own path. Returns the files in the
// order they were added.
inline std::vector<DirTreeNode*> AddSelectedFiles(DirectoryTreeManager& tree, int folders,
                                                  int files) {
    std::vector<DirTreeNode*> leaves;
    for (int f = 0; f < folders; ++f) {
        DirTreeNode* folder = tree.AddNode(nullptr, L"d" + std::to_wstring(f), true);
        for (int k = 0; k < files; ++k) {
            DirTreeNode* leaf = tree.AddNode(folder, L"f" + std::to_wstring(k), false);
            leaf->targetPath = L"new/" + leaf->sendFilePath;
            leaf->Select();
            leaves.push_back(leaf);
        }
    }
    return leaves;
}

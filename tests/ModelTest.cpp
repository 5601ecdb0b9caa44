// The directory-tree model as the library uses it: paths, lookup and selection.
#include <gtest/gtest.h>

#include "DirectoryTreeManager.h"
#include "Platform.h"

namespace {
const std::wstring kSep(1, Platform::kWidePathSeparator);

TEST(ModelTest, NodesAreFoundByThePathsTheyRecord) {
    DirectoryTreeManager tree;
    DirTreeNode* root = tree.GetRootNode();
    DirTreeNode* docs = tree.AddNode(nullptr, L"docs", true);
    DirTreeNode* file = tree.AddNode(docs, L"a.txt", false);
    EXPECT_EQ(docs->parent, root);
    EXPECT_EQ(docs->sendFilePath, L"docs");
    EXPECT_EQ(file->sendFilePath, L"docs" + kSep + L"a.txt");
    EXPECT_EQ(file->selectState, 0);
    EXPECT_FALSE(file->isFolder);
    EXPECT_EQ(tree.FindNodeByPath(file->sendFilePath), file);
    EXPECT_EQ(tree.FindNodeByPath(L"docs"), docs);
    EXPECT_EQ(tree.FindNodeByPath(L"docs" + kSep), nullptr);
    EXPECT_EQ(tree.FindNodeByPath(L"a.txt"), nullptr);
    EXPECT_EQ(tree.AddNode(docs, L"a.txt", true), file);  // an existing name adds nothing
    EXPECT_EQ(tree.NodeCount(), 2u);
    EXPECT_EQ(docs->children.size(), 1u);
}

TEST(ModelTest, TheEmptyPathFindsNothing) {
    DirectoryTreeManager tree;
    EXPECT_EQ(tree.FindNodeByPath(L""), nullptr);
    tree.AddNode(nullptr, L"", true);
    EXPECT_EQ(tree.FindNodeByPath(L""), nullptr);
}

TEST(ModelTest, SelectingANodeMakesItsAncestorsTakePart) {
    DirectoryTreeManager tree;
    DirTreeNode* top = tree.AddNode(nullptr, L"top", true);
    DirTreeNode* mid = tree.AddNode(top, L"mid", true);
    DirTreeNode* file = tree.AddNode(mid, L"file", false);
    DirTreeNode* sibling = tree.AddNode(mid, L"sibling", false);
    top->Select();
    file->Select();
    EXPECT_EQ(file->selectState, DirTreeNode::kSelected);
    EXPECT_EQ(mid->selectState, DirTreeNode::kPartlySelected);
    EXPECT_EQ(top->selectState, DirTreeNode::kSelected);  // not lowered
    EXPECT_NE(tree.GetRootNode()->selectState, 0);
    EXPECT_EQ(sibling->selectState, 0);
}
}  // namespace

// The directory-tree model as the library uses it: paths, lookup, selection, and the tree a
// disk scan builds.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>

#include "DirectoryTreeManager.h"
#include "Platform.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {
const std::wstring kSep(1, Platform::kWidePathSeparator);

// Lookup by path walks no index of strings: every node is found by its own path, and only by it.
TEST(TreeModelTest, EveryNodeIsFoundByItsPathAndNoOtherPathFindsOne) {
    DirectoryTreeManager tree;
    std::vector<DirTreeNode*> nodes;
    DirTreeNode* deep = tree.AddNode(nullptr, L"C:", true);
    for (int level = 0; level < 300; ++level) {  // a path of thousands of characters
        deep = tree.AddNode(deep, L"level " + std::to_wstring(level), true);
        nodes.push_back(deep);
    }
    // Names that differ only in case or in normalisation (a precomposed and a combining
    // "\u00e9"), a name that is a prefix of another, and a thousand siblings in several blocks.
    DirTreeNode* folder = tree.AddNode(nullptr, L"names", true);
    for (const wchar_t* name : {L"Readme", L"README", L"caf\u00e9", L"cafe\u0301", L"a", L"ab"})
        nodes.push_back(tree.AddNode(folder, name, false));
    for (int i = 0; i < 3000; ++i)
        nodes.push_back(tree.AddNode(nodes.back(), L"n" + std::to_wstring(i), i % 2 == 0));
    for (DirTreeNode* node : nodes) {
        ASSERT_EQ(tree.FindNodeByPath(node->sendFilePath), node) << node->sendFilePath.size();
    }
    const std::wstring names = L"names" + kSep;
    const std::wstring notNodes[] = {L"",
                                     L"names" + kSep,
                                     names + L"readme",
                                     names + L"cafe",
                                     names + L"abc",
                                     L"C:" + kSep + L"level 0" + kSep + L"level",
                                     L"nam",
                                     names + L"a" + kSep + L"b"};
    for (const std::wstring& path : notNodes) {
        EXPECT_EQ(tree.FindNodeByPath(path), nullptr) << std::string(path.begin(), path.end());
    }
    EXPECT_EQ(tree.NodeCount(), 3308u);
    EXPECT_EQ(tree.AddNode(folder, L"a", true), nodes[304]) << "made again: the one made first";
    tree.AddNode(nullptr, names + L"a", false);
    EXPECT_EQ(tree.FindNodeByPath(names + L"a"), nodes[304])
        << "a second node of that path, a root child, is not found in its place";
}

// A scratch folder of the test's own holding a, b/x, b/c/y and empty/; removed afterwards.
class DiskScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir : {"b/c", "empty"}) fs::create_directories(folder / dir);
        for (const char* file : {"a", "b/x", "b/c/y"}) std::ofstream(folder / file) << "x";
    }
    void TearDown() override { fs::remove_all(folder); }
    // Every node below `top` as its path below it, folders ending in "/", in name order; each
    // node's path must be its parent's and its name.
    static std::wstring Paths(const DirTreeNode* top, const std::wstring& prefix = L"") {
        std::wstring paths;
        for (const auto& [name, child] : top->children) {
            EXPECT_EQ(child->parent, top);
            EXPECT_EQ(child->sendFilePath, top->sendFilePath + kSep + name)
                << "its parent's and name";
            std::wstring path = prefix + name + (child->isFolder ? L"/" : L"");
            paths += path + L" " + Paths(child, path);
        }
        return paths;
    }
    const fs::path folder = fs::temp_directory_path() / std::to_string(std::random_device()());
    std::vector<DiskScanSkip> skipped;
    DirectoryTreeManager tree;
};

// The scan names the top node after the folder's absolute path, so that every node's path is
// the entry's real path.
TEST_F(DiskScanTest, TheTreeHoldsEveryEntryUnderTheFoldersAbsolutePath) {
    DirTreeNode* top = tree.BuildDiskTree(folder / "b" / ".." / "", skipped);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->sendFilePath, folder.wstring()) << "named after the absolute path";
    EXPECT_EQ(top->parent, tree.GetRootNode()) << "a child of the root";
    EXPECT_TRUE(top->isFolder);
    EXPECT_EQ(Paths(top), L"a b/ b/c/ b/c/y b/x empty/ ");
    EXPECT_TRUE(skipped.empty());
    // A folder that is not there gives no node, and says why.
    EXPECT_EQ(tree.BuildDiskTree(folder / "missing", skipped), nullptr);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].path, folder / "missing");
    // By value: on Windows each DLL carries a category object of its own.
    EXPECT_EQ(skipped[0].error.value(), int(std::errc::no_such_file_or_directory));
    EXPECT_EQ(tree.NodeCount(), 7u) << "the missing folder added no node";
}

#if !defined(_WIN32)
// POSIX has no event object: the finish event is null (WindowsTest waits on the real one).
TEST_F(DiskScanTest, ThereIsNoFinishEventOnPosix) {
    EXPECT_EQ(tree.GetDiskTreeBuildFinishEvent(), nullptr);
}

// Links are files, never followed; names are read as UTF-8, and those that are not, and entries
// that are neither files, folders nor links, are left out with their reason.
TEST_F(DiskScanTest, LinksAreFilesAndWhatIsNotTextOrAFileIsLeftOutWithItsReason) {
    fs::create_directory_symlink(folder / "b", folder / "link");
    ASSERT_EQ(::mkfifo((folder / "empty" / "pipe").c_str(), 0600), 0);
    for (const char* name :
         {"\x7f\xc2\x80\xdf\xbf", "\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf",
          "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"})
        std::ofstream(folder / "b" / name) << "x";
    std::set<std::pair<std::string, std::error_code>> expected{
        {"empty/pipe", std::make_error_code(std::errc::not_supported)}},
        reasons;
    for (const char* name :
         {"\xc0\xaf", "\xe0\x80\xaf", "\xf0\x80\x80\xaf", "\xed\xa0\x80", "\xed\xbf\xbf",
          "\xf4\x90\x80\x80", "\x80", "\xf8\x88\x80\x80\x80", "a\xe2\x82", "\xe2\x28\xa1"}) {
        std::ofstream(folder / "b" / "c" / name) << "x";
        expected.emplace("b/c/" + std::string(name),
                         std::make_error_code(std::errc::illegal_byte_sequence));
    }
    DirTreeNode* top = tree.BuildDiskTree(folder, skipped);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(Paths(top),
              L"a b/ b/c/ b/c/y b/x b/\x7f\x80\x7ff b/\x800\xd7ff\xe000\xffff "
              L"b/\U00010000\U0010FFFF empty/ link ");
    for (const DiskScanSkip& skip : skipped)
        reasons.emplace(skip.path.lexically_relative(folder), skip.error);
    EXPECT_EQ(reasons, expected) << "what was left out, and why";
    // A folder whose own name is not text gives no node.
    EXPECT_EQ(tree.BuildDiskTree(folder / "b" / "c" / "\x80", skipped), nullptr);
    EXPECT_EQ(skipped.back().error, std::errc::illegal_byte_sequence)
        << "a folder named not as text";
}
#endif
}  // namespace

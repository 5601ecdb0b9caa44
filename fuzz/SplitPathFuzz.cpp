// Path splitting and the shot-path fill, each against a model written from their description.
// Input: one byte n, then n % 4 delimiter bytes, then the text; a byte stands for the character
// of its value, and bytes from 0x80 for characters beyond ASCII. The text is also a cache path
// filled into a chain of nodes whose depth and pre-filled levels come from the text's length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ManagerInternals.h"

namespace {
using Fuzz::Fail;

wchar_t Character(uint8_t byte) {
    return byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(0x100 + byte);
}

// Parts between runs of delimiters: a leading run gives an empty first part, a trailing run
// nothing, and an empty text one empty part.
std::vector<std::wstring> ModelSplit(const std::wstring& text, const std::wstring& delimiters) {
    auto isDelimiter = [&](wchar_t c) { return delimiters.find(c) != std::wstring::npos; };
    std::vector<std::wstring> parts;
    std::wstring part;
    bool inRun = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (isDelimiter(text[i])) {
            if (!inRun) parts.push_back(part);
            part.clear();
            inRun = true;
        } else {
            part += text[i];
            inRun = false;
        }
    }
    if (!inRun || text.empty()) parts.push_back(part);
    return parts;
}

void CheckSplit(const std::wstring& text, const std::wstring& delimiters) {
    std::vector<std::wstring> parts = {L"kept"};  // the routine appends
    SplitString(text, delimiters, parts);
    if (parts.empty() || parts[0] != L"kept") Fail("SplitString replaced what the vector held");
    parts.erase(parts.begin());
    if (parts != ModelSplit(text, delimiters)) Fail("SplitString parts");
}

// A chain root -> 1 -> ... -> depth; the levels whose bit is set in `filled` already have a
// shot path. The fill walks up from the deepest node with the parts from the last one back,
// stopping at the root's children, at a filled level, or when the parts run out.
void CheckFill(const std::wstring& cachePath, size_t depth, unsigned filled) {
    DirectoryTreeManager tree;
    std::vector<DirTreeNode*> chain = {tree.GetRootNode()};
    for (size_t level = 1; level <= depth; ++level) {
        DirTreeNode* node = tree.AddNode(chain.back(), std::to_wstring(level), true);
        if (filled & (1u << level)) node->shotPath = L"before";
        chain.push_back(node);
    }
    std::vector<std::wstring> expected;
    for (DirTreeNode* node : chain) expected.push_back(node->shotPath);
    std::vector<std::wstring> parts = ModelSplit(cachePath, L"/");
    size_t level = depth;
    for (size_t part = parts.size(); part > 0 && level >= 2 && expected[level].empty();
         --part, --level) {
        expected[level] = parts[part - 1];
    }
    DataBaseManager::Internals::FillShotPath(cachePath, chain.back());
    DataBaseManager::Internals::FillShotPath(cachePath, nullptr);
    for (size_t i = 0; i < chain.size(); ++i) {
        if (chain[i]->shotPath != expected[i]) Fail("FillShotPath levels");
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz::StartManager();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t count = data[0] % 4;
    if (size < 1 + count) return 0;
    std::wstring delimiters, text;
    for (size_t i = 1; i < 1 + count; ++i) delimiters += Character(data[i]);
    for (size_t i = 1 + count; i < size; ++i) text += Character(data[i]);
    CheckSplit(text, delimiters);
    CheckFill(text, text.size() % 12, static_cast<unsigned>(size * 2654435761u));
    return 0;
}

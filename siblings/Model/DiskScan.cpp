// The disk scan: builds the tree of one folder from the file system.
#include <type_traits>
#include <utility>

#include "DirectoryTreeManager.h"
#include "Platform.h"
#include "TextCodec.h"

namespace fs = std::filesystem;

namespace {
// The node text of a path: its own wide form where paths are wide; elsewhere names are bytes,
// read as UTF-8 whatever the locale, as the rest of the application reads them. A template, so
// that only the branch of this platform's path type is compiled.
template <class Native>
bool NativeToText(const Native& native, std::wstring& text) {
    if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
        text = native;
        return true;
    } else {
        return TextCodec::FromUtf8Strict(native, text);
    }
}
bool ToNodeText(const fs::path& path, std::wstring& text) {
    return NativeToText(path.native(), text);
}

}  // namespace

DirTreeNode* DirectoryTreeManager::BuildDiskTree(const fs::path& folder,
                                                 std::vector<DiskScanSkip>& skipped) {
    std::error_code error;
    fs::path absolute = fs::absolute(folder, error).lexically_normal().make_preferred();
    // "/a/b/" names the folder "/a/b"; a file system's root keeps its separator.
    if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    std::wstring name;
    DirTreeNode* top = nullptr;
    if (error || !ToNodeText(absolute, name)) {
        skipped.push_back(
            {folder, error ? error : std::make_error_code(std::errc::illegal_byte_sequence)});
    } else if (fs::directory_iterator check(absolute, error); error) {
        skipped.push_back({absolute, error});
    } else {
        top = AddNode(nullptr, name, true);
    }

    // The folders made but not listed yet, with their paths: a folder is listed when its turn
    // comes, so that one folder is open at a time and no list of entries is kept.
    std::vector<std::pair<DirTreeNode*, fs::path>> pending;
    if (top != nullptr) pending.emplace_back(top, absolute);
    while (!pending.empty()) {
        auto [node, path] = std::move(pending.back());
        pending.pop_back();
        fs::directory_iterator it(path, error);
        for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
            const fs::directory_entry& entry = *it;
            fs::file_status status = entry.symlink_status(error);
            if (error) {
                skipped.push_back({entry.path(), error});
                error.clear();
                continue;
            }
            if (!ToNodeText(entry.path().filename(), name)) {
                skipped.push_back(
                    {entry.path(), std::make_error_code(std::errc::illegal_byte_sequence)});
                continue;
            }
            if (fs::is_directory(status)) {
                pending.emplace_back(AddNode(node, name, true), entry.path());
            } else if (fs::is_regular_file(status) || fs::is_symlink(status)) {
                AddNode(node, name, false);
            } else {
                skipped.push_back({entry.path(), std::make_error_code(std::errc::not_supported)});
            }
        }
        // A folder that cannot be listed, or not to its end, keeps its node and says why.
        if (error) {
            skipped.push_back({path, error, node});
            error.clear();
        }
    }
    Platform::SignalFinishEvent(diskTreeBuildFinishEvent);
    return top;
}

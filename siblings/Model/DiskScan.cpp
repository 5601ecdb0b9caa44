// The disk scan: builds the tree of one folder from the file system.
#include <type_traits>
#include <utility>

#include "DirectoryTreeManager.h"
#include "Platform.h"

namespace fs = std::filesystem;

namespace {
// Decodes strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF) into wide
// text: UTF-16 where wchar_t has 16 bits, UTF-32 elsewhere. Unused where paths are wide.
[[maybe_unused]] bool DecodeUtf8(const std::string& in, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < in.size();) {
        unsigned char lead = static_cast<unsigned char>(in[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        if (length == 0 || i + length > in.size()) return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(in[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (sizeof(wchar_t) == 2 && c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
        i += length;
    }
    return true;
}

// The node text of a path: its own wide form where paths are wide; elsewhere names are bytes,
// read as UTF-8 whatever the locale, as the rest of the application reads them. A template, so
// that only the branch of this platform's path type is compiled.
template <class Native>
bool NativeToText(const Native& native, std::wstring& text) {
    if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
        text = native;
        return true;
    } else {
        return DecodeUtf8(native, text);
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

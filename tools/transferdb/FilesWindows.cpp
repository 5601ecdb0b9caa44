// The copy on Windows: CopyFileExW, each folder on the way checked to be a folder and not a
// link or junction (a reparse point) just before the copy, since the standard library offers no
// open relative to a folder handle; links in SOURCE are copied as links.
#include <windows.h>

#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "Files.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
constexpr DWORD kThroughLink = ERROR_CANT_ACCESS_FILE;

// Checks every folder of `relative` below `root` on the way down, creating the missing ones
// when `create` is set.
DWORD EnterFolders(const fs::path& root, const fs::path& relative, bool create) {
    fs::path path = root;
    for (const fs::path& name : relative) {
        path /= name;
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            if (!create || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)) {
                return error;
            }
            if (!CreateDirectoryW(path.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                return GetLastError();
            }
            attributes = GetFileAttributesW(path.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return kThroughLink;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    }
    return 0;
}

// Written through to the disk before the outcome is reported: the batch that records it
// follows without another sync.
DWORD Flush(const fs::path& file) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD error = FlushFileBuffers(handle) ? 0 : GetLastError();
    CloseHandle(handle);
    return error;
}

bool SameVersion(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
    return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
           CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

// One copy under the temporary name, moved into place when whole; `changed` when the source's
// size or modification time moved meanwhile, and then nothing is left in TARGET.
DWORD CopyOnce(const fs::path& from, const fs::path& to, bool& changed) {
    changed = false;
    WIN32_FILE_ATTRIBUTE_DATA before{}, after{};
    if (!GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &before)) {
        return GetLastError();
    }
    if (before.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_NOT_SUPPORTED;
    const fs::path part = to.parent_path() / TemporaryName(to.filename());
    DeleteFileW(part.c_str());  // left by an interrupted run; a link is deleted, not followed
    DWORD error = 0;
    if (!CopyFileExW(from.c_str(), part.c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK)) {
        error = GetLastError();
    }
    if (error == 0 && !GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &after)) {
        error = GetLastError();
    }
    changed = error == 0 && !SameVersion(before, after);
    if (error == 0 && !changed && !(before.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = Flush(part);
    }
    if (error == 0 && !changed &&
        !MoveFileExW(part.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != 0 || changed) DeleteFileW(part.c_str());
    return error;
}
// Reads both files to their ends side by side; kContent at the first byte that differs.
Comparison CompareContent(const fs::path& from, const fs::path& copy,
                          std::atomic<long long>& bytes) {
    constexpr DWORD kChunk = DWORD{1} << 20;
    thread_local std::vector<char> left(kChunk), right(kChunk);
    HANDLE files[2];
    const fs::path* paths[2] = {&from, &copy};
    for (int k = 0; k < 2; ++k) {
        files[k] = CreateFileW(paths[k]->c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (files[k] == INVALID_HANDLE_VALUE) {
            const int error = static_cast<int>(GetLastError());
            if (k == 1) CloseHandle(files[0]);
            return {Difference::kUnreadable, error};
        }
    }
    Comparison result;
    for (;;) {
        DWORD got = 0, have = 0;
        if (!ReadFile(files[0], left.data(), kChunk, &got, nullptr) ||
            !ReadFile(files[1], right.data(), kChunk, &have, nullptr)) {
            result = {Difference::kUnreadable, static_cast<int>(GetLastError())};
            break;
        }
        bytes += got;
        if (got != have) {
            result.difference = Difference::kSize;
            break;
        }
        if (got == 0) break;
        if (std::memcmp(left.data(), right.data(), got) != 0) {
            result.difference = Difference::kContent;
            break;
        }
    }
    CloseHandle(files[0]);
    CloseHandle(files[1]);
    return result;
}
}  // namespace

struct SourceAndTarget::Handles {
    fs::path source;
    fs::path target;
};

SourceAndTarget::SourceAndTarget(const fs::path& source, const fs::path& target)
    : handles(new Handles{source, target}) {
    std::error_code error;
    fs::create_directories(target, error);
    if (!fs::is_directory(target, error)) {
        throw ToolError(kExitFailure,
                        "cannot open TARGET " + Printable(target) + ": " +
                            std::system_category().message(static_cast<int>(GetLastError())));
    }
}

SourceAndTarget::~SourceAndTarget() = default;

int SourceAndTarget::CopyFile(const fs::path& folder, const fs::path& name) const {
    if (name.empty()) return ERROR_INVALID_PARAMETER;
    if (DWORD error = EnterFolders(handles->source, folder, false)) return error;
    if (DWORD error = EnterFolders(handles->target, folder, true)) return error;
    const fs::path from = handles->source / folder / name;
    const fs::path to = handles->target / folder / name;
    bool changed = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD error = CopyOnce(from, to, changed);
        if (!changed) return static_cast<int>(error);
    }
    return kChangedWhileCopied;
}

Comparison SourceAndTarget::Compare(const fs::path& relative, std::atomic<long long>& bytes) const {
    Comparison result;
    auto found = [&result](Difference difference, DWORD error = 0) {
        result.difference = difference;
        result.error = static_cast<int>(error);
        return result;
    };
    if (!relative.has_filename()) return result;  // SOURCE and TARGET themselves
    if (DWORD error = EnterFolders(handles->source, relative.parent_path(), false)) {
        const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return gone ? found(Difference::kSourceGone) : found(Difference::kUnreadable, error);
    }
    const fs::path from = handles->source / relative;
    const fs::path to = handles->target / relative;
    WIN32_FILE_ATTRIBUTE_DATA source{}, copy{};
    if (!GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &source)) {
        const DWORD error = GetLastError();
        const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return gone ? found(Difference::kSourceGone) : found(Difference::kUnreadable, error);
    }
    constexpr DWORD kKindBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    result.folder = (source.dwFileAttributes & kKindBits) == FILE_ATTRIBUTE_DIRECTORY;
    if (!(source.dwFileAttributes & kKindBits)) {
        result.size =
            static_cast<long long>((ULONGLONG{source.nFileSizeHigh} << 32) | source.nFileSizeLow);
    }
    DWORD error = EnterFolders(handles->target, relative.parent_path(), false);
    if (error == 0 && !GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &copy)) {
        error = GetLastError();
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return found(Difference::kMissing);
    }
    if (error != 0) return found(Difference::kUnreadable, error);
    if ((source.dwFileAttributes & kKindBits) != (copy.dwFileAttributes & kKindBits)) {
        return found(Difference::kKind);
    }
    if (source.dwFileAttributes & kKindBits) return found(Difference::kSame);
    if (source.nFileSizeHigh != copy.nFileSizeHigh || source.nFileSizeLow != copy.nFileSizeLow) {
        return found(Difference::kSize);
    }
    if (CompareFileTime(&source.ftLastWriteTime, &copy.ftLastWriteTime) != 0) {
        return found(Difference::kTime);
    }
    const Comparison content = CompareContent(from, to, bytes);
    return found(content.difference, static_cast<DWORD>(content.error));
}

void SourceAndTarget::RemoveTemporary(const fs::path& relative) const {
    if (EnterFolders(handles->target, relative.parent_path(), false) != 0) return;
    DeleteFileW(
        (handles->target / relative.parent_path() / TemporaryName(relative.filename())).c_str());
}

int SourceAndTarget::MakeFolder(const fs::path& relative) const {
    return static_cast<int>(EnterFolders(handles->target, relative, true));
}

int SourceAndTarget::FinishFolder(const fs::path& relative) const {
    // A folder none of whose entries arrived has nothing to finish.
    if (DWORD error = EnterFolders(handles->target, relative, false)) {
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    if (DWORD error = EnterFolders(handles->source, relative, false)) return error;
    WIN32_FILE_ATTRIBUTE_DATA source{};
    if (!GetFileAttributesExW((handles->source / relative).c_str(), GetFileExInfoStandard,
                              &source)) {
        return static_cast<int>(GetLastError());
    }
    // The folder itself, not what a junction in its place would name.
    HANDLE folder =
        CreateFileW((handles->target / relative).c_str(), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    DWORD error = SetFileTime(folder, nullptr, &source.ftLastAccessTime, &source.ftLastWriteTime)
                      ? 0
                      : GetLastError();
    CloseHandle(folder);
    return static_cast<int>(error);
}

void SourceAndTarget::Sync() const {}

}  // namespace transferdb

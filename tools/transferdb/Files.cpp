#include "Files.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "Text.h"
#include "Tool.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace transferdb {
namespace {
const char* const kPartSuffix = ".transferdb-part";

ToolError CannotOpen(const char* what, const fs::path& folder, int error) {
    return ToolError(kExitFailure, std::string("cannot open ") + what + " " + Show(folder) + ": " +
                                       std::system_category().message(error));
}
}  // namespace

#if defined(_WIN32)

// Windows offers no open relative to a folder handle to the standard library: every folder
// on the way is checked to be a folder and not a link or junction (a reparse point) just
// before the copy, and links in SOURCE are copied as links.
struct CopyFolders::Handles {
    fs::path source;
    fs::path target;
};

namespace {
constexpr DWORD kThroughLink = ERROR_CANT_ACCESS_FILE;

DWORD CheckFolders(const fs::path& root, const fs::path& relative, bool create) {
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
}  // namespace

CopyFolders::CopyFolders(const fs::path& source, const fs::path& target)
    : handles(new Handles{source, target}) {
    std::error_code error;
    fs::create_directories(target, error);
    if (!fs::is_directory(target, error)) {
        throw CannotOpen("TARGET", target, static_cast<int>(GetLastError()));
    }
}

CopyFolders::~CopyFolders() = default;

int CopyFolders::Copy(const fs::path& relative, bool folder) const {
    if (folder) return static_cast<int>(CheckFolders(handles->target, relative, true));
    if (relative.empty()) return ERROR_INVALID_PARAMETER;
    if (DWORD error = CheckFolders(handles->source, relative.parent_path(), false)) return error;
    if (DWORD error = CheckFolders(handles->target, relative.parent_path(), true)) return error;
    fs::path from = handles->source / relative;
    fs::path to = handles->target / relative;
    fs::path part = to;
    part += kPartSuffix;
    DWORD attributes = GetFileAttributesW(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return static_cast<int>(GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_NOT_SUPPORTED;
    DeleteFileW(part.c_str());  // left by an interrupted run; a link is deleted, not followed
    DWORD error = 0;
    if (!CopyFileExW(from.c_str(), part.c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK)) {
        error = GetLastError();
    }
    if (error == 0 && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) error = Flush(part);
    if (error == 0 && !MoveFileExW(part.c_str(), to.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != 0) DeleteFileW(part.c_str());
    return static_cast<int>(error);
}

void CopyFolders::Sync() const {}

#else

struct CopyFolders::Handles {
    int source = -1;
    int target = -1;
    unsigned long long run = 0;  // tells this object's folders from an earlier one's
    ~Handles() {
        if (source >= 0) close(source);
        if (target >= 0) close(target);
    }
};

namespace {
// An open descriptor, closed with its owner.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        Close();
        fd = std::exchange(other.fd, -1);
        return *this;
    }
    int get() const { return fd; }
    // Closes now, for the error that a close of a written file can report.
    int Close() {
        int result = fd >= 0 ? close(fd) : 0;
        fd = -1;
        return result;
    }

private:
    int fd = -1;
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens the folder `relative` below `root` one name at a time: a link in place of a folder
// fails with ELOOP (or ENOTDIR). Creates the missing folders when `create` is set.
int OpenFolder(int root, const fs::path& relative, bool create, Fd& folder) {
    folder = Fd(openat(root, ".", kFolderFlags));
    if (folder.get() < 0) return errno;
    for (const fs::path& name : relative) {
        int next = openat(folder.get(), name.c_str(), kFolderFlags);
        if (next < 0 && errno == ENOENT && create) {
            if (mkdirat(folder.get(), name.c_str(), 0777) != 0 && errno != EEXIST) return errno;
            next = openat(folder.get(), name.c_str(), kFolderFlags);
        }
        if (next < 0) return errno;
        folder = Fd(next);
    }
    return 0;
}

int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

int CopyContent(int from, int to) {
    thread_local std::vector<char> buffer(size_t{1} << 17);
    for (;;) {
        ssize_t got = read(from, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        if (int error = WriteAll(to, buffer.data(), static_cast<size_t>(got))) return error;
    }
}

int CopyLink(int sourceFolder, int targetFolder, const char* name) {
    std::string text(256, '\0');
    for (;;) {
        ssize_t length = readlinkat(sourceFolder, name, text.data(), text.size());
        if (length < 0) return errno;
        if (static_cast<size_t>(length) < text.size()) {
            text.resize(static_cast<size_t>(length));
            break;
        }
        text.resize(text.size() * 2);
    }
    unlinkat(targetFolder, name, 0);  // left by an interrupted run; a link goes, not its target
    return symlinkat(text.c_str(), targetFolder, name) == 0 ? 0 : errno;
}

int CopyFile(int sourceFolder, int targetFolder, const std::string& name) {
    // O_NOFOLLOW refuses a link (it is copied as a link); O_NONBLOCK makes a pipe swapped in
    // after the scan fail below instead of waiting for a writer.
    Fd from(openat(sourceFolder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (from.get() < 0) {
        return errno == ELOOP ? CopyLink(sourceFolder, targetFolder, name.c_str()) : errno;
    }
    struct stat status {};
    if (fstat(from.get(), &status) != 0) return errno;
    if (!S_ISREG(status.st_mode)) return ENOTSUP;
    std::string part = name + kPartSuffix;
    constexpr int kPartFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Fd to(openat(targetFolder, part.c_str(), kPartFlags, 0600));
    if (to.get() < 0 && errno == EEXIST) {  // left by an interrupted run
        unlinkat(targetFolder, part.c_str(), 0);
        to = Fd(openat(targetFolder, part.c_str(), kPartFlags, 0600));
    }
    if (to.get() < 0) return errno;
    int error = CopyContent(from.get(), to.get());
    if (error == 0 && fchmod(to.get(), status.st_mode & 07777) != 0) error = errno;
    const timespec times[2] = {{0, UTIME_OMIT}, status.st_mtim};
    if (error == 0 && futimens(to.get(), times) != 0) error = errno;
    if (to.Close() != 0 && error == 0) error = errno;
    // The rename replaces a link of that name; it never writes through it.
    if (error == 0 && renameat(targetFolder, part.c_str(), targetFolder, name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) unlinkat(targetFolder, part.c_str(), 0);
    return error;
}

// The folders of the last file a thread copied: the files of one folder follow each other, and
// walking down from SOURCE and TARGET again for each cost more system calls than the copy. The
// open folders are the ones checked on the way down; a link put in place of one since is never
// followed, since the copy goes on in the folder itself.
struct FolderPair {
    unsigned long long run = 0;
    fs::path relative;
    Fd source;
    Fd target;
};
thread_local FolderPair lastFolders;
std::atomic<unsigned long long> runs{0};
}  // namespace

CopyFolders::CopyFolders(const fs::path& source, const fs::path& target) : handles(new Handles) {
    handles->run = ++runs;
    // SOURCE and TARGET themselves are the user's choice, links or not; below them none is
    // followed.
    handles->source = open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handles->source < 0) throw CannotOpen("SOURCE", source, errno);
    std::error_code ignored;
    fs::create_directories(target, ignored);
    handles->target = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handles->target < 0) throw CannotOpen("TARGET", target, errno);
}

CopyFolders::~CopyFolders() = default;

int CopyFolders::Copy(const fs::path& relative, bool folder) const {
    if (folder) {
        Fd targetFolder;
        return OpenFolder(handles->target, relative, true, targetFolder);
    }
    if (relative.empty()) return EINVAL;
    FolderPair& last = lastFolders;
    fs::path parent = relative.parent_path();
    if (last.run != handles->run || last.relative != parent) {
        last.run = 0;
        // SOURCE's folders first, so that a refused source creates nothing in TARGET.
        if (int error = OpenFolder(handles->source, parent, false, last.source)) return error;
        if (int error = OpenFolder(handles->target, parent, true, last.target)) return error;
        last.run = handles->run;
        last.relative = std::move(parent);
    }
    return CopyFile(last.source.get(), last.target.get(), relative.filename().native());
}

void CopyFolders::Sync() const {
#if defined(__linux__)
    if (syncfs(handles->target) != 0) {
        throw ToolError(kExitFailure, "cannot write the copies in TARGET to disk: " +
                                          std::system_category().message(errno));
    }
#else
    sync();
#endif
}

#endif

}  // namespace transferdb

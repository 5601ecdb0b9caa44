// The copy on POSIX: every folder opened relative to the one above it with O_NOFOLLOW, the
// content copied by copy_file_range where the kernel has it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "Files.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
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
// A folder is made open to its owner alone; it gets its source's bits once it is filled.
constexpr mode_t kFolderWhileFilled = 0700;
// Bytes per copy_file_range call: a large file takes several, each a range the kernel can copy
// or share on its own.
constexpr size_t kCopyChunk = size_t{64} << 20;

ToolError CannotOpen(const char* what, const fs::path& folder, int error) {
    return ToolError(kExitFailure, std::string("cannot open ") + what + " " + Printable(folder) +
                                       ": " + std::system_category().message(error));
}

// Opens the folder `relative` below `root` one name at a time: a link in place of a folder
// fails with ELOOP (or ENOTDIR). Creates the missing folders when `create` is set.
int OpenFolder(int root, const fs::path& relative, bool create, Fd& folder) {
    folder = Fd(openat(root, ".", kFolderFlags));
    if (folder.get() < 0) return errno;
    for (const fs::path& name : relative) {
        int next = openat(folder.get(), name.c_str(), kFolderFlags);
        if (next < 0 && errno == ENOENT && create) {
            if (mkdirat(folder.get(), name.c_str(), kFolderWhileFilled) != 0 && errno != EEXIST) {
                return errno;
            }
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

// Copies from the files' current offsets to the end of `from`, adding the bytes to `copied`.
// The kernel's copy first (it shares the blocks on file systems that can, and moves no byte
// through this process); read and write where it refuses: another file system on an older
// kernel, a file system without it, or a system that forbids the call.
int CopyContent(int from, int to, long long& copied) {
#if defined(__linux__)
    for (;;) {
        ssize_t got = copy_file_range(from, nullptr, to, nullptr, kCopyChunk, 0);
        if (got > 0) {
            copied += got;
            continue;
        }
        // 0 is the end, but for files whose size the kernel does not know beforehand it can
        // come first; read and write settle which.
        if (got == 0 && copied > 0) return 0;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != ENOSYS && errno != EXDEV && errno != EOPNOTSUPP &&
            errno != EINVAL && errno != EPERM && errno != EBADF) {
            return errno;
        }
        break;
    }
#endif
    thread_local std::vector<char> buffer(size_t{1} << 17);
    for (;;) {
        ssize_t got = read(from, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        if (int error = WriteAll(to, buffer.data(), static_cast<size_t>(got))) return error;
        copied += got;
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

bool SameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// One copy of the file `name` under its temporary name, renamed into place when it is whole.
// `changed` is set, and nothing is left in TARGET, when the source's size, modification time or
// identity moved while it was read, or the bytes read are not its size.
int CopyOnce(int sourceFolder, int targetFolder, const char* name, bool& changed) {
    changed = false;
    // O_NOFOLLOW refuses a link (it is copied as a link); O_NONBLOCK makes a pipe swapped in
    // after the scan fail below instead of waiting for a writer.
    Fd from(openat(sourceFolder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (from.get() < 0) return errno == ELOOP ? CopyLink(sourceFolder, targetFolder, name) : errno;
    struct stat before {};
    if (fstat(from.get(), &before) != 0) return errno;
    if (!S_ISREG(before.st_mode)) return ENOTSUP;
    const std::string part = TemporaryName(name).native();
    constexpr int kPartFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Fd to(openat(targetFolder, part.c_str(), kPartFlags, 0600));
    if (to.get() < 0 && errno == EEXIST) {  // left by an interrupted run
        unlinkat(targetFolder, part.c_str(), 0);
        to = Fd(openat(targetFolder, part.c_str(), kPartFlags, 0600));
    }
    if (to.get() < 0) return errno;
    long long copied = 0;
    int error = CopyContent(from.get(), to.get(), copied);
    struct stat after {
    }, named{};
    if (error == 0 && (fstat(from.get(), &after) != 0 ||
                       fstatat(sourceFolder, name, &named, AT_SYMLINK_NOFOLLOW) != 0)) {
        error = errno;
    }
    changed = error == 0 && (copied != before.st_size || !SameVersion(before, after) ||
                             !SameVersion(before, named));
    if (error == 0 && !changed && fchmod(to.get(), before.st_mode & 07777) != 0) error = errno;
    const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
    if (error == 0 && !changed && futimens(to.get(), times) != 0) error = errno;
    if (to.Close() != 0 && error == 0) error = errno;
    // The rename replaces a link of that name; it never writes through it.
    if (error == 0 && !changed && renameat(targetFolder, part.c_str(), targetFolder, name) != 0) {
        error = errno;
    }
    if (error != 0 || changed) unlinkat(targetFolder, part.c_str(), 0);
    return error;
}

int CopyFileIn(int sourceFolder, int targetFolder, const char* name) {
    bool changed = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int error = CopyOnce(sourceFolder, targetFolder, name, changed);
        if (!changed) return error;
    }
    return kChangedWhileCopied;
}

// The same modification time, or the source's cut to the coarser clock of the target's file
// system (100 ns, 1 us, 1 ms, 1 s).
bool SameTime(const timespec& source, const timespec& copy) {
    if (source.tv_sec != copy.tv_sec) return false;
    for (long unit : {1L, 100L, 1000L, 1000000L, 1000000000L}) {
        if (copy.tv_nsec == source.tv_nsec - source.tv_nsec % unit) return true;
    }
    return false;
}

// Reads `from` and `copy` to their ends side by side; kContent at the first byte that differs.
Comparison CompareContent(int from, int copy, std::atomic<long long>& bytes) {
    constexpr size_t kChunk = size_t{1} << 20;
    thread_local std::vector<char> left(kChunk), right(kChunk);
    posix_fadvise(from, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(copy, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        ssize_t got = read(from, left.data(), kChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return {Difference::kUnreadable, errno};
        size_t have = 0;  // of the copy, as many bytes as the source gave
        while (have < static_cast<size_t>(got)) {
            ssize_t more = read(copy, right.data() + have, static_cast<size_t>(got) - have);
            if (more < 0 && errno == EINTR) continue;
            if (more < 0) return {Difference::kUnreadable, errno};
            if (more == 0) return {Difference::kSize, 0};  // shorter than it said
            have += static_cast<size_t>(more);
        }
        bytes += got;
        if (got == 0) {
            char extra;
            ssize_t beyond;
            while ((beyond = read(copy, &extra, 1)) < 0 && errno == EINTR) {
            }
            return {beyond == 0 ? Difference::kSame : Difference::kSize, 0};
        }
        if (std::memcmp(left.data(), right.data(), have) != 0) return {Difference::kContent, 0};
    }
}

// The entry `name` of two open folders compared; `targetError` when TARGET's folder could not
// be entered.
Comparison CompareIn(int sourceFolder, int targetFolder, int targetError, const char* name,
                     std::atomic<long long>& bytes) {
    Comparison result;
    auto found = [&result](Difference difference, int error = 0) {
        result.difference = difference;
        result.error = error;
        return result;
    };
    struct stat source {
    }, copy{};
    if (fstatat(sourceFolder, name, &source, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? found(Difference::kSourceGone)
                               : found(Difference::kUnreadable, errno);
    }
    result.folder = S_ISDIR(source.st_mode);
    if (S_ISREG(source.st_mode)) result.size = source.st_size;
    if (targetError == 0 && fstatat(targetFolder, name, &copy, AT_SYMLINK_NOFOLLOW) != 0) {
        targetError = errno;
    }
    if (targetError == ENOENT) return found(Difference::kMissing);
    if (targetError != 0) return found(Difference::kUnreadable, targetError);
    if ((source.st_mode & S_IFMT) != (copy.st_mode & S_IFMT)) return found(Difference::kKind);
    if (S_ISDIR(source.st_mode)) return found(Difference::kSame);
    if (S_ISLNK(source.st_mode)) {
        std::string texts[2];
        const int folders[2] = {sourceFolder, targetFolder};
        for (int k = 0; k < 2; ++k) {
            texts[k].resize(static_cast<size_t>(source.st_size) + 2);
            ssize_t length = readlinkat(folders[k], name, texts[k].data(), texts[k].size());
            if (length < 0) return found(Difference::kUnreadable, errno);
            texts[k].resize(static_cast<size_t>(length));
        }
        return found(texts[0] == texts[1] ? Difference::kSame : Difference::kContent);
    }
    if (!S_ISREG(source.st_mode)) return found(Difference::kUnreadable, ENOTSUP);
    if (source.st_size != copy.st_size) return found(Difference::kSize);
    if (!SameTime(source.st_mtim, copy.st_mtim)) return found(Difference::kTime);
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Fd from(openat(sourceFolder, name, kFlags));
    if (from.get() < 0) return found(Difference::kUnreadable, errno);
    Fd to(openat(targetFolder, name, kFlags));
    if (to.get() < 0) return found(Difference::kUnreadable, errno);
    const Comparison content = CompareContent(from.get(), to.get(), bytes);
    return found(content.difference, content.error);
}

// The folders of the last file a thread copied: the files of one folder follow each other, and
// walking down from SOURCE and TARGET again for each cost more system calls than the copy. The
// open folders are the ones checked on the way down; a link put in place of one since is never
// followed, since the copy goes on in the folder itself.
struct LastFolders {
    unsigned long long run = 0;
    fs::path relative;
    Fd source;
    Fd target;
};
thread_local LastFolders lastFolders;
std::atomic<unsigned long long> runs{0};
}  // namespace

struct SourceAndTarget::Handles {
    Fd source;
    Fd target;
    unsigned long long run = 0;  // tells this object's folders from an earlier one's
};

SourceAndTarget::SourceAndTarget(const fs::path& source, const fs::path& target)
    : handles(new Handles) {
    handles->run = ++runs;
    // SOURCE and TARGET themselves are the user's choice, links or not; below them none is
    // followed.
    handles->source = Fd(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handles->source.get() < 0) throw CannotOpen("SOURCE", source, errno);
    if (mkdir(target.c_str(), kFolderWhileFilled) != 0 && errno == ENOENT) {
        std::error_code ignored;
        fs::create_directories(target.parent_path(), ignored);
        mkdir(target.c_str(), kFolderWhileFilled);
    }
    handles->target = Fd(open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handles->target.get() < 0) throw CannotOpen("TARGET", target, errno);
}

SourceAndTarget::~SourceAndTarget() = default;

int SourceAndTarget::CopyFile(const fs::path& folder, const fs::path& name) const {
    if (name.empty()) return EINVAL;
    LastFolders& last = lastFolders;
    if (last.run != handles->run || last.relative != folder) {
        last.run = 0;
        // SOURCE's folders first, so that a refused source creates nothing in TARGET.
        if (int error = OpenFolder(handles->source.get(), folder, false, last.source)) return error;
        if (int error = OpenFolder(handles->target.get(), folder, true, last.target)) return error;
        last.run = handles->run;
        last.relative = folder;
    }
    return CopyFileIn(last.source.get(), last.target.get(), name.c_str());
}

Comparison SourceAndTarget::Compare(const fs::path& relative, std::atomic<long long>& bytes) const {
    // The folders of the last entry compared, kept as a copy keeps them; none is created.
    struct Folders {
        unsigned long long run = 0;
        fs::path relative;
        Fd source;
        Fd target;
        int targetError = 0;
    };
    thread_local Folders last;
    if (!relative.has_filename()) return {};  // SOURCE and TARGET themselves, both open
    const fs::path folder = relative.parent_path();
    if (last.run != handles->run || last.relative != folder) {
        last.run = 0;
        if (int error = OpenFolder(handles->source.get(), folder, false, last.source)) {
            Comparison gone;
            gone.difference = error == ENOENT ? Difference::kSourceGone : Difference::kUnreadable;
            gone.error = error == ENOENT ? 0 : error;
            return gone;
        }
        last.targetError = OpenFolder(handles->target.get(), folder, false, last.target);
        last.run = handles->run;
        last.relative = folder;
    }
    return CompareIn(last.source.get(), last.target.get(), last.targetError,
                     relative.filename().c_str(), bytes);
}

void SourceAndTarget::RemoveTemporary(const fs::path& relative) const {
    Fd folder;
    if (OpenFolder(handles->target.get(), relative.parent_path(), false, folder) != 0) return;
    unlinkat(folder.get(), TemporaryName(relative.filename()).c_str(), 0);
}

int SourceAndTarget::MakeFolder(const fs::path& relative) const {
    Fd folder;
    return OpenFolder(handles->target.get(), relative, true, folder);
}

int SourceAndTarget::FinishFolder(const fs::path& relative) const {
    Fd source, target;
    // A folder none of whose entries arrived has nothing to finish.
    if (int error = OpenFolder(handles->target.get(), relative, false, target)) {
        return error == ENOENT ? 0 : error;
    }
    if (int error = OpenFolder(handles->source.get(), relative, false, source)) return error;
    struct stat status {};
    if (fstat(source.get(), &status) != 0) return errno;
    const timespec times[2] = {status.st_atim, status.st_mtim};
    if (fchmod(target.get(), status.st_mode & 07777) != 0) return errno;
    return futimens(target.get(), times) == 0 ? 0 : errno;
}

void SourceAndTarget::Sync() const {
#if defined(__linux__)
    if (syncfs(handles->target.get()) != 0) {
        throw ToolError(kExitFailure, "cannot write the copies in TARGET to disk: " +
                                          std::system_category().message(errno));
    }
#else
    sync();
#endif
}

}  // namespace transferdb

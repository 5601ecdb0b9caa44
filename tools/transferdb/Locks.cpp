#include "Locks.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "Console.h"
#include "Library.h"
#include "Text.h"
#include "Tool.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace transferdb {
namespace {
fs::path LockFilePath() { return MigrationDatabaseFile().parent_path() / "transferdb.lock"; }

[[noreturn]] void Fail(const char* what, int error) {
    throw ToolError(kExitFailure, std::string("cannot ") + what + " " + Show(LockFilePath()) +
                                      ": " + std::system_category().message(error));
}
}  // namespace

LockFile& LockFile::Get() {
    static LockFile file;
    return file;
}

bool LockFile::TryLock(long long byte, bool exclusive) { return Set(byte, exclusive, false); }

void LockFile::Lock(long long byte, bool exclusive, const std::string& waitingFor) {
    if (Set(byte, exclusive, false)) return;
    Console::Get().Note("transferdb: waiting for " + waitingFor);
    Set(byte, exclusive, true);
}

#if defined(_WIN32)

LockFile::LockFile() {
    std::error_code ignored;
    fs::create_directories(LockFilePath().parent_path(), ignored);
    handle = CreateFileW(LockFilePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) Fail("open", static_cast<int>(GetLastError()));
}

bool LockFile::Set(long long byte, bool exclusive, bool wait) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(byte);
    at.OffsetHigh = static_cast<DWORD>(byte >> 32);
    DWORD flags =
        (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(handle, flags, 0, 1, 0, &at)) return true;
    DWORD error = GetLastError();
    if (!wait && (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)) return false;
    Fail("lock", static_cast<int>(error));
}

void LockFile::Unlock(long long byte) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(byte);
    at.OffsetHigh = static_cast<DWORD>(byte >> 32);
    UnlockFileEx(handle, 0, 1, 0, &at);
}

#else

LockFile::LockFile() {
    std::error_code ignored;
    fs::create_directories(LockFilePath().parent_path(), ignored);
    fd = open(LockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) Fail("open", errno);
}

bool LockFile::Set(long long byte, bool exclusive, bool wait) {
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(byte);
    lock.l_len = 1;
#if defined(F_OFD_SETLK)
    // Locks of the open file, not of the process, as on Windows.
    const int command = wait ? F_OFD_SETLKW : F_OFD_SETLK;
#else
    const int command = wait ? F_SETLKW : F_SETLK;
#endif
    while (fcntl(fd, command, &lock) != 0) {
        if (errno == EINTR) continue;
        if (!wait && (errno == EAGAIN || errno == EACCES)) return false;
        Fail("lock", errno);
    }
    return true;
}

void LockFile::Unlock(long long byte) {
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(byte);
    lock.l_len = 1;
#if defined(F_OFD_SETLK)
    fcntl(fd, F_OFD_SETLK, &lock);
#else
    fcntl(fd, F_SETLK, &lock);
#endif
}

#endif

}  // namespace transferdb

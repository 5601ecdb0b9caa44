#include "Locks.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

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
std::chrono::seconds waitLimit{60};

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

void LockFile::WaitAtMost(int seconds) { waitLimit = std::chrono::seconds(seconds); }

void LockFile::Lock(long long byte, bool exclusive, const std::string& waitingFor) {
    if (TryLock(byte, exclusive)) return;
    Console::Get().Note("transferdb: waiting for " + waitingFor);
    // Tried again and again rather than waited for in the system, so that the wait has an end.
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + waitLimit;
    std::chrono::milliseconds pause = 10ms;
    while (!TryLock(byte, exclusive)) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= 0s) {
            throw ToolError(kExitFailure,
                            "gave up after " + std::to_string(waitLimit.count()) +
                                " s waiting for " + waitingFor + ": it holds " +
                                Show(LockFilePath()) +
                                " (a stopped process holds it until it ends; --wait SECONDS "
                                "waits longer)");
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, left));
        pause = std::min(pause * 2, std::chrono::milliseconds(200));
    }
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

bool LockFile::TryLock(long long byte, bool exclusive) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(byte);
    at.OffsetHigh = static_cast<DWORD>(byte >> 32);
    DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(handle, flags, 0, 1, 0, &at)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
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

bool LockFile::TryLock(long long byte, bool exclusive) {
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(byte);
    lock.l_len = 1;
#if defined(F_OFD_SETLK)
    // Locks of the open file, not of the process, as on Windows.
    const int command = F_OFD_SETLK;
#else
    const int command = F_SETLK;
#endif
    while (fcntl(fd, command, &lock) != 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return false;
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

// The lock file on Windows: LockFileEx on byte ranges of one handle.
#include <windows.h>

#include <filesystem>
#include <system_error>

#include "Locks.h"

namespace fs = std::filesystem;

namespace transferdb {

LockFile::LockFile() {
    std::error_code ignored;
    fs::create_directories(Path().parent_path(), ignored);
    handle = CreateFileW(Path().c_str(), GENERIC_READ | GENERIC_WRITE,
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

}  // namespace transferdb

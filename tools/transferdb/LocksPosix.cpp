// The lock file on POSIX: open-file-description locks where the system has them.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "Locks.h"

namespace fs = std::filesystem;

namespace transferdb {

LockFile::LockFile() {
    std::error_code ignored;
    fs::create_directories(Path().parent_path(), ignored);
    fd = open(Path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
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

}  // namespace transferdb

// Counts the process's fsync and fdatasync calls: the durability a side pays for shows as
// syncs per call, and two sides at the same synchronous level sync alike. Defined here, these
// take the calls of the baselines' SQLite (linked into this program) and, exported to the
// dynamic symbol table, those of the library's own SQLite inside its shared library too.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "Harness.h"

namespace {
std::atomic<size_t> syncCalls{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    syncCalls.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
    syncCalls.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

size_t bench::SyncCalls() { return syncCalls.load(std::memory_order_relaxed); }

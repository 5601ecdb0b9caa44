// The lock file beside the migration database, through which runs of this tool in several
// processes keep out of each other's way:
// - a migration or resume holds kRunning shared for its whole run; prune and clean take it
//   exclusively or refuse, and a run prunes the history at its end only when it can take it;
// - a task is created and its id read under kCreate, so that two runs cannot take one id;
// - a task being copied holds its own byte, so that a resume leaves a running task alone.
// The locks are the system's (POSIX open-file-description locks, Windows LockFileEx): a run
// that ends, however it ends, releases them.
#pragma once

#include <filesystem>
#include <string>

namespace transferdb {

class LockFile {
public:
    enum Byte : long long { kRunning = 0, kCreate = 1, kFirstTask = 1024 };
    static long long Task(int taskId) { return kFirstTask + taskId; }

    // The lock file of the data folder this process uses, opened (and created) on first use.
    static LockFile& Get();

    // Takes the byte when no other process holds it; never waits.
    bool TryLock(long long byte, bool exclusive);
    // Waits for the byte; says once on stderr what it waits for, when it has to. A process that
    // was stopped holds its locks until it ends: after WaitAtMost seconds this throws ToolError.
    void Lock(long long byte, bool exclusive, const std::string& waitingFor);
    void Unlock(long long byte);

    // How long Lock waits for another process (--wait); a minute unless set.
    static void WaitAtMost(int seconds);

private:
    LockFile();
    static std::filesystem::path Path();
    [[noreturn]] static void Fail(const char* what, int error);
#if defined(_WIN32)
    void* handle;
#else
    int fd;
#endif
};

}  // namespace transferdb

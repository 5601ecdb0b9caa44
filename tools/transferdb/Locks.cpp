#include "Locks.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "Console.h"
#include "Library.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
std::chrono::seconds waitLimit{60};
}  // namespace

fs::path LockFile::Path() { return MigrationDatabaseFile().parent_path() / "transferdb.lock"; }

void LockFile::Fail(const char* what, int error) {
    throw ToolError(kExitFailure, std::string("cannot ") + what + " " + Printable(Path()) + ": " +
                                      std::system_category().message(error));
}

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
                                " s waiting for " + waitingFor + ": it holds " + Printable(Path()) +
                                " (a stopped process holds it until it ends; --wait SECONDS "
                                "waits longer)");
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, left));
        pause = std::min(pause * 2, std::chrono::milliseconds(200));
    }
}

}  // namespace transferdb

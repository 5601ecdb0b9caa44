#include "Locks.h"

#include <filesystem>
#include <system_error>

#include "Console.h"
#include "Library.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {

fs::path LockFile::Path() { return MigrationDatabaseFile().parent_path() / "transferdb.lock"; }

void LockFile::Fail(const char* what, int error) {
    throw ToolError(kExitFailure, std::string("cannot ") + what + " " + Show(Path()) + ": " +
                                      std::system_category().message(error));
}

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

}  // namespace transferdb

#include "Library.h"

#include <atomic>
#include <system_error>

#include "Console.h"
#include "DatabaseFile.h"
#include "DataBaseManager.h"
#include "Text.h"
#include "Tool.h"
#include "VtLogger.h"

namespace fs = std::filesystem;

namespace transferdb {
namespace {
std::atomic<int> libraryErrors{0};
}  // namespace

void UseDataFolder(const std::string& folder, bool create) {
    if (folder.empty()) return;
    std::error_code error;
    fs::path path = fs::absolute(PathFromArgument(folder), error).lexically_normal();
    if (error) throw ToolError(kExitUsage, "--data-dir " + folder + ": " + error.message());
    UseFolderAsDataFolder(path, create);
}

fs::path MigrationDatabaseFile() {
    return MachineDataFolder() / "Voded" / "Corvanel" / "corvanel.db";
}

void RequireDatabase() {
    fs::path file = MigrationDatabaseFile();
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        throw ToolError(kExitFailure, "no migration database at " + Printable(file) +
                                          " (nothing has been migrated with this data folder;"
                                          " see --data-dir)");
    }
}

DataBaseManager& Library() {
    static DataBaseManager* manager = [] {
        // What the library would read endlessly is refused first, with the tool's own SQLite,
        // closed again before the library opens the file.
        std::error_code error;
        if (fs::exists(MigrationDatabaseFile(), error)) {
            DatabaseReader reader;
            RequireLibraryLayout(reader);
        }
        // Installed before the start-up, so that its failures are shown too.
        VtLogger::GetInstance()->SetSink([](LOG_MESSAGE_LEVEL level, const std::wstring& line) {
            if (level < LOG_LEVEL_ERROR) return;
            ++libraryErrors;
            Console::Get().Note("transferdb: library error: " + Utf8(line));
        });
        return DataBaseManager::GetInstance();
    }();
    return *manager;
}

int LibraryErrors() { return libraryErrors.load(); }

}  // namespace transferdb

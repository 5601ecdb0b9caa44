#include "Library.h"

#include <atomic>
#include <cstdlib>
#include <system_error>

#include "Console.h"
#include "DatabaseFile.h"
#include "DataBaseManager.h"
#include "Text.h"
#include "Tool.h"
#include "VtLogger.h"

#if defined(_WIN32)
#include <shlobj.h>
#endif

namespace fs = std::filesystem;

namespace transferdb {
namespace {
std::atomic<int> libraryErrors{0};

// The all-users application-data folder as the library finds it.
fs::path MachineDataFolder() {
#if defined(_WIN32)
    wchar_t folder[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) < 0) {
        throw ToolError(kExitFailure, "cannot find the all-users application-data folder");
    }
    return fs::path(folder);
#else
    const char* folder = std::getenv("PROGRAMDATA");
    return (folder != nullptr && *folder != '\0') ? fs::path(folder) : fs::path("/var/lib");
#endif
}
}  // namespace

void UseDataFolder(const std::string& folder, bool create) {
    if (folder.empty()) return;
    std::error_code error;
    fs::path path = fs::absolute(PathFromArgument(folder), error).lexically_normal();
    if (error) throw ToolError(kExitUsage, "--data-dir " + folder + ": " + error.message());
#if defined(_WIN32)
    (void)create;
    fs::path machine = MachineDataFolder();
    if (!fs::equivalent(path, machine, error)) {
        throw ToolError(kExitUsage,
                        "--data-dir: on Windows the library always keeps its database in the "
                        "all-users application-data folder, " +
                            Show(machine) + "; no other folder can be chosen");
    }
#else
    if (create && !fs::is_directory(path)) {
        fs::create_directories(path, error);
        if (error) throw ToolError(kExitUsage, "--data-dir " + Show(path) + ": " + error.message());
    }
    setenv("PROGRAMDATA", path.c_str(), 1);
#endif
}

fs::path MigrationDatabaseFile() {
    return MachineDataFolder() / "Voded" / "Corvanel" / "corvanel.db";
}

void RequireDatabase() {
    fs::path file = MigrationDatabaseFile();
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        throw ToolError(kExitFailure, "no migration database at " + Show(file) +
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
            Console::Get().Note("transferdb: library error: " + ToUtf8(line));
        });
        return DataBaseManager::GetInstance();
    }();
    return *manager;
}

int LibraryErrors() { return libraryErrors.load(); }

}  // namespace transferdb

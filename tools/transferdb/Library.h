// The library as this tool uses it: where it keeps its database, and its one manager.
#pragma once

#include <filesystem>
#include <string>

class DataBaseManager;

namespace transferdb {

// Points the library at `folder` (UTF-8; empty for the platform's own folder) for this process.
// Must run before the manager starts. On POSIX it sets PROGRAMDATA, creating the folder when
// `create` is set; on Windows the library always uses the all-users application-data folder,
// so only that folder is accepted.
void UseDataFolder(const std::string& folder, bool create);

// The all-users application-data folder as the library of this process finds it.
std::filesystem::path MachineDataFolder();
// UseDataFolder's part that differs by platform, given an absolute, normal path.
void UseFolderAsDataFolder(const std::filesystem::path& folder, bool create);

// The migration database that the library of this process uses.
std::filesystem::path MigrationDatabaseFile();

// Throws when the migration database does not exist, so that reading it does not create it.
void RequireDatabase();

// The manager, started on first use, once the database's layout has passed
// RequireLibraryLayout. Its error lines are shown on stderr and counted.
DataBaseManager& Library();
int LibraryErrors();

}  // namespace transferdb

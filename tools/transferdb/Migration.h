// The main job: a real local migration of a folder, recorded by the library as the host
// application records a migration to a new PC, and its resume after an interruption.
#pragma once

#include <filesystem>
#include <string>

namespace transferdb {

struct MigrationOptions {
    std::string source;  // UTF-8, as given on the command line
    std::string target;
    int failEvery = 0;  // every Nth file fails on purpose; 0: none
    int stopAfter = 0;  // ends the process after N files as a crash would; 0: never
    int workers = 4;
};

// SOURCE and TARGET as a run uses them: absolute, without a trailing separator, and also as the
// library's text. Throws ToolError (kExitUsage) when SOURCE is not a folder, TARGET is not one
// (nor missing, unless `targetExists` is asked for) or the two lie inside each other.
struct MigrationFolders {
    std::filesystem::path source;
    std::filesystem::path target;
    std::wstring sourceText;
    std::wstring targetText;
};
MigrationFolders FoldersFromArguments(const std::string& source, const std::string& target,
                                      bool targetExists = false);

// Throws ToolError (kExitUsage) unless `recorded`, a task's new PC, names TARGET.
void RequireRecordedTarget(int taskId, const std::wstring& recorded,
                           const MigrationFolders& folders);

// Both return the exit code: kExitOk, or kExitFilesFailed when some files failed.
int Migrate(const MigrationOptions& options);
int Resume(const MigrationOptions& options);

}  // namespace transferdb

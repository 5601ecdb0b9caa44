// The main job: a real local migration of a folder, recorded by the library as the host
// application records a migration to a new PC, and its resume after an interruption.
#pragma once

#include <string>

namespace transferdb {

struct MigrationOptions {
    std::string source;  // UTF-8, as given on the command line
    std::string target;
    int failEvery = 0;  // every Nth file fails on purpose; 0: none
    int stopAfter = 0;  // ends the process after N files as a crash would; 0: never
    int workers = 4;
};

// Both return the exit code: kExitOk, or kExitFilesFailed when some files failed.
int Migrate(const MigrationOptions& options);
int Resume(const MigrationOptions& options);

}  // namespace transferdb

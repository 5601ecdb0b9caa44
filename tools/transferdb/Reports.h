// The support engineers' view of the migration database: what was migrated, what failed, and
// whether the file is sound. Each returns the exit code; --json gives the same content as JSON.
#pragma once

namespace transferdb {

int ShowHistory(bool json);
int ShowTask(int taskId, bool json);
int ShowFailures(int taskId, bool json);
int PruneHistory();
int CleanHistory();

// Reads the file with the tool's own SQLite, without starting the library, which would bring
// an older layout up to date first.
int CheckDatabase(bool json);

}  // namespace transferdb

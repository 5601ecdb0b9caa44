// The support engineers' view of the migration database: what was migrated, what failed, and
// whether the file is sound. Each returns the exit code; --json gives the same content as JSON.
#pragma once

#include <string>

namespace transferdb {

int ShowHistory(bool json);
int ShowTask(int taskId, bool json);
int ShowFailures(int taskId, bool json);
int PruneHistory();
int CleanHistory();

// Reads the file with the tool's own SQLite, without starting the library, which would bring
// an older layout up to date first.
int CheckDatabase(bool json);

// One self-contained HTML file (`file`, or transferdb-task-TASK.html in the current folder):
// the task, its failures grouped by cause and folder, the newest tasks and the check. Read with
// the tool's own SQLite, like check.
int WriteReport(int taskId, const std::string& file);

}  // namespace transferdb

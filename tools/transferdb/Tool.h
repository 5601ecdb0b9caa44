// What every command of transferdb shares: its exit codes, its error, and how it numbers the
// states it records (the library stores the host application's numbers as they are given).
#pragma once

#include <stdexcept>
#include <string>

namespace transferdb {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,      // no database, unknown task, refused or overtaken, a library error
    kExitUsage = 2,        // a bad argument
    kExitFilesFailed = 3,  // the migration ended, but some files could not be copied
    kExitInterrupted = 4,  // --stop-after ended the run as a crash would
};

// Ends a command with a message for the user and an exit code.
class ToolError : public std::runtime_error {
public:
    ToolError(ExitCode code, const std::string& message)
        : std::runtime_error(message), exitCode(code) {}
    ExitCode exitCode;
};

// A task's status and its file category's state.
constexpr int kTaskRunning = 0;  // also what an interrupted task keeps
constexpr int kTaskFinished = 1;
constexpr int kTaskFinishedWithFailures = 2;
std::string TaskStateText(int status);

// A file row's status once copied; the library marks a failure with 0.
constexpr int kFileCopied = 1;
constexpr int kFileFailed = 0;

// An application's download status and a setting's result.
constexpr int kItemPending = 0;
constexpr int kItemDone = 1;

}  // namespace transferdb

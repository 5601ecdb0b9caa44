// verify: every entry a task recorded as copied compared with its source, and those that differ
// or are missing marked failed in the task, so that a resume copies them again.
#pragma once

#include <string>

namespace transferdb {

struct VerifyOptions {
    std::string source;  // UTF-8, as given on the command line
    std::string target;
    int taskId = 0;  // 0: the newest task
    int workers = 4;
    bool json = false;
};

// kExitOk when every copy is its source, kExitFilesFailed when some differ or are missing.
int Verify(const VerifyOptions& options);

}  // namespace transferdb

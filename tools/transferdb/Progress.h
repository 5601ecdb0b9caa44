// The progress of a long command as people read it: files and bytes done of the total, the
// share done, the rate and the time left.
#pragma once

#include <string>

namespace transferdb {

struct ProgressFigures {
    long long files = 0;  // done, earlier runs' included
    long long totalFiles = 0;
    long long bytes = 0;
    long long totalBytes = 0;
    long long startFiles = 0;  // done when this run began: not part of its rate
    long long startBytes = 0;
    double seconds = 0;  // since this run began
};

// "1,234 of 5,000 files, 12.3 MB of 40.0 MB (30%), 5.2 MB/s, 0:00:07 left". The share is of
// the bytes (of the files when there are none); the rate and the time left come once a second
// of this run has passed, the time left from this run's share of the files and of the bytes.
std::string ProgressText(const ProgressFigures& figures);

}  // namespace transferdb

#include "Progress.h"

#include <algorithm>
#include <cmath>

#include "Text.h"

namespace transferdb {
namespace {
// This run's share of one measure done, or -1 when it has nothing to do there.
double ShareDone(long long start, long long done, long long total) {
    const long long work = total - start;
    if (work <= 0) return -1;
    return std::clamp(static_cast<double>(done - start) / static_cast<double>(work), 0.0, 1.0);
}
}  // namespace

std::string ProgressText(const ProgressFigures& f) {
    std::string text = Grouped(f.files) + " of " + Grouped(f.totalFiles) + " files, " +
                       FormatSize(f.bytes) + " of " + FormatSize(f.totalBytes);
    const long long part = f.totalBytes > 0 ? f.bytes : f.files;
    const long long whole = f.totalBytes > 0 ? f.totalBytes : f.totalFiles;
    const long long percent = whole > 0 ? std::min<long long>(100, part * 100 / whole) : 100;
    text += " (" + std::to_string(percent) + "%)";
    if (f.seconds < 1) return text;
    const double rate = static_cast<double>(f.bytes - f.startBytes) / f.seconds;
    text += ", " + FormatSize(static_cast<long long>(rate)) + "/s";
    // Many small files take their time per file, large ones per byte: the time left follows
    // the mean of the two shares.
    const double byFiles = ShareDone(f.startFiles, f.files, f.totalFiles);
    const double byBytes = ShareDone(f.startBytes, f.bytes, f.totalBytes);
    const double share = byFiles < 0 ? byBytes : byBytes < 0 ? byFiles : (byFiles + byBytes) / 2;
    if (share > 0) {
        const double left = f.seconds * (1 - share) / share;
        text += ", " + FormatDuration(std::llround(left)) + " left";
    }
    return text;
}

}  // namespace transferdb

// What every benchmark shares: the sizes of this run, the data folders, file snapshots of the
// databases, the paired timing of a library path against its baseline, and memory readings.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// The sizes of one run: the full ones, or small ones for CI (--quick).
struct Sizes {
    bool quick = false;
    size_t smallTree = 100000;  // leaves of the smaller tree
    size_t largeTree = 1000000;
    size_t failures = 10000;       // failures recorded in one batch (in a task of largeTree files)
    size_t perCallFiles = 10000;   // files of the task that the per-call cases work on
    size_t perCallFailures = 100;  // failures of that task, all read by each query
    size_t perCallWrites = 10000;
    size_t perCallReads = 2000;
    size_t poolJobs = 1000000;
    size_t outcomeBatch = 1000;  // outcomes per batch write, as a host records them
    int writerThreads = 8;       // threads of the concurrent per-call writes
    // Library/baseline pairs of a bulk case, and the pairs that the per-call cases split their
    // calls into; even, so that each side goes first equally often.
    int bulkIterations = 6;
    int callIterations = 10;
};
const Sizes& RunSizes();
void SetQuick(bool quick);

// The all-users folder that PROGRAMDATA names for the library, and the baseline's own folder.
// Never the same files: on POSIX, file locks belong to the process, so the library's SQLite and
// the baseline's must not hold one file open at the same time.
std::filesystem::path WorkFolder();
std::filesystem::path LibraryDbFile();
std::filesystem::path LibraryCacheFile();
std::filesystem::path BaselineDbFile();
std::filesystem::path BaselineCacheFile();

// Creates the work folder and points PROGRAMDATA at it; call before the manager starts up.
void PrepareWorkFolder();
void RemoveWorkFolder();

// Copies of a database file taken while nothing holds it open, so that a case starts both sides
// from the very same pages. A snapshot's name says what it holds.
void SaveSnapshot(const std::string& name, const std::filesystem::path& from);
void RestoreSnapshot(const std::string& name, const std::filesystem::path& to);
bool HasSnapshot(const std::string& name);

enum class Side { Library, Baseline };

struct Comparison {
    double rowsPerIteration = 0;
    // Untimed set-up before each timed run of a side (a fresh tree, a restored file).
    std::function<void(Side)> prepare = [](Side) {};
    std::function<void()> library;
    std::function<void()> baseline;
    // Untimed tidy-up after each timed run (freeing a tree outside the clock).
    std::function<void(Side)> finish = [](Side) {};
    // With a unit (e.g. "call" of 1 row), the fsync calls of each side per that many rows, over
    // the counted pairs: "syncs/call" and "base syncs/call".
    const char* syncUnit = nullptr;
    double rowsPerSyncUnit = 1;
};

// Runs the library path and its baseline in turns after one uncounted pair, the order
// alternating, each timed on its own (the library's time is the iteration's manual time). Reports
// medians over the pairs, so that a load spike on the shared machine touches one pair, not the
// result: "rows/s" of the library, "base rows/s", and "ratio", library rows/s over baseline rows/s
// within each pair; "cpu ratio" is the same ratio of the process's CPU time, which the machine's
// other work disturbs far less (and which leaves out time spent waiting for the disk).
void Compare(benchmark::State& state, const Comparison& comparison);

// Compare for a path that the host calls once per item: `calls` calls spread over the case's
// iterations, both sides making the same calls in the same order, numbered from 0 on (the
// uncounted first pair's calls make the numbers run past `calls`). With `syncUnit`, the sides'
// syncs per call.
void ComparePerCall(benchmark::State& state, size_t calls,
                    const std::function<void(size_t)>& library,
                    const std::function<void(size_t)>& baseline, const char* syncUnit = nullptr);

// Marks the case failed unless the library and the baseline left the same result: what `sql`
// reads (one text value) from each side's database file. Opened only after both sides have
// closed theirs.
void ExpectSameResult(benchmark::State& state, const std::filesystem::path& libraryFile,
                      const std::filesystem::path& baselineFile, const std::string& sql);
// The same for results that the cases computed themselves.
void ExpectSameResult(benchmark::State& state, const std::string& library,
                      const std::string& baseline);

// fsync and fdatasync calls of the whole process so far, the library's SQLite's included.
size_t SyncCalls();

// Sends the library's log lines to a sink that drops them (no file writes measured) and counts
// the error lines, so that a case can tell a library that failed quietly.
void SilenceLibraryLog();
size_t LibraryErrors();

// The largest size each of some files reached while this object lived: a thread of its own
// stats them every millisecond (a missing file counts as 0 bytes). A file that grows and goes
// again between two looks is missed.
class PeakFileSizes {
public:
    explicit PeakFileSizes(std::vector<std::filesystem::path> files);
    ~PeakFileSizes();
    PeakFileSizes(const PeakFileSizes&) = delete;
    PeakFileSizes& operator=(const PeakFileSizes&) = delete;
    // The peak of files[i] so far, in bytes.
    uintmax_t Peak(size_t i) const;

private:
    void Sample();

    std::vector<std::filesystem::path> files;
    mutable std::mutex mutex;  // guards peaks
    std::vector<uintmax_t> peaks;
    std::atomic<bool> stop{false};
    std::thread sampler;
};

// The write-ahead log beside a database file.
std::filesystem::path WalFile(const std::filesystem::path& database);

// The process's resident set and its peak (VmRSS, VmHWM), in bytes.
size_t ResidentBytes();
size_t PeakResidentBytes();
// Starts a new peak at the current resident set; false where the kernel does not allow it.
bool ResetPeakResident();
// Hands freed heap back to the system, so that the next peak reading starts low.
void TrimHeap();

}  // namespace bench

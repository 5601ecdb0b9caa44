#include "Harness.h"

#include <malloc.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "ManagerInternals.h"
#include "RawSqlite.h"
#include "VtLogger.h"

namespace fs = std::filesystem;

namespace bench {
namespace {
Sizes& MutableSizes() {
    static Sizes sizes;
    return sizes;
}

std::atomic<size_t> libraryErrors{0};

fs::path& Work() {
    static fs::path folder;
    return folder;
}

fs::path SnapshotFile(const std::string& name) {
    return WorkFolder() / "snapshots" / (name + ".db");
}

fs::path WithSuffix(const fs::path& file, const char* suffix) {
    return fs::path(file.string() + suffix);
}

// The library keeps its connections between operations; before the benchmark's own SQLite, or a
// copy, touches the library's files, it lets them go as at the end of a process (on POSIX two
// copies of SQLite in one process share its file locks).
void LetGoOfLibraryFiles() { DataBaseManager::Internals::CloseIdleConnections(); }

// Copies a database file with its write-ahead log, if one was left; the shared-memory index is
// rebuilt by SQLite from the log.
void CopyDatabase(const fs::path& from, const fs::path& to) {
    LetGoOfLibraryFiles();
    for (const char* suffix : {"-wal", "-shm"}) fs::remove(WithSuffix(to, suffix));
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    if (fs::exists(WithSuffix(from, "-wal"))) {
        fs::copy_file(WithSuffix(from, "-wal"), WithSuffix(to, "-wal"),
                      fs::copy_options::overwrite_existing);
    }
}

size_t StatusKilobytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0) return std::stoul(line.substr(key.size()));
    }
    return 0;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The CPU time of the whole process, workers included: unlike the wall clock, the other work
// on a shared machine hardly moves it.
double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
}  // namespace

const Sizes& RunSizes() { return MutableSizes(); }

void SetQuick(bool quick) {
    Sizes& sizes = MutableSizes();
    sizes = Sizes();
    if (!quick) return;
    sizes.quick = true;
    sizes.smallTree = 10000;
    sizes.largeTree = 20000;
    sizes.failures = 1000;
    sizes.perCallFiles = 2000;
    sizes.perCallFailures = 50;
    sizes.perCallWrites = 200;
    sizes.perCallReads = 200;
    sizes.poolJobs = 50000;
    sizes.bulkIterations = 2;
    sizes.callIterations = 4;
}

fs::path WorkFolder() { return Work(); }
fs::path LibraryDbFile() { return Work() / "programdata" / "Voded" / "Corvanel" / "corvanel.db"; }
fs::path LibraryCacheFile() { return LibraryDbFile().parent_path() / "db_cache" / "doc_Cache.db"; }
// The same layout under another folder: SQLite checks every folder of a path when it opens it.
fs::path BaselineDbFile() { return Work() / "baseline" / "Voded" / "Corvanel" / "corvanel.db"; }
fs::path BaselineCacheFile() {
    return BaselineDbFile().parent_path() / "db_cache" / "doc_Cache.db";
}

void PrepareWorkFolder() {
    std::string pattern = (fs::temp_directory_path() / "database-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
    Work() = pattern;
    fs::create_directories(Work() / "programdata");
    fs::create_directories(Work() / "baseline");
    fs::create_directories(Work() / "snapshots");
    setenv("PROGRAMDATA", (Work() / "programdata").c_str(), 1);
}

void RemoveWorkFolder() {
    std::error_code ignored;
    if (!Work().empty()) fs::remove_all(Work(), ignored);
}

void SaveSnapshot(const std::string& name, const fs::path& from) {
    CopyDatabase(from, SnapshotFile(name));
}

void RestoreSnapshot(const std::string& name, const fs::path& to) {
    CopyDatabase(SnapshotFile(name), to);
}

bool HasSnapshot(const std::string& name) { return fs::exists(SnapshotFile(name)); }

void Compare(benchmark::State& state, const Comparison& comparison) {
    struct Times {
        double wall = 0;
        double cpu = 0;
        size_t syncs = 0;
    };
    auto timed = [&](Side side) {
        comparison.prepare(side);
        Times start{WallSeconds(), CpuSeconds(), SyncCalls()};
        (side == Side::Library ? comparison.library : comparison.baseline)();
        Times took{WallSeconds() - start.wall, CpuSeconds() - start.cpu, SyncCalls() - start.syncs};
        comparison.finish(side);
        return took;
    };
    size_t syncs[2] = {0, 0};
    std::vector<double> wall[2];
    std::vector<double> ratios;
    std::vector<double> cpuRatios;
    // One pair first that nobody counts: the first run after a case's set-up meets cold caches
    // and a heap that has not yet grown to the case's size.
    timed(Side::Library);
    timed(Side::Baseline);
    bool libraryFirst = true;
    for (auto _ : state) {
        Times library;
        Times baseline;
        if (libraryFirst) {
            library = timed(Side::Library);
            baseline = timed(Side::Baseline);
        } else {
            baseline = timed(Side::Baseline);
            library = timed(Side::Library);
        }
        libraryFirst = !libraryFirst;
        state.SetIterationTime(library.wall);
        wall[0].push_back(library.wall);
        wall[1].push_back(baseline.wall);
        syncs[0] += library.syncs;
        syncs[1] += baseline.syncs;
        ratios.push_back(baseline.wall / library.wall);
        cpuRatios.push_back(baseline.cpu / library.cpu);
        if (std::getenv("BENCH_PAIRS") != nullptr) {
            std::fprintf(stderr,
                         "  pair: library %.3f s (cpu %.3f, %zu syncs), baseline %.3f s (cpu "
                         "%.3f, %zu syncs)\n",
                         library.wall, library.cpu, library.syncs, baseline.wall, baseline.cpu,
                         baseline.syncs);
        }
    }
    state.counters["rows/s"] = comparison.rowsPerIteration / Median(wall[0]);
    state.counters["base rows/s"] = comparison.rowsPerIteration / Median(wall[1]);
    state.counters["ratio"] = Median(ratios);
    state.counters["cpu ratio"] = Median(cpuRatios);
    if (comparison.syncUnit != nullptr && !wall[0].empty()) {
        double units = comparison.rowsPerIteration / comparison.rowsPerSyncUnit *
                       static_cast<double>(wall[0].size());
        std::string label = std::string("syncs/") + comparison.syncUnit;
        state.counters[label] = static_cast<double>(syncs[0]) / units;
        state.counters["base " + label] = static_cast<double>(syncs[1]) / units;
    }
}

void ComparePerCall(benchmark::State& state, size_t calls,
                    const std::function<void(size_t)>& library,
                    const std::function<void(size_t)>& baseline, const char* syncUnit) {
    const size_t perIteration = calls / static_cast<size_t>(state.max_iterations);
    size_t next[2] = {0, 0};
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(perIteration);
    comparison.syncUnit = syncUnit;
    comparison.library = [&] {
        for (size_t k = 0; k < perIteration; ++k) library(next[0]++);
    };
    comparison.baseline = [&] {
        for (size_t k = 0; k < perIteration; ++k) baseline(next[1]++);
    };
    Compare(state, comparison);
}

void ExpectSameResult(benchmark::State& state, const std::string& library,
                      const std::string& baseline) {
    if (library != baseline) {
        state.SkipWithError(("library and baseline differ: " + library + " / " + baseline).c_str());
    } else if (raw::FailedSteps() != 0) {
        state.SkipWithError("the baseline had failing steps");
    }
}

void ExpectSameResult(benchmark::State& state, const fs::path& libraryFile,
                      const fs::path& baselineFile, const std::string& sql) {
    LetGoOfLibraryFiles();
    auto read = [&sql](const fs::path& file) {
        raw::Connection db(file, raw::kReadOnly);
        raw::Statement digest(db.get(), sql);
        if (digest.Step() != SQLITE_ROW) return std::string();
        std::wstring text = digest.Text(0);
        return raw::ToUtf8(text.c_str(), text.size());
    };
    ExpectSameResult(state, read(libraryFile), read(baselineFile));
}

void SilenceLibraryLog() {
    VtLogger::GetInstance()->SetSink([](LOG_MESSAGE_LEVEL level, const std::wstring&) {
        if (level == LOG_LEVEL_ERROR) libraryErrors.fetch_add(1, std::memory_order_relaxed);
    });
}

size_t LibraryErrors() { return libraryErrors.load(std::memory_order_relaxed); }

PeakFileSizes::PeakFileSizes(std::vector<fs::path> files)
    : files(std::move(files)), peaks(this->files.size(), 0) {
    sampler = std::thread([this] {
        while (!stop.load()) {
            Sample();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

PeakFileSizes::~PeakFileSizes() {
    stop = true;
    sampler.join();
}

void PeakFileSizes::Sample() {
    for (size_t i = 0; i < files.size(); ++i) {
        std::error_code missing;
        uintmax_t size = fs::file_size(files[i], missing);
        if (missing) continue;
        std::lock_guard<std::mutex> lock(mutex);
        peaks[i] = std::max(peaks[i], size);
    }
}

uintmax_t PeakFileSizes::Peak(size_t i) const {
    std::lock_guard<std::mutex> lock(mutex);
    return peaks[i];
}

fs::path WalFile(const fs::path& database) { return WithSuffix(database, "-wal"); }

size_t ResidentBytes() { return StatusKilobytes("VmRSS:") * 1024; }
size_t PeakResidentBytes() { return StatusKilobytes("VmHWM:") * 1024; }

bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

void TrimHeap() { malloc_trim(0); }

}  // namespace bench

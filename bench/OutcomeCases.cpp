// Each file's outcome as the host records it while it sends: one status write per call, the
// same calls from several threads at once, and outcomes in batches of one transaction, each
// beside the same work done straight with SQLite (the threads beside the library on one).
#include <algorithm>
#include <list>
#include <memory>
#include <thread>

#include "Cases.h"
#include "RawSqlite.h"
#include "Workload.h"

namespace bench {
namespace {
const std::string kUpdateStatusSql =
    "UPDATE TransferFileInfo SET status=?, errCode=? where taskID=? and sendFilePath=?";
const std::string kStatusDigest =
    "SELECT total(status) || ',' || total(errCode) FROM TransferFileInfo";

constexpr int kCopiedStatus = 2;
constexpr double kKilobyte = 1024.0;

void UpdateStatus(raw::Statement& update, const TransferFileInfo& file) {
    update.Bind(1, file.status);
    update.Bind(2, file.errCode);
    update.Bind(3, file.taskId);
    update.Bind(4, file.filePath);
    update.StepWrite();
}

void BaselineUpdateStatusOpenPerCall(const TransferFileInfo& file) {
    raw::Connection db(BaselineDbFile(), raw::kReadWrite);
    raw::Statement update(db.get(), kUpdateStatusSql);
    UpdateStatus(update, file);
}

// File `i` of a task of `files` files, sent.
TransferFileInfo Outcome(size_t i, size_t files) {
    TransferFileInfo file;
    file.taskId = NewestTaskId();
    file.status = kCopiedStatus;
    file.errCode = static_cast<int>(i % 7);
    file.filePath = FileAt(i, files).path;
    return file;
}

// The status writes of the host while it sends, one file after another over the whole task
// but for its failures, each file once. Call `n` writes file n % size(), with another code than
// that file's last call: SQLite skips a write that changes no byte of the row. Calls of one
// file must not overlap; calls of different files may.
class StatusWrites {
public:
    StatusWrites(size_t files, size_t failures) {
        // The snapshot failed every stride-th file from the first on; the others lie between.
        const size_t stride = files / failures;
        const size_t others = failures * (stride - 1);
        for (size_t i = 0; i < others; ++i) {
            size_t other = (i * 7919) % others;
            writes.push_back(Outcome(other + other / (stride - 1) + 1, files));
        }
        written.assign(writes.size(), 0);
    }
    TransferFileInfo& Call(size_t n) {
        size_t file = n % writes.size();
        written[file] = 1;
        writes[file].errCode = (writes[file].errCode + 1) % 7;
        return writes[file];
    }
    // The files written so far, and the sum of the codes they were left with.
    std::string Digest() const {
        size_t files = 0;
        long long codes = 0;
        for (size_t file = 0; file < writes.size(); ++file) {
            if (written[file] == 0) continue;
            ++files;
            codes += writes[file].errCode;
        }
        return std::to_string(files) + "," + std::to_string(codes);
    }

private:
    std::vector<TransferFileInfo> writes;
    std::vector<char> written;  // not bool: threads set different files at once
};

// The per-call write against a baseline that opens and closes per call, as the library does
// today, or against one that keeps one connection and one prepared statement for the whole
// run, each call its own transaction: the open's cost, and how far a held connection gets.
void UpdateTaskFileStatusCase(benchmark::State& state, bool heldConnection) {
    const Sizes& sizes = RunSizes();
    const std::string start = FilesSnapshot(sizes.perCallFiles, sizes.perCallFailures);
    Restore(Side::Library, start);
    Restore(Side::Baseline, start);
    // Each side its own calls, so that both leave the same table.
    StatusWrites library(sizes.perCallFiles, sizes.perCallFailures);
    StatusWrites baseline = library;
    {
        std::unique_ptr<raw::Connection> held;
        std::unique_ptr<raw::Statement> heldUpdate;
        if (heldConnection) {
            held = std::make_unique<raw::Connection>(BaselineDbFile(), raw::kReadWrite);
            heldUpdate = std::make_unique<raw::Statement>(held->get(), kUpdateStatusSql);
        }
        ComparePerCall(
            state, sizes.perCallWrites,
            [&](size_t n) { Manager().UpdateTaskFileStatus(library.Call(n)); },
            [&](size_t n) {
                if (heldUpdate) {
                    UpdateStatus(*heldUpdate, baseline.Call(n));
                } else {
                    BaselineUpdateStatusOpenPerCall(baseline.Call(n));
                }
            },
            "call");
    }
    ExpectSameResult(state, LibraryDbFile(), BaselineDbFile(), kStatusDigest);
}

// What the library's own file list says of the task: how many files were sent, and the sum of
// their codes.
std::string SentDigest() {
    std::list<TransferFileInfo> rows;
    Manager().GetTaskFileInfo(NewestTaskId(), rows);
    long long codes = 0;
    size_t sent = 0;
    for (const TransferFileInfo& row : rows) {
        if (row.status != kCopiedStatus) continue;
        ++sent;
        codes += row.errCode;
    }
    return std::to_string(sent) + "," + std::to_string(codes);
}

// The library's own scaling: the same per-call writes made by `threads` threads at once
// against one thread. Each run's calls write as many different files; the threads take turns
// through them. The "baseline" is the library on a single thread; both sides write the
// library's one file, one after the other.
void ConcurrentWritesCase(benchmark::State& state, int threads) {
    const Sizes& sizes = RunSizes();
    const std::string start = FilesSnapshot(sizes.perCallFiles, sizes.perCallFailures);
    Restore(Side::Library, start);
    StatusWrites writes(sizes.perCallFiles, sizes.perCallFailures);
    const size_t perIteration = sizes.perCallWrites / static_cast<size_t>(state.max_iterations);
    size_t next[2] = {0, 0};
    auto run = [&](size_t& from, int count) {
        const size_t first = from;
        from += perIteration;
        std::vector<std::thread> writers;
        for (int t = 0; t < count; ++t) {
            writers.emplace_back([&, first, t] {
                for (size_t k = static_cast<size_t>(t); k < perIteration;
                     k += static_cast<size_t>(count)) {
                    Manager().UpdateTaskFileStatus(writes.Call(first + k));
                }
            });
        }
        for (std::thread& writer : writers) writer.join();
    };
    const size_t errorsBefore = LibraryErrors();
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(perIteration);
    comparison.syncUnit = "call";
    comparison.library = [&] { run(next[0], threads); };
    comparison.baseline = [&] { run(next[1], 1); };
    Compare(state, comparison);
    if (LibraryErrors() != errorsBefore) {
        state.SkipWithError(
            ("the library logged " + std::to_string(LibraryErrors() - errorsBefore) + " errors")
                .c_str());
        return;
    }
    ExpectSameResult(state, SentDigest(), writes.Digest());
}

// Every file of a task of `files` files sent, in the order the task recorded them, cut into
// batches of `batch` outcomes.
std::vector<std::vector<TransferFileInfo>> OutcomeBatches(size_t files, size_t batch) {
    std::vector<std::vector<TransferFileInfo>> batches;
    for (size_t i = 0; i < files; ++i) {
        if (i % batch == 0) {
            batches.emplace_back();
            batches.back().reserve(std::min(batch, files - i));
        }
        batches.back().push_back(Outcome(i, files));
    }
    return batches;
}

// The outcomes of a whole task of the large tree, written in batches: the library's batch form
// against one connection and one prepared statement held for the run, a transaction per batch,
// each run of either side from the same snapshot. A thread watches both write-ahead logs.
void BatchCase(benchmark::State& state, size_t batch) {
    const Sizes& sizes = RunSizes();
    const size_t files = sizes.largeTree;
    const std::string start = FilesSnapshot(files, files / 100);
    std::vector<std::vector<TransferFileInfo>> batches = OutcomeBatches(files, batch);
    PeakFileSizes wal({WalFile(LibraryDbFile()), WalFile(BaselineDbFile())});
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(files);
    comparison.syncUnit = "batch";
    comparison.rowsPerSyncUnit = static_cast<double>(batch);
    comparison.prepare = [&](Side side) { Restore(side, start); };
    comparison.library = [&] {
        for (std::vector<TransferFileInfo>& outcomes : batches) {
            Manager().UpdateTaskFileStatus(outcomes);
        }
    };
    comparison.baseline = [&] {
        raw::Connection db(BaselineDbFile(), raw::kReadWrite);
        raw::Statement update(db.get(), kUpdateStatusSql);
        for (const std::vector<TransferFileInfo>& outcomes : batches) {
            db.Begin();
            for (const TransferFileInfo& file : outcomes) UpdateStatus(update, file);
            db.Commit();
        }
    };
    Compare(state, comparison);
    state.counters["ms/batch"] = 1000.0 * static_cast<double>(batch) / state.counters["rows/s"];
    state.counters["peak WAL KB"] = static_cast<double>(wal.Peak(0)) / kKilobyte;
    state.counters["base peak WAL KB"] = static_cast<double>(wal.Peak(1)) / kKilobyte;
    ExpectSameResult(state, LibraryDbFile(), BaselineDbFile(), kStatusDigest);
}
}  // namespace

void RegisterOutcomeCases() {
    const Sizes& sizes = RunSizes();
    const std::string writes = std::to_string(sizes.perCallWrites) + "_calls/";
    Register("UpdateTaskFileStatus/" + writes + "vs_open_per_call", sizes.callIterations,
             UpdateTaskFileStatusCase, false);
    Register("UpdateTaskFileStatus/" + writes + "vs_held_connection", sizes.callIterations,
             UpdateTaskFileStatusCase, true);
    Register(
        "UpdateTaskFileStatus/" + writes + std::to_string(sizes.writerThreads) + "_threads_vs_1",
        sizes.callIterations, ConcurrentWritesCase, sizes.writerThreads);
    const std::string outcomes = "/" + std::to_string(sizes.largeTree) + "_outcomes";
    for (size_t batch : {sizes.outcomeBatch, sizes.largeTree}) {
        Register("UpdateTaskFileStatus/batch_of_" + std::to_string(batch) + outcomes,
                 sizes.bulkIterations, BatchCase, batch);
    }
}

}  // namespace bench

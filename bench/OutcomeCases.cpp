// Each file's outcome as the host records it while it sends: one status write per call,
// beside the same work done straight with SQLite.
#include <memory>

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
}  // namespace

void RegisterOutcomeCases() {
    const Sizes& sizes = RunSizes();
    const std::string writes = std::to_string(sizes.perCallWrites) + "_calls/";
    Register("UpdateTaskFileStatus/" + writes + "vs_open_per_call", sizes.callIterations,
             UpdateTaskFileStatusCase, false);
    Register("UpdateTaskFileStatus/" + writes + "vs_held_connection", sizes.callIterations,
             UpdateTaskFileStatusCase, true);
}

}  // namespace bench

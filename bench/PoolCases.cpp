// The worker pool with a million small jobs, against running the same jobs inline on the
// caller's thread: what the queue, its lock and the hand-over cost per job.
#include <cstdint>
#include <numeric>

#include "Cases.h"
#include "FileTreeThreadPool.h"
#include "Harness.h"

namespace bench {
namespace {
// A few nanoseconds of work that the compiler cannot drop.
uint64_t Mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

void PoolCase(benchmark::State& state, size_t workers, size_t jobs) {
    std::vector<uint64_t> results[2];
    for (std::vector<uint64_t>& slots : results) slots.assign(jobs, 0);
    Comparison comparison;
    comparison.rowsPerIteration = static_cast<double>(jobs);
    comparison.library = [&] {
        FileTreeThreadPool pool(workers);
        uint64_t* slots = results[0].data();
        for (size_t i = 0; i < jobs; ++i) pool.Enqueue([slots, i] { slots[i] = Mix(i); });
        pool.Stop();
    };
    comparison.baseline = [&] {
        uint64_t* slots = results[1].data();
        for (size_t i = 0; i < jobs; ++i) slots[i] = Mix(i);
    };
    Compare(state, comparison);
    // What the pool adds to every job, the number to weigh against a real job's cost.
    state.counters["overhead ns/job"] =
        1e9 / state.counters["rows/s"] - 1e9 / state.counters["base rows/s"];
    auto digest = [](const std::vector<uint64_t>& slots) {
        return std::to_string(std::accumulate(slots.begin(), slots.end(), uint64_t{0}));
    };
    ExpectSameResult(state, digest(results[0]), digest(results[1]));
}
}  // namespace

void RegisterPoolCases() {
    const Sizes& sizes = RunSizes();
    for (size_t workers : {1, 2, 4}) {
        Register("FileTreeThreadPool/" + std::to_string(sizes.poolJobs) + "_jobs/" +
                     std::to_string(workers) + "_workers_vs_inline",
                 sizes.bulkIterations, PoolCase, workers, sizes.poolJobs);
    }
}

}  // namespace bench

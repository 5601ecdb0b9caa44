// The benchmark cases, registered with the sizes of this run (see Harness.h), in the order the
// table lists them.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

namespace bench {

void RegisterFileTreeCases();
void RegisterRecordCases();
void RegisterOutcomeCases();
void RegisterPoolCases();

// Registers one case with the settings every case shares: its own timing (manual time, see
// Compare), a fixed number of iterations, milliseconds.
template <class Case, class... Args>
void Register(const std::string& name, int iterations, Case&& run, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Case>(run), std::forward<Args>(args)...)
        ->UseManualTime()
        ->Iterations(iterations)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace bench

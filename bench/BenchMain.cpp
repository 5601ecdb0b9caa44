// The benchmark program: every library path beside its plain-SQLite baseline, measured in the
// same run, ending in one table of rows per second and ratios.
//
//   database_bench [--quick] [--synchronous=off|normal|full|extra] [Google Benchmark flags]
//
// --quick runs small sizes (for CI); the data lives in a temporary folder removed at the end.
// --synchronous sets that level on every baseline connection instead of NORMAL, the level the
// library sets at every open (the table's first line says which).
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

#include "Cases.h"
#include "Harness.h"
#include "RawSqlite.h"
#include "Workload.h"

namespace {
std::string LoadAverage() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

std::string Grouped(double value) {
    std::string digits = std::to_string(static_cast<long long>(std::llround(value)));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return digits;
}

// Whole numbers from 100 on; smaller ones (syncs per call) with three digits.
std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value >= 100 || value <= -100 ? "%.0f" : "%.3g", value);
    return text;
}

// Ratios near 1 with two decimals, tiny ones (the pool's) still readable.
std::string Significant(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// Collects the runs and prints them as one table when all are done; progress goes to stderr.
class TableReporter : public benchmark::BenchmarkReporter {
public:
    TableReporter(bool quick, std::string synchronous)
        : quick(quick), synchronous(std::move(synchronous)), loadAtStart(LoadAverage()) {}

    bool ReportContext(const Context&) override { return true; }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            GetErrorStream() << "done: " << run.run_name.function_name
                             << (run.error_occurred ? " (failed: " + run.error_message + ")" : "")
                             << std::endl;
            rows.push_back(Row(run));
            failed = failed || run.error_occurred;
        }
    }

    void Finalize() override {
        std::ostream& out = GetOutputStream();
        out << "\nDataBase benchmarks, " << (quick ? "quick" : "full") << " sizes, "
            << std::thread::hardware_concurrency() << " CPUs; load average " << loadAtStart
            << " at the start, " << LoadAverage() << " at the end; " << synchronous << "\n\n"
            << "| case | rows/s | baseline rows/s | ratio | cpu ratio | notes |\n"
            << "|---|---:|---:|---:|---:|---|\n";
        for (const std::string& row : rows) out << row << "\n";
        out << std::flush;
    }

    bool Failed() const { return failed; }

private:
    static std::string Row(const Run& run) {
        std::ostringstream row;
        row << "| " << run.run_name.function_name << " | ";
        if (run.error_occurred) {
            row << "| | | | FAILED: " << run.error_message << " |";
            return row.str();
        }
        auto counter = [&run](const char* name) -> const benchmark::Counter* {
            auto found = run.counters.find(name);
            return found == run.counters.end() ? nullptr : &found->second;
        };
        auto cell = [&](const char* name, auto format) {
            const benchmark::Counter* value = counter(name);
            return value == nullptr ? std::string("-") : format(value->value);
        };
        row << cell("rows/s", Grouped) << " | " << cell("base rows/s", Grouped) << " | "
            << cell("ratio", Significant) << " | " << cell("cpu ratio", Significant) << " | ";
        // Whatever else the case measured (the memory readings).
        const char* separator = "";
        for (const auto& [name, value] : run.counters) {
            if (name == "rows/s" || name == "base rows/s" || name == "ratio" ||
                name == "cpu ratio") {
                continue;
            }
            row << separator << name << " " << Fixed(value.value);
            separator = ", ";
        }
        row << " |";
        return row.str();
    }

    bool quick;
    std::string synchronous;
    std::string loadAtStart;
    std::vector<std::string> rows;
    bool failed = false;
};
}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string synchronous;
    std::vector<char*> args;
    const char* const kSynchronousFlag = "--synchronous=";
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strncmp(argv[i], kSynchronousFlag, std::strlen(kSynchronousFlag)) == 0) {
            synchronous = argv[i] + std::strlen(kSynchronousFlag);
            if (!raw::SetSynchronous(synchronous)) {
                std::cerr << "--synchronous: off, normal, full or extra\n";
                return 2;
            }
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    bench::SetQuick(quick);
    // The library finds its data folder through PROGRAMDATA at start-up, and its log lines
    // must cost no file writes here.
    bench::PrepareWorkFolder();
    bench::SilenceLibraryLog();
    raw::Configure();
    bench::Manager();
    if (!std::filesystem::exists(bench::LibraryDbFile())) {
        std::cerr << "the library did not start up in " << bench::WorkFolder() << "\n";
        bench::RemoveWorkFolder();
        return 1;
    }
    bench::TasksSnapshot();
    bench::EmptyCacheSnapshot();
    bench::Restore(bench::Side::Baseline, bench::TasksSnapshot());
    std::string level = raw::SynchronousName(raw::EffectiveSynchronous(bench::BaselineDbFile()));
    std::string setting =
        "baselines at synchronous=" + level +
        (synchronous.empty() ? " (as the library sets at every open)" : " (--synchronous)");

    bench::RegisterFileTreeCases();
    bench::RegisterRecordCases();
    bench::RegisterOutcomeCases();
    bench::RegisterPoolCases();
    TableReporter table(quick, setting);
    benchmark::RunSpecifiedBenchmarks(&table);
    benchmark::Shutdown();
    bench::RemoveWorkFolder();
    return table.Failed() ? 1 : 0;
}

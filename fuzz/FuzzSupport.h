// What every fuzz target needs: a private data folder for the manager, started once per process
// with a valid database, and a log that goes nowhere. POSIX only, as libFuzzer is here.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "DataBaseManager.h"
#include "VtLogger.h"

namespace Fuzz {
// Stops the run the way a crash would, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Points the all-users folder at a fresh temporary folder (removed at exit), silences the log
// and starts the manager there. Returns the data folder.
inline std::filesystem::path StartManager() {
    namespace fs = std::filesystem;
    static struct Folder {
        fs::path path;
        ~Folder() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } appData;
    std::string pattern = (fs::temp_directory_path() / "database-fuzz-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) Fail("mkdtemp");
    appData.path = pattern;
    setenv("PROGRAMDATA", pattern.c_str(), 1);
    VtLogger::GetInstance()->SetSink([](LOG_MESSAGE_LEVEL, const std::wstring&) {});
    DataBaseManager::GetInstance();
    return appData.path / "Voded" / "Corvanel";
}
}  // namespace Fuzz

// The terminal: results on stdout; notes, warnings and progress on stderr. On a terminal the
// progress is one line redrawn in place; otherwise a plain line every few seconds.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "Progress.h"

namespace transferdb {

// The command line as UTF-8 (Windows hands a program its arguments in the ANSI code page), and
// UTF-8 output on a Windows console.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Whether the progress line can be redrawn in place on stderr, and the width of that terminal
// (0 when unknown).
bool StderrIsTerminal();
int StderrColumns();

class Console {
public:
    static Console& Get();

    using Clock = std::chrono::steady_clock;

    // One line on stderr, printable (see Printable), above the progress line if one is drawn.
    // Thread-safe.
    void Note(const std::string& line);

    // A progress report of `totalFiles` files of `totalBytes`, of which `files` and `bytes`
    // were done by earlier runs. Thread-safe, as are the two below.
    void StartProgress(long long totalFiles, long long totalBytes, long long files = 0,
                       long long bytes = 0);
    // What is done now; shown when the last showing is old enough.
    void Progress(long long files, long long bytes);
    // The last figures on a terminal, and the line ended there.
    void EndProgress();

    // How often the progress is shown: redrawn on a terminal, a new line otherwise.
    static constexpr std::chrono::milliseconds kRedrawEvery{100};
    static constexpr std::chrono::seconds kLineEvery{5};

private:
    Console();
    void DrawLocked();
    void ClearLocked();

    std::mutex mutex;
    bool terminal;
    bool active = false;
    ProgressFigures figures;
    Clock::time_point started;
    Clock::time_point shown;  // when the progress was last shown
};

}  // namespace transferdb

// The terminal: results on stdout; notes, warnings and the progress bar on stderr. A progress
// bar is drawn only when stderr is a terminal; otherwise progress is a plain line per tenth.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace transferdb {

// The command line as UTF-8 (Windows hands a program its arguments in the ANSI code page), and
// UTF-8 output on a Windows console.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Whether a progress bar can be drawn on stderr.
bool StderrIsTerminal();

class Console {
public:
    static Console& Get();

    // One line on stderr, printable (see Printable), above the progress bar if one is drawn.
    // Thread-safe.
    void Note(const std::string& line);

    void StartProgress(long long total, const std::string& unit);
    void Progress(long long done, long long bytes);
    void EndProgress();

private:
    Console();
    void DrawLocked();
    void ClearLocked();

    std::mutex mutex;
    bool terminal;
    bool active = false;
    long long total = 0;
    long long done = 0;
    long long bytes = 0;
    int shown = -1;  // the per-mille (terminal) or tenth (plain lines) last shown
    std::string unit;
};

}  // namespace transferdb

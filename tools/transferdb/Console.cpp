#include "Console.h"

#include <cstdio>

#include "Text.h"

namespace transferdb {

Console& Console::Get() {
    static Console console;
    return console;
}

Console::Console() : terminal(StderrIsTerminal()) {}

void Console::Note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    ClearLocked();
    std::fprintf(stderr, "%s\n", Printable(line).c_str());
    if (active && terminal) DrawLocked();
    std::fflush(stderr);
}

void Console::StartProgress(long long totalFiles, long long totalBytes, long long files,
                            long long bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    active = true;
    figures = ProgressFigures{};
    figures.totalFiles = totalFiles;
    figures.totalBytes = totalBytes;
    figures.files = figures.startFiles = files;
    figures.bytes = figures.startBytes = bytes;
    started = shown = Clock::now();
    if (terminal) {
        DrawLocked();
        std::fflush(stderr);
    }
}

void Console::Progress(long long files, long long bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!active) return;
    figures.files = files;
    figures.bytes = bytes;
    const Clock::time_point now = Clock::now();
    if (now - shown < (terminal ? Clock::duration(kRedrawEvery) : Clock::duration(kLineEvery))) {
        return;
    }
    shown = now;
    figures.seconds = std::chrono::duration<double>(now - started).count();
    if (terminal) {
        DrawLocked();
    } else {
        std::fprintf(stderr, "progress: %s\n", ProgressText(figures).c_str());
    }
    std::fflush(stderr);
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> lock(mutex);
    if (active && terminal) {
        figures.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        DrawLocked();
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    active = false;
}

// Cut to the terminal's width: a line that wrapped would not be redrawn in place.
void Console::DrawLocked() {
    std::string line = ProgressText(figures);
    const int columns = StderrColumns();
    if (columns > 1 && line.size() >= static_cast<size_t>(columns)) line.resize(columns - 1);
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
}

void Console::ClearLocked() {
    if (active && terminal) std::fputs("\r\x1b[K", stderr);
}

}  // namespace transferdb

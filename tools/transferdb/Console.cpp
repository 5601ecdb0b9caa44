#include "Console.h"

#include <cstdio>

#include "Text.h"

namespace transferdb {
namespace {
constexpr int kBarWidth = 30;
}  // namespace

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

void Console::StartProgress(long long totalCount, const std::string& unitName) {
    std::lock_guard<std::mutex> lock(mutex);
    active = true;
    total = totalCount;
    unit = unitName;
    done = bytes = 0;
    shown = -1;
}

void Console::Progress(long long doneCount, long long doneBytes) {
    std::lock_guard<std::mutex> lock(mutex);
    done = doneCount;
    bytes = doneBytes;
    int perMille = total > 0 ? static_cast<int>(done * 1000 / total) : 1000;
    if (terminal) {
        if (perMille == shown) return;
        shown = perMille;
        DrawLocked();
    } else if (perMille / 100 != shown) {
        shown = perMille / 100;
        std::fprintf(stderr, "progress: %d%% (%lld of %lld %s, %s)\n", shown * 10, done, total,
                     unit.c_str(), FormatSize(bytes).c_str());
    }
    std::fflush(stderr);
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> lock(mutex);
    if (active && terminal) {
        DrawLocked();
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    active = false;
}

void Console::DrawLocked() {
    int filled = total > 0 ? static_cast<int>(done * kBarWidth / total) : kBarWidth;
    std::string bar(filled, '#');
    bar.resize(kBarWidth, '.');
    std::fprintf(stderr, "\r[%s] %3lld%%  %lld/%lld %s  %s\x1b[K", bar.c_str(),
                 total > 0 ? done * 100 / total : 100, done, total, unit.c_str(),
                 FormatSize(bytes).c_str());
}

void Console::ClearLocked() {
    if (active && terminal) std::fputs("\r\x1b[K", stderr);
}

}  // namespace transferdb

#include "Console.h"

#include <cstdio>

#include "Text.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace transferdb {
namespace {
bool StderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

constexpr int kBarWidth = 30;
}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    std::vector<std::string> arguments;
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
    // The progress bar redraws its line with escape sequences, which consoles take only when
    // asked to.
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(error, &mode)) {
        SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) arguments.push_back(ToUtf8(wide[i]));
        LocalFree(wide);
        return arguments;
    }
#endif
    arguments.assign(argv, argv + argc);
    return arguments;
}

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

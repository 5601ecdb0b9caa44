// The console on Windows: the command line in UTF-16, UTF-8 output, escape sequences asked for.
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "Console.h"
#include "Text.h"

namespace transferdb {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int StderrColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    std::vector<std::string> arguments;
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
        for (int i = 0; i < count; ++i) arguments.push_back(Utf8(std::wstring(wide[i])));
        LocalFree(wide);
        return arguments;
    }
    arguments.assign(argv, argv + argc);
    return arguments;
}

}  // namespace transferdb

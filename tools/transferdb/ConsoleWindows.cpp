// The console on Windows: the command line in UTF-16, UTF-8 output, escape sequences asked for.
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "Console.h"
#include "Text.h"

namespace transferdb {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

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
        for (int i = 0; i < count; ++i) arguments.push_back(ToUtf8(wide[i]));
        LocalFree(wide);
        return arguments;
    }
    arguments.assign(argv, argv + argc);
    return arguments;
}

}  // namespace transferdb

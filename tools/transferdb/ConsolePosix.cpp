// The console on POSIX: the arguments are UTF-8 already.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "Console.h"

namespace transferdb {

bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

int StderrColumns() {
    struct winsize size {};
    return ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace transferdb

// The console on POSIX: the arguments are UTF-8 already.
#include <unistd.h>

#include <cstdio>

#include "Console.h"

namespace transferdb {

bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace transferdb

// The library's log lines, "[DATABASE]message(DataBaseManager::operation)", and where they wait.
// A line logged during a call of the library is held until the outermost call on the thread ends,
// after every lock of the library is released: the logger hands lines to the host's sink
// synchronously, and a sink that calls the library must not find a lock of its own thread taken.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "VtLogger.h"

namespace Db {

// Hands one line to the logger, or holds it while a HeldLines is alive on this thread.
void LogLine(LOG_MESSAGE_LEVEL level, const std::string& message, const char* operation);

// While the outermost one on a thread lives, that thread's lines wait here; its end hands them to
// the logger in the order they were logged. Declared before the locks it outlives.
class HeldLines {
public:
    HeldLines();
    ~HeldLines();
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;

    bool Outermost() const { return outermost; }

private:
    bool outermost;
    std::vector<std::pair<LOG_MESSAGE_LEVEL, std::wstring>> lines;
    friend void LogLine(LOG_MESSAGE_LEVEL, const std::string&, const char*);
};

}  // namespace Db

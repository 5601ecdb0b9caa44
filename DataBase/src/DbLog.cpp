#include "DbLog.h"

#include <sstream>

namespace Db {
namespace {
// The outermost HeldLines of this thread; a plain pointer, so no thread-local object needs a
// destructor (a DLL's thread-local destructors run late on some runtimes).
thread_local HeldLines* held = nullptr;

void Hand(LOG_MESSAGE_LEVEL level, const std::wstring& line) {
    std::wstringstream stream(line);
    try {
        VtLogger::GetInstance()->Log(level, stream);
    } catch (...) {
        // Handed over from a destructor: a sink that throws loses its line, not the process.
    }
}
}  // namespace

void LogLine(LOG_MESSAGE_LEVEL level, const std::string& message, const char* operation) {
    std::wstringstream stream;
    // Narrow texts are widened byte by byte by the stream; the parentheses are wide.
    stream << "["
           << "DATABASE"
           << "]" << message.c_str() << L"(" << "DataBaseManager::" << operation << L")";
    if (held != nullptr) {
        held->lines.emplace_back(level, stream.str());
    } else {
        VtLogger::GetInstance()->Log(level, stream);
    }
}

HeldLines::HeldLines() : outermost(held == nullptr) {
    if (outermost) held = this;
}

HeldLines::~HeldLines() {
    if (!outermost) return;
    held = nullptr;
    for (const auto& [level, line] : lines) Hand(level, line);
}

}  // namespace Db

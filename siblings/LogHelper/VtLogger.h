// The application's logger. Every line goes to the sink set by SetSink, or, by default, to a
// UTF-8 log file (see README: <temp dir>/VtLogger.log, or the file named by VTLOGGER_FILE).
#pragma once

#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "PlatformMutex.h"
#include "VtExport.h"

enum LOG_MESSAGE_LEVEL {
    LOG_LEVEL_TRACE = 1,
    LOG_LEVEL_DEBUG = 2,
    LOG_LEVEL_INFO = 3,   // progress lines
    LOG_LEVEL_ERROR = 4,  // failure lines
};

class LOGHELPER_API VtLogger {
public:
    using Sink = std::function<void(LOG_MESSAGE_LEVEL, const std::wstring&)>;

    static VtLogger* GetInstance();

    // Takes the stream's whole text as one line, during the call.
    void Log(LOG_MESSAGE_LEVEL level, std::wstringstream& stream);

    // Receives every line instead of the default file; an empty function restores the file.
    // The sink is called synchronously on the logging thread, inside Log. Thread-safe.
    void SetSink(Sink sink);

    VtLogger(const VtLogger&) = delete;
    VtLogger& operator=(const VtLogger&) = delete;

private:
    VtLogger();
    void WriteToFile(LOG_MESSAGE_LEVEL level, const std::wstring& line);
    // Around a fork: both locks are taken, so that the child never inherits one a thread of the
    // parent held, and the child's first line does not wait for it forever.
    static void BeforeFork();
    static void AfterFork();

    Platform::Mutex sinkMutex;  // held while the pointer is read or replaced, not for the call
    std::shared_ptr<const Sink> sink GUARDED_BY(sinkMutex);
    Platform::Mutex fileMutex;  // keeps the lines of several threads whole in the file
};

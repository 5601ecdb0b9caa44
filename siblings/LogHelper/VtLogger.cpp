#include "VtLogger.h"

#include "TextCodec.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace {
const char* LevelName(LOG_MESSAGE_LEVEL level) {
    switch (level) {
        case LOG_LEVEL_TRACE:
            return "TRACE";
        case LOG_LEVEL_DEBUG:
            return "DEBUG";
        case LOG_LEVEL_INFO:
            return "INFO";
        case LOG_LEVEL_ERROR:
            return "ERROR";
    }
    return "LEVEL";
}

std::filesystem::path LogFilePath() {
    const char* named = std::getenv("VTLOGGER_FILE");
    if (named != nullptr && *named != '\0') return named;
    std::error_code error;
    auto dir = std::filesystem::temp_directory_path(error);
    return (error ? std::filesystem::path(".") : dir) / "VtLogger.log";
}
}  // namespace

VtLogger* VtLogger::GetInstance() {
    static VtLogger instance;
    return &instance;
}

VtLogger::VtLogger() {
#if !defined(_WIN32)
    pthread_atfork(BeforeFork, AfterFork, AfterFork);
#endif
}

void VtLogger::BeforeFork() NO_THREAD_SAFETY_ANALYSIS {
    VtLogger* logger = GetInstance();
    logger->sinkMutex.Lock();
    logger->fileMutex.Lock();
}

void VtLogger::AfterFork() NO_THREAD_SAFETY_ANALYSIS {
    VtLogger* logger = GetInstance();
    logger->fileMutex.Unlock();
    logger->sinkMutex.Unlock();
}

void VtLogger::Log(LOG_MESSAGE_LEVEL level, std::wstringstream& stream) {
    std::wstring line = stream.str();
    std::shared_ptr<const Sink> current;
    {
        Platform::MutexLock lock(&sinkMutex);
        current = sink;
    }
    // Called outside the lock, so that a sink may itself log or replace the sink.
    if (current) {
        (*current)(level, line);
        return;
    }
    WriteToFile(level, line);
}

void VtLogger::SetSink(Sink newSink) {
    auto next = newSink ? std::make_shared<const Sink>(std::move(newSink)) : nullptr;
    Platform::MutexLock lock(&sinkMutex);
    sink = std::move(next);
}

void VtLogger::WriteToFile(LOG_MESSAGE_LEVEL level, const std::wstring& line) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    std::ostringstream thread;
    thread << std::this_thread::get_id();
    Platform::MutexLock lock(&fileMutex);
    // Opened per line: the file may be rotated or removed by support staff at any time.
    std::ofstream file(LogFilePath(), std::ios::app | std::ios::binary);
    if (!file) return;
    file << stamp << ' ' << LevelName(level) << " [" << thread.str() << "] "
         << TextCodec::ToUtf8(line) << '\n';
}

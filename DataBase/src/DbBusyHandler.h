#pragma once

#include <chrono>

// SQLite's busy handler for every connection of the library: pauses 10 to 100 ms, chosen by
// rand(), and lets SQLite retry while it has been called fewer than 500 times for this lock.
int DbBusyHandler(void* data, int count);

// The handler's rounds and pauses, for a wait of this process's own that lasts as long.
namespace Busy {
constexpr int kRetries = 500;
// One of the handler's pauses, chosen by rand().
std::chrono::milliseconds Pause();
}  // namespace Busy

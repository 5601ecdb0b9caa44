#include "DbBusyHandler.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {
constexpr int kPauseMs[10] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
constexpr int kMaxRetries = 500;
}  // namespace

int DbBusyHandler(void*, int count) {
    // rand() is never seeded: the pauses only need to differ between waiters.
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs[std::rand() % 10]));
    return count < kMaxRetries ? 1 : 0;
}

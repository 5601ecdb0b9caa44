#include "DbBusyHandler.h"

#include <cstdlib>
#include <thread>

namespace {
constexpr int kPauseMs[10] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
}  // namespace

namespace Busy {
std::chrono::milliseconds Pause() {
    // rand() is never seeded: the pauses only need to differ between waiters.
    return std::chrono::milliseconds(kPauseMs[std::rand() % 10]);
}
}  // namespace Busy

int DbBusyHandler(void*, int count) {
    std::this_thread::sleep_for(Busy::Pause());
    return count < Busy::kRetries ? 1 : 0;
}

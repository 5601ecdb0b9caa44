// The background thread and the fork handlers on POSIX.
#include <pthread.h>

#include <thread>

#include "PlatformThreads.h"

namespace Platform {

struct BackgroundThread::State {
    std::thread thread;
};

bool BackgroundThread::Start(void (*body)(void*), void* context) {
    try {
        state = new State{std::thread(body, context)};
        return true;
    } catch (...) {  // no thread to be had
        return false;
    }
}

void BackgroundThread::Join() {
    if (state == nullptr) return;
    state->thread.join();
    delete state;
    state = nullptr;
}

void AtFork(void (*prepare)(), void (*parent)(), void (*child)()) {
    pthread_atfork(prepare, parent, child);
}

}  // namespace Platform

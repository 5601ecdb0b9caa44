// The threads of the port layer: a thread for the library's own background work, and the fork
// handlers.
#pragma once

#include "PlatformMutex.h"

namespace Platform {

// A thread of the library's own, for short background work. On Windows it holds the library's
// module while it runs: a host's FreeLibrary never waits for it under the loader lock, and the
// module goes when the thread ends.
class BackgroundThread {
public:
    BackgroundThread() = default;
    BackgroundThread(const BackgroundThread&) = delete;
    BackgroundThread& operator=(const BackgroundThread&) = delete;
    ~BackgroundThread() { Join(); }

    // Runs body(context) on a new thread; false when no thread could be had. Not while one runs.
    bool Start(void (*body)(void*), void* context);
    // Returns once the body has returned, or the end of the process stopped the thread; at once
    // when none was started.
    void Join();
    bool Started() const { return state != nullptr; }

    struct State;  // the platform's own

private:
    State* state = nullptr;
};

// Calls `prepare` in the forking thread before fork(), then `parent` in the parent and `child` in
// the child after it. Does nothing where processes do not fork.
void AtFork(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace Platform

// The threading pieces of the port layer: a mutex whose lock rules clang checks
// (-Wthread-safety), its condition variable, a thread for the library's own background work, and
// the fork handlers. The annotations compile to nothing on other compilers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define PLATFORM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PLATFORM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) PLATFORM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PLATFORM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) PLATFORM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PLATFORM_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) PLATFORM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) PLATFORM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) PLATFORM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PLATFORM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PLATFORM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS PLATFORM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace Platform {

class CondVar;

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { mutex.lock(); }
    void Unlock() RELEASE() { mutex.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return mutex.try_lock(); }

private:
    friend class CondVar;
    std::mutex mutex;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex(mutex) { mutex->Lock(); }
    ~MutexLock() RELEASE() { mutex->Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex* const mutex;
};

// Waits with its mutex held by the caller; the mutex is held again when a wait returns.
class CondVar {
public:
    explicit CondVar(Mutex* mutex) : mutex(mutex) {}
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void Wait() REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex->mutex, std::adopt_lock);
        condition.wait(lock);
        lock.release();
    }
    // False when the time ran out.
    template <class Clock, class Duration>
    bool WaitUntil(const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex->mutex, std::adopt_lock);
        bool woken = condition.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void Signal() { condition.notify_one(); }
    void SignalAll() { condition.notify_all(); }

private:
    Mutex* const mutex;
    std::condition_variable condition;
};

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

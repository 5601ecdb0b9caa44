// A mutex whose lock rules clang checks (-Wthread-safety), with its scoped lock and condition
// variable. Header-only, so that the installed headers may use it; the annotations compile to
// nothing on other compilers, and a host's own definitions of the same macros win.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define PLATFORM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PLATFORM_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) PLATFORM_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY PLATFORM_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) PLATFORM_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) PLATFORM_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef REQUIRES
#define REQUIRES(...) PLATFORM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) PLATFORM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) PLATFORM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) PLATFORM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) PLATFORM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS PLATFORM_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

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

// Waits with its mutex held by the caller; the mutex is held again when a wait returns. (The
// analysis cannot tie the mutex given here to the caller's, so the waits carry no annotation.)
class CondVar {
public:
    explicit CondVar(Mutex* mutex) : mutex(mutex) {}
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void Wait() {
        std::unique_lock<std::mutex> lock(mutex->mutex, std::adopt_lock);
        condition.wait(lock);
        lock.release();
    }
    // False when the time ran out.
    template <class Clock, class Duration>
    bool WaitUntil(const std::chrono::time_point<Clock, Duration>& deadline) {
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

}  // namespace Platform

#include "FileTreeThreadPool.h"

FileTreeThreadPool::FileTreeThreadPool(size_t count) {
    workers.reserve(count);
    try {
        for (size_t i = 0; i < count; ++i) workers.emplace_back([this] { WorkerLoop(); });
    } catch (...) {
        // The workers already running must not outlive a pool that was never constructed.
        if (BeginStop()) JoinWorkers();
        throw;
    }
}

FileTreeThreadPool::~FileTreeThreadPool() {
    if (BeginStop()) JoinWorkers();
    // Jobs can be left only in a pool without workers (Enqueue refuses them once stopping):
    // they are destroyed unrun, and their futures report a broken promise.
}

void FileTreeThreadPool::Stop() {
    if (BeginStop()) JoinWorkers();
}

bool FileTreeThreadPool::BeginStop() {
    {
        Platform::MutexLock lock(&queueMutex);
        if (stop) return false;  // a second Stop does nothing and joins nothing
        stop = true;
    }
    condition.SignalAll();
    return true;
}

void FileTreeThreadPool::JoinWorkers() {
    for (std::thread& worker : workers) {
        if (worker.joinable()) worker.join();
    }
}

void FileTreeThreadPool::WorkerLoop() {
    for (;;) {
        std::function<void()> job;
        {
            Platform::MutexLock lock(&queueMutex);
            while (!stop && tasks.empty()) condition.Wait();
            // A stopped pool still drains its queue before the worker ends.
            if (stop && tasks.empty()) return;
            job = std::move(tasks.front());
            tasks.pop_front();
        }
        job();
    }
}

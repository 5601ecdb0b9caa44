// A fixed number of worker threads running jobs from one first-in, first-out queue.
//
// Enqueue returns a std::future for the job's result; an exception thrown by a job is kept in
// that future (and dropped with it if nobody asks), so a job can never take the process down.
// Enqueue after Stop throws std::runtime_error instead of queueing a job that would never run.
// Stop lets the workers finish every queued job, then joins them; neither Stop nor the
// destructor may be called from inside a job. A pool of 0 workers runs nothing: its destructor
// discards the queue, and those jobs' futures report a broken promise. When a worker cannot be
// started, the constructor stops and joins the ones already running before it rethrows.
#pragma once

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "PlatformMutex.h"
#include "VtExport.h"

class DATABASE_API FileTreeThreadPool {
public:
    explicit FileTreeThreadPool(size_t workers);
    ~FileTreeThreadPool();
    FileTreeThreadPool(const FileTreeThreadPool&) = delete;
    FileTreeThreadPool& operator=(const FileTreeThreadPool&) = delete;

    void Stop();

    template <class F>
    auto Enqueue(F&& job) -> std::future<std::invoke_result_t<std::decay_t<F>>> {
        using Result = std::invoke_result_t<std::decay_t<F>>;
        auto task = std::make_shared<std::packaged_task<Result()>>(std::forward<F>(job));
        std::future<Result> result = task->get_future();
        {
            Platform::MutexLock lock(&queueMutex);
            if (stop) throw std::runtime_error("FileTreeThreadPool: Enqueue after Stop");
            tasks.emplace_back([task] { (*task)(); });
        }
        condition.Signal();
        return result;
    }

private:
    void WorkerLoop();
    bool BeginStop();  // false when the pool was already stopping
    void JoinWorkers();

    std::vector<std::thread> workers;
    Platform::Mutex queueMutex;
    Platform::CondVar condition{&queueMutex};  // a job queued, or the pool stopping
    std::deque<std::function<void()>> tasks GUARDED_BY(queueMutex);
    bool stop GUARDED_BY(queueMutex) = false;
};

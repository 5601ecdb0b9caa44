// The worker pool: every queued job runs, Stop drains the queue, jobs may queue jobs, and
// nothing a job or a failed start does takes the process down.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "FileTreeThreadPool.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {
TEST(ThreadPoolTest, EveryJobRunsAndHandsBackItsResult) {
    FileTreeThreadPool pool(4);
    std::vector<std::future<int>> results;
    for (int i = 0; i < 1000; ++i) results.push_back(pool.Enqueue([i] { return i * 2; }));
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(results[i].get(), i * 2);
}

TEST(ThreadPoolTest, OneWorkerRunsJobsInQueueOrder) {
    std::vector<int> order;
    {
        FileTreeThreadPool pool(1);
        for (int i = 0; i < 100; ++i) pool.Enqueue([&order, i] { order.push_back(i); });
    }  // destruction without Stop drains the queue as Stop does
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(ThreadPoolTest, StopReturnsOnlyAfterTheQueuedJobsHaveRun) {
    FileTreeThreadPool pool(1);
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<int> ran{0};
    pool.Enqueue([opened] { opened.wait(); });  // holds the only worker
    for (int i = 0; i < 100; ++i) pool.Enqueue([&ran] { ++ran; });
    // Opens the gate once Stop has begun, which a refused Enqueue shows.
    std::thread opener([&] {
        for (;;) {
            try {
                pool.Enqueue([] {});
            } catch (const std::runtime_error&) {
                break;
            }
            std::this_thread::yield();
        }
        gate.set_value();
    });
    pool.Stop();
    EXPECT_EQ(ran.load(), 100);
    opener.join();
    pool.Stop();  // a second Stop returns at once
    EXPECT_THROW(pool.Enqueue([&ran] { ++ran; }), std::runtime_error);
    EXPECT_EQ(ran.load(), 100);
}

TEST(ThreadPoolTest, WithoutWorkersJobsNeverRunAndAreDiscarded) {
    auto token = std::make_shared<int>(0);
    std::future<void> result;
    {
        FileTreeThreadPool pool(0);
        result = pool.Enqueue([token] { ++*token; });
        pool.Stop();
        EXPECT_EQ(token.use_count(), 2);  // still queued
    }
    EXPECT_EQ(*token, 0);
    try {
        result.get();
        ADD_FAILURE() << "a discarded job reported a result";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
    result = {};  // the job's state may live on with its future, but no longer
    EXPECT_EQ(token.use_count(), 1);
}

TEST(ThreadPoolTest, JobsMayQueueFurtherJobs) {
    FileTreeThreadPool pool(3);
    std::atomic<int> ran{0};
    std::promise<void> allRan;
    constexpr int kJobs = (1 << 10) - 1;  // a binary tree of jobs, ten levels deep
    std::function<void(int)> spawn = [&](int level) {
        if (level < 9) {
            pool.Enqueue([&spawn, level] { spawn(level + 1); });
            pool.Enqueue([&spawn, level] { spawn(level + 1); });
        }
        if (++ran == kJobs) allRan.set_value();
    };
    pool.Enqueue([&spawn] { spawn(0); });
    allRan.get_future().wait();
    pool.Stop();
    EXPECT_EQ(ran.load(), kJobs);
}

TEST(ThreadPoolTest, AThrowingJobReachesItsSubmitterAndTheWorkerGoesOn) {
    FileTreeThreadPool pool(1);
    // Shared, so that the test lets go of the job's state only after the worker has (the next
    // job's result orders the two): libstdc++ counts an exception's references where
    // ThreadSanitizer cannot see them, and reports the worker freeing it as a race.
    std::shared_future<void> failed =
        pool.Enqueue([] { throw std::runtime_error("job failed"); }).share();
    std::future<int> next = pool.Enqueue([] { return 7; });
    try {
        failed.get();
        ADD_FAILURE() << "the job's exception was lost";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "job failed");
    }
    EXPECT_EQ(next.get(), 7);
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A worker that cannot start: the constructor joins the ones already running and throws,
// instead of leaving running threads behind (which would end the process). The address-space
// limit that makes thread stacks fail is set in a child process, where it cannot harm the rest.
TEST(ThreadPoolTest, AWorkerThatFailsToStartStopsTheOthersBeforeTheConstructorThrows) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = 256u << 20;  // room for a few 8 MiB stacks, not for 1000
        ::setrlimit(RLIMIT_AS, &limit);
        int outcome = 1;
        try {
            FileTreeThreadPool pool(1000);
        } catch (const std::system_error&) {
            auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                         std::filesystem::directory_iterator());
            outcome = threads == 1 ? 0 : 2;
        }
        ::_exit(outcome);
    }
    // A constructor that leaves workers waiting never returns (destroying the condition they
    // wait on blocks): give it a generous minute, then end the child.
    int status = 0;
    pid_t ended = 0;
    for (int polls = 0; polls < 600 && ended == 0; ++polls) {
        ended = ::waitpid(child, &status, WNOHANG);
        if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the constructor never returned";
    }
    ASSERT_EQ(ended, child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no failure to start; 2: workers left running";
}
#endif
}  // namespace

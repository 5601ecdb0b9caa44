// The worker pool: jobs run in queue order, Stop drains the queue, a job's exception reaches its
// submitter, and neither a pool without workers nor a failed start takes the process down.
#include <gtest/gtest.h>

#include <filesystem>

#include "FileTreeThreadPool.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {
TEST(ThreadPoolTest, OneWorkerRunsJobsInQueueOrderAndStopWaitsForThemAll) {
    std::vector<int> order, expected;
    std::promise<void> gate;
    FileTreeThreadPool pool(1);
    pool.Enqueue([opened = gate.get_future().share()] { opened.wait(); });  // holds the worker
    for (int i = 0; i < 100; ++i) pool.Enqueue([&order, i] { order.push_back(i); });
    // Opens the gate once Stop has begun, which a refused Enqueue shows.
    std::thread opener([&] {
        while (true) {
            try {
                pool.Enqueue([] {});
            } catch (const std::runtime_error&) {
                return gate.set_value();
            }
        }
    });
    pool.Stop();
    opener.join();
    for (int i = 0; i < 100; ++i) expected.push_back(i);
    EXPECT_EQ(order, expected) << "in queue order, every one before Stop returned";
    EXPECT_THROW(pool.Enqueue([] {}), std::runtime_error) << "a stopped pool takes no job";
}

TEST(ThreadPoolTest, AThrowingJobReachesItsSubmitterAndTheNextJobRuns) {
    FileTreeThreadPool pool(1);
    // Shared, so that the test lets go of the job's state only after the worker has (the next
    // job's result orders the two): libstdc++ counts an exception's references where
    // ThreadSanitizer cannot see them, and reports the worker freeing it as a race.
    std::shared_future<void> failed = pool.Enqueue([] { throw std::runtime_error("job"); }).share();
    EXPECT_EQ(pool.Enqueue([] { return 7; }).get(), 7);
    EXPECT_THROW(failed.get(), std::runtime_error);
}

TEST(ThreadPoolTest, APoolWithoutWorkersDiscardsItsJobsWhenDestroyed) {
    auto token = std::make_shared<int>(0);
    std::future<void> discarded;
    {
        FileTreeThreadPool none(0);
        discarded = none.Enqueue([token] { ++*token; });
        none.Stop();
        EXPECT_EQ(token.use_count(), 2) << "still queued after Stop";
    }
    EXPECT_THROW(discarded.get(), std::future_error) << "a broken promise";
    discarded = {};  // the job may live on with its future, but no longer
    EXPECT_EQ(*token, 0) << "never run";
    EXPECT_EQ(token.use_count(), 1) << "and freed";
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A worker that cannot start: the constructor joins those running and throws, leaving no thread to
// end the process. The address-space limit that fails thread stacks is set in a child process.
TEST(ThreadPoolTest, AWorkerThatFailsToStartStopsTheOthersBeforeTheConstructorThrows) {
    pid_t child = ::fork();
    if (child == 0) {
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = 256u << 20;  // room for a few 8 MiB stacks, not for 1000
        ::setrlimit(RLIMIT_AS, &limit);
        try {
            FileTreeThreadPool pool(1000);
        } catch (const std::system_error&) {
            using Tasks = std::filesystem::directory_iterator;  // the threads still running
            ::_exit(std::distance(Tasks("/proc/self/task"), Tasks()) == 1 ? 0 : 2);
        }
        ::_exit(1);
    }
    // A constructor that left workers waiting would never return: the test's time limit ends it.
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no failure to start; 2: workers left running";
}
#endif
}  // namespace

// Thread levels, the stoppable thread and the semaphore.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/threads.h"

namespace quenda::platform {
namespace {

using namespace std::chrono_literals;

int ownNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }
int ownPolicy() {
    int policy = 0;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    return policy;
}

// Each level lands on its Linux counterpart when the system permits it, and a
// refused change leaves the thread as it was.
TEST(Threads, LevelsMapToNiceValuesOrRealTime) {
    std::thread([] {
        struct Case {
            ThreadPriority level;
            int nice;
        };
        const Case cases[] = {{ThreadPriority::BelowNormal, 5},
                              {ThreadPriority::Normal, 0},
                              {ThreadPriority::AboveNormal, -5},
                              {ThreadPriority::BelowNormal, 5}};
        for (const Case& c : cases) {
            const int before = ownNice();
            EXPECT_EQ(niceValueFor(c.level), c.nice);
            if (setCurrentThreadPriority(c.level)) {
                EXPECT_EQ(ownNice(), c.nice);
                EXPECT_EQ(ownPolicy(), SCHED_OTHER);
            } else {
                EXPECT_EQ(ownNice(), before);
            }
        }
        const int before = ownNice();
        const bool granted = setCurrentThreadPriority(ThreadPriority::TimeCritical);
        EXPECT_TRUE(ownPolicy() == SCHED_FIFO || ownNice() == -10 || (!granted && ownNice() == before));
        // And back down from real time.
        EXPECT_TRUE(setCurrentThreadPriority(ThreadPriority::BelowNormal));
        EXPECT_EQ(ownPolicy(), SCHED_OTHER);
        EXPECT_EQ(ownNice(), 5);
    }).join();
}

// The process class shifts every running thread and every later level; run in
// a child process so the test program keeps its own levels.
TEST(Threads, ProcessClassShiftsEveryThread) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::atomic<bool> done{false};
        std::atomic<int> otherNice{99};
        std::thread other([&] {
            while (!done) std::this_thread::sleep_for(1ms);
            otherNice = ownNice();
        });
        std::this_thread::sleep_for(20ms);
        const bool raised = raiseProcessPriority();
        done = true;
        other.join();
        int code = 0;
        if (raised && (ownNice() != -5 || otherNice != -5)) code = 1;
        if (niceValueFor(ThreadPriority::BelowNormal) != 0) code = 2;
        if (niceValueFor(ThreadPriority::AboveNormal) != -10) code = 3;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// An ordinary user cannot lower a thread's nice value again, so the pump's
// read -> wait -> read cycle must never leave it (or the workers it starts
// during a read) below normal. Run as nobody in a child process, once with the
// stock RLIMIT_NICE of 0 (below normal is refused) and once with a limit that
// lets the thread come back to 0 (below normal is taken, and undone).
TEST(Threads, UnprivilegedThreadNeverStaysBelowNormal) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become an unprivileged user";
    constexpr int kCannotRaiseLimit = 77;
    struct Case {
        rlim_t niceLimit;
        bool belowNormalTakes;
    };
    for (const Case c : {Case{0, false}, Case{20, true}}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit nice{c.niceLimit, c.niceLimit};
            const rlimit noRealtime{0, 0};
            // Raising a hard limit needs CAP_SYS_RESOURCE, which a container may withhold.
            if (setrlimit(RLIMIT_NICE, &nice) != 0) _exit(kCannotRaiseLimit);
            if (setrlimit(RLIMIT_RTPRIO, &noRealtime) != 0) _exit(10);
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0) {
                _exit(11);
            }
            int code = 0;
            std::thread pump([&] {
                const int normal = std::max(ownNice(), 0);
                setCurrentThreadPriority(ThreadPriority::TimeCritical);  // read
                if (ownNice() > normal) code = 1;
                const bool dropped = setCurrentThreadPriority(ThreadPriority::BelowNormal);  // wait
                if (dropped != c.belowNormalTakes) code = 2;
                setCurrentThreadPriority(ThreadPriority::TimeCritical);  // read again
                if (ownNice() > normal || ownPolicy() != SCHED_OTHER) code = 3;
                // A worker started during the read, asking for above normal.
                std::thread([&] {
                    setCurrentThreadPriority(ThreadPriority::AboveNormal);
                    if (ownNice() > normal) code = 4;
                }).join();
            });
            pump.join();
            _exit(code);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == kCannotRaiseLimit) {
            std::printf("RLIMIT_NICE %lu not settable here: case skipped\n", static_cast<unsigned long>(c.niceLimit));
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0) << "RLIMIT_NICE " << c.niceLimit;
    }
}

TEST(Threads, ThreadStopsOnRequestAndReportsItsEnd) {
    std::atomic<int> laps{0};
    Thread loop([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            ++laps;
            std::this_thread::sleep_for(1ms);
        }
    });
    while (laps < 3) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(loop.running());
    loop.requestStop();
    loop.join();
    EXPECT_FALSE(loop.running());

    Thread once([](std::stop_token) {});
    Thread moved = std::move(once);
    moved.join();
    EXPECT_FALSE(moved.running());
    EXPECT_FALSE(Thread().running());
}

TEST(Threads, SemaphoreCountsReleasesAcrossThreads) {
    Semaphore semaphore;
    EXPECT_FALSE(semaphore.tryAcquireFor(10ms));
    std::thread releaser([&] {
        for (int i = 0; i < 1000; ++i) semaphore.release();
    });
    for (int i = 0; i < 1000; ++i) semaphore.acquire();
    releaser.join();
    EXPECT_FALSE(semaphore.tryAcquireFor(0ms));
    Semaphore preset(2);
    EXPECT_TRUE(preset.tryAcquireFor(0ms));
    EXPECT_TRUE(preset.tryAcquireFor(0ms));
    EXPECT_FALSE(preset.tryAcquireFor(0ms));
}

}  // namespace
}  // namespace quenda::platform

// Threads, scheduling levels and the counting semaphore the player's threads
// share. A thin layer over the C++ standard library and POSIX.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <semaphore>
#include <stop_token>
#include <thread>

namespace quenda::platform {

// The scheduling levels the player asks for, from lowest to highest. They map
// to the nearest Linux levels: real-time where the system permits, otherwise
// nice values.
enum class ThreadPriority { BelowNormal, Normal, AboveNormal, TimeCritical };

// Sets the calling thread's scheduling level. A refused change is ignored: the
// thread keeps the level it had, or, asking for normal or more, goes as far
// toward it as the system allows. Below normal is refused unless the thread
// could come back to normal afterwards (root, CAP_SYS_NICE or a large enough
// RLIMIT_NICE): Linux never lets an ordinary thread lower its nice value again,
// and the threads it starts would inherit the lower level too. Returns whether
// the change took.
bool setCurrentThreadPriority(ThreadPriority priority);

// Raises the whole process to the above-normal class: every thread's nice value
// drops by the class step now, and the levels set later keep that offset; a
// refusal is ignored. Returns whether every running thread took the change.
bool raiseProcessPriority();

// The nice value a level maps to while no real-time policy applies, with the
// process class offset included. Exposed so tests can check the mapping.
int niceValueFor(ThreadPriority priority);

// A joinable thread that is asked, not forced, to stop: the body receives a
// stop token and checks it at points where it holds no lock, so stopping it
// at teardown leaves nothing locked. Destruction asks it to stop and joins.
class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void(std::stop_token)> body);
    Thread(Thread&&) = default;
    Thread& operator=(Thread&&) = default;
    ~Thread() = default;

    // Whether a body was started and has not returned yet.
    bool running() const { return finished_ && !finished_->load(std::memory_order_acquire); }
    bool joinable() const { return thread_.joinable(); }
    void requestStop() { thread_.request_stop(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    // Shared with the body so that a moved Thread still sees its end.
    std::shared_ptr<std::atomic<bool>> finished_;
    std::jthread thread_;
};

// A counting semaphore with the largest count the platform allows. Releasing
// never blocks, so the output thread may release from its real-time path.
class Semaphore {
public:
    explicit Semaphore(int initial = 0) : sem_(initial) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void release() { sem_.release(); }
    void acquire() { sem_.acquire(); }
    // Waits at most `timeout`; true when a count was taken.
    bool tryAcquireFor(std::chrono::milliseconds timeout) { return sem_.try_acquire_for(timeout); }

private:
    std::counting_semaphore<INT_MAX> sem_;
};

}  // namespace quenda::platform

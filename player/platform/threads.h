// Threads, scheduling levels and the counting semaphore the player's threads
// share. A thin layer over the C++ standard library and POSIX.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <semaphore>

namespace quenda::platform {

// The scheduling levels the player asks for, from lowest to highest. They map
// to the nearest Linux levels: real-time where the system permits, otherwise
// nice values.
enum class ThreadPriority { BelowNormal, Normal, AboveNormal, TimeCritical };

// Sets the calling thread's scheduling level. A refused change is ignored: the
// thread keeps the level it had. Returns whether the change took.
bool setCurrentThreadPriority(ThreadPriority priority);

// Raises the whole process to the above-normal class; a refusal is ignored.
bool raiseProcessPriority();

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

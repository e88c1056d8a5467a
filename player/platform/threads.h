// Threads, scheduling levels and the counting semaphore the player's threads
// share. A thin layer over the C++ standard library and POSIX.
#pragma once

#include <chrono>
#include <cstdint>

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

}  // namespace quenda::platform

#include "threads.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace quenda::platform {
namespace {

// One step of the Windows-like ladder in nice units; five steps span the range
// without reaching the extremes that starve the rest of the desktop.
constexpr int kNiceStep = 5;
// Real-time priority for time-critical threads: above the usual desktop
// real-time users' defaults (PipeWire/PulseAudio run at 5..20), below the
// kernel's own threads at 50.
constexpr int kRealtimePriority = 10;

// Offset the process class adds to every level, 0 or -kNiceStep.
std::atomic<int> processClassOffset{0};

int clampNice(int nice) { return std::clamp(nice, -20, 19); }

int levelNice(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::BelowNormal: return kNiceStep;
        case ThreadPriority::Normal: return 0;
        case ThreadPriority::AboveNormal: return -kNiceStep;
        case ThreadPriority::TimeCritical: return -2 * kNiceStep;
    }
    return 0;
}

bool setThreadNice(pid_t tid, int nice) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), clampNice(nice)) == 0;
}

bool setOwnPolicy(int policy, int rtPriority) {
    sched_param param{};
    param.sched_priority = rtPriority;
    return pthread_setschedparam(pthread_self(), policy, &param) == 0;
}

}  // namespace

int niceValueFor(ThreadPriority priority) {
    return clampNice(levelNice(priority) + processClassOffset.load(std::memory_order_relaxed));
}

bool setCurrentThreadPriority(ThreadPriority priority) {
    const pid_t tid = gettid();
    if (priority == ThreadPriority::TimeCritical) {
        if (setOwnPolicy(SCHED_FIFO, kRealtimePriority)) return true;
        // Not permitted (no CAP_SYS_NICE, no RLIMIT_RTPRIO): the strongest nice
        // value the system grants instead.
        return setThreadNice(tid, niceValueFor(priority));
    }
    int policy = SCHED_OTHER;
    sched_param current{};
    if (pthread_getschedparam(pthread_self(), &policy, &current) == 0 && policy != SCHED_OTHER) {
        if (!setOwnPolicy(SCHED_OTHER, 0)) return false;
    }
    return setThreadNice(tid, niceValueFor(priority));
}

bool raiseProcessPriority() {
    if (processClassOffset.exchange(-kNiceStep) == -kNiceStep) return true;
    // On Linux nice values belong to threads: shift every thread that exists
    // now; threads started later inherit their creator's value.
    bool all = true;
    bool any = false;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        processClassOffset.store(0);
        return false;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const auto tid = static_cast<id_t>(std::strtol(entry->d_name, nullptr, 10));
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, tid);
        if (nice == -1 && errno != 0) continue;  // the thread has ended meanwhile
        if (setpriority(PRIO_PROCESS, tid, clampNice(nice - kNiceStep)) == 0) {
            any = true;
        } else {
            all = false;
        }
    }
    closedir(tasks);
    // Refused outright: the levels keep their plain values.
    if (!any) processClassOffset.store(0);
    return all;
}

Thread::Thread(std::function<void(std::stop_token)> body)
    : finished_(std::make_shared<std::atomic<bool>>(false)) {
    thread_ = std::jthread([body = std::move(body), finished = finished_](std::stop_token token) {
        body(token);
        finished->store(true, std::memory_order_release);
    });
}

}  // namespace quenda::platform

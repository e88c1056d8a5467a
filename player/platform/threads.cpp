#include "threads.h"

#include <dirent.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

// Whether the calling thread may set any nice value (CAP_SYS_NICE).
bool mayLowerNiceFreely() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
}

// Whether the calling thread may lower its nice value to `nice`: Linux lets a
// thread without CAP_SYS_NICE go only as low as RLIMIT_NICE permits (20 minus
// the limit), and the limit is 0 for ordinary users on a stock system.
bool mayReachNice(int nice) {
    if (mayLowerNiceFreely()) return true;
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) != 0) return false;
    return limit.rlim_cur == RLIM_INFINITY || static_cast<rlim_t>(20 - clampNice(nice)) <= limit.rlim_cur;
}

int ownNice(pid_t tid) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    return (nice == -1 && errno != 0) ? 0 : nice;
}

// Moves the thread to `nice`. Raising the value is always allowed; lowering
// it may be refused, and then the thread goes as low toward it as it may, so
// that a thread asking for normal or more never stays below what it can reach.
bool lowerOrSetNice(pid_t tid, int nice) {
    if (setThreadNice(tid, nice)) return true;
    const int current = ownNice(tid);
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const int floor = clampNice(20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40)));
        const int reachable = std::max(floor, clampNice(nice));
        if (reachable < current) setThreadNice(tid, reachable);
    }
    return false;
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
        return lowerOrSetNice(tid, niceValueFor(priority));
    }
    const int target = niceValueFor(priority);
    if (target > niceValueFor(ThreadPriority::Normal)) {
        // An unprivileged thread can never lower its nice value again: a thread
        // that dropped below normal would stay there for good, and so would
        // every thread it starts. Drop only when the way back is open.
        const int backTo = std::min(ownNice(tid), niceValueFor(ThreadPriority::Normal));
        if (!mayReachNice(backTo)) return false;
    }
    int policy = SCHED_OTHER;
    sched_param current{};
    if (pthread_getschedparam(pthread_self(), &policy, &current) == 0 && policy != SCHED_OTHER) {
        if (!setOwnPolicy(SCHED_OTHER, 0)) return false;
    }
    return lowerOrSetNice(tid, target);
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

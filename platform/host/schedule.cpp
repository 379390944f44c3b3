// Scheduling of the virtual controller's tasks (the model is in schedule.h).
#include "schedule.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "vc.h"

namespace vc::sched {
namespace {

constexpr int kCapIpcLock = 14;

struct Placement {
    CtlTaskEntry entry = nullptr;
    int priority = 0;
};

std::mutex placementLock;
std::array<Placement, 8> placements;

// Whether this process may use SCHED_FIFO up to the top controller level:
// tried once on the calling thread, whose own scheduling is put back.
bool permitted() {
    static const bool allowed = [] {
        int policy = 0;
        sched_param saved{};
        if (pthread_getschedparam(pthread_self(), &policy, &saved) != 0) return false;
        sched_param top{};
        top.sched_priority = kClass0Priority;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &top) != 0) return false;
        pthread_setschedparam(pthread_self(), policy, &saved);
        return true;
    }();
    return allowed;
}

// CAP_IPC_LOCK in the effective set (from /proc: no libcap in the platform).
bool mayLockWithoutLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY) return true;
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return false;
    char line[256];
    unsigned long long caps = 0;
    constexpr char kField[] = "CapEff:";
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, kField, sizeof kField - 1) != 0) continue;
        caps = std::strtoull(line + sizeof kField - 1, nullptr, 16);
        break;
    }
    std::fclose(f);
    return (caps >> kCapIpcLock) & 1;
}

// Locks what is mapped now and every page the process touches later, so that
// no tick waits for a page to come back from swap. Later mappings lock on
// first touch only: a thread stack locks the little it uses, not all of it.
// Skipped where a limit would make later mappings fail, and under the
// sanitizers (their shadow memory is terabytes of reserved address space).
bool lockMemory() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#else
    if (!mayLockWithoutLimit()) return false;
    if (mlockall(MCL_CURRENT) != 0) return false;
    if (mlockall(MCL_FUTURE | MCL_ONFAULT) != 0) {
        munlockall();
        return false;
    }
    return true;
#endif
}

}  // namespace

int priorityOfClass(int priorityClass) {
    switch (priorityClass) {
        case 0: return kClass0Priority;
        case 1: return kClass1Priority;
        case 2: return (kClass1Priority + kCommandPriority) / 2;
        default: return kCommandPriority;
    }
}

int priorityOfSpawn(int vxPriority) {
    return vxPriority <= 150 ? kCommandPriority : kAdminPriority;
}

void placeEntry(CtlTaskEntry entry, int priority) {
    std::lock_guard guard(placementLock);
    for (Placement& p : placements) {
        if (p.entry == entry || p.entry == nullptr) {
            p = {entry, priority};
            return;
        }
    }
}

int priorityOfEntry(CtlTaskEntry entry, int byClass) {
    std::lock_guard guard(placementLock);
    for (const Placement& p : placements)
        if (p.entry == entry) return p.priority;
    return byClass;
}

bool inEffect() { return settings().realtime && permitted(); }

void applyToSelf(int priority) {
    sched_param param{};
    if (priority > 0 && inEffect()) {
        param.sched_priority = priority;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
        param.sched_priority = 0;
    }
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

bool priorityInheritanceWorks() {
    static const bool works = [] {
        auto word = static_cast<std::uint32_t>(::syscall(SYS_gettid));
        return ::syscall(SYS_futex, &word, FUTEX_UNLOCK_PI, 0, nullptr, nullptr, 0) == 0;
    }();
    return works;
}

void setUp(const Settings& s) {
    if (!s.realtime) return;
    if (!permitted()) {
        std::printf(
            "virtual controller: real-time scheduling not permitted (needs root, "
            "CAP_SYS_NICE or RLIMIT_RTPRIO >= %d); tasks run at normal priority\n",
            kClass0Priority);
        return;
    }
    const bool locked = lockMemory();
    std::printf("virtual controller: real-time scheduling (SCHED_FIFO %d..%d)%s\n", kAdminPriority,
                kClass0Priority, locked ? ", memory locked" : "");
}

}  // namespace vc::sched

// Tasks of the virtual controller: detached POSIX threads with ids that wrap
// around without meeting a live one, unique names, and deletion that takes
// effect at the task's next blocking platform call (see taskInternal.h). Each
// task runs at the priority the scheduling model (schedule.h) gives its class
// or taskSpawn priority; stack sizes are accepted and not modelled.
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "idCounter.h"
#include "schedule.h"
#include "taskInternal.h"
#include "vc.h"

namespace vc::task {
namespace {

constexpr std::size_t kNameChars = 31;  // longest task name handed out
// How long the end of the process waits for its tasks to end.
constexpr auto kExitWait = std::chrono::seconds(2);

struct Task {
    int id = 0;
    std::array<char, kNameChars + 1> name{};
    bool created = false;  // started by the platform (not an adopted thread)
    int deleteFd = -1;     // eventfd, readable once the task is to end
    std::stop_source stop;
    std::atomic<bool> deleted{false};
    bool ended = false;  // guarded by Registry::lock

    ~Task() {
        if (deleteFd >= 0) ::close(deleteFd);
    }
};

struct Registry {
    std::mutex lock;
    std::condition_variable_any endedCv;  // a task ended
    std::map<int, std::shared_ptr<Task>> live;
    int nextId = 1;
};

// A fresh id, skipping live tasks once the counter has wrapped. Registry
// lock held.
int takeId(Registry& reg) {
    return takeFreeId(reg.nextId, [&reg](int id) { return reg.live.count(id) != 0; });
}

// Never destroyed: detached tasks may still run while the program exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

void finish(Task& task) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    reg.live.erase(task.id);
    task.ended = true;
    reg.endedCv.notify_all();
}

// The calling thread's task. Its destructor runs when the thread ends (after
// the stack has been unwound), which is when the task counts as ended.
struct CurrentTask {
    std::shared_ptr<Task> task;
    ~CurrentTask() {
        if (task) finish(*task);
    }
};
thread_local CurrentTask current;

bool nameTaken(const Registry& reg, const std::string& name) {
    for (const auto& [id, task] : reg.live)
        if (name == task->name.data()) return true;
    return false;
}

// `base` cut to 31 characters; when a live task has that name, a suffix
// ".<n>" replaces its tail until the name is free. Registry lock held.
std::string uniqueName(const Registry& reg, const std::string& base, int id) {
    std::string name = base.substr(0, kNameChars);
    for (int n = id; nameTaken(reg, name); ++n) {
        std::string suffix = "." + std::to_string(n);
        name = base.substr(0, kNameChars - suffix.size()) + suffix;
    }
    return name;
}

// Makes a task record and registers it under a fresh id. The name is `given`
// or, when null, prefix + id. Without a descriptor free for its eventfd the
// task still runs (a command that needs none must work when they ran out, as
// must the one that frees them); only a deletion then waits for its next
// condition-variable wait or check.
std::shared_ptr<Task> registerTask(const char* given, const char* prefix, bool created) {
    auto task = std::make_shared<Task>();
    task->created = created;
    task->deleteFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    task->id = takeId(reg);
    std::string base = given ? std::string(given) : prefix + std::to_string(task->id);
    if (base.empty()) base = "t" + std::to_string(task->id);
    std::string name = uniqueName(reg, base, task->id);
    std::memcpy(task->name.data(), name.c_str(), name.size() + 1);
    reg.live[task->id] = task;
    return task;
}

void unregister(const Task& task) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    reg.live.erase(task.id);
}

std::shared_ptr<Task> findTask(int id) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.live.find(id);
    return it == reg.live.end() ? nullptr : it->second;
}

Task& self() {
    if (!current.task) current.task = registerTask(nullptr, "tHost", false);
    return *current.task;
}

void requestEnd(Task& task) {
    task.deleted.store(true);
    if (task.deleteFd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(task.deleteFd, &one, sizeof one);
    }
    task.stop.request_stop();
}

bool allEnded(const std::vector<std::shared_ptr<Task>>& tasks) {
    for (const auto& t : tasks)
        if (!t->ended) return false;
    return true;
}

void waitEnded(const std::vector<std::shared_ptr<Task>>& tasks) {
    Registry& reg = registry();
    std::unique_lock lock(reg.lock);
    waitUntil(reg.endedCv, lock, Deadline::forever(), [&] { return allEnded(tasks); });
}

// The live tasks the platform created, but not the task `me`.
std::vector<std::shared_ptr<Task>> createdTasks(int me) {
    std::vector<std::shared_ptr<Task>> found;
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    for (const auto& [id, task] : reg.live)
        if (task->created && id != me) found.push_back(task);
    return found;
}

std::atomic<bool> exiting{false};

// Runs at exit, before the static objects made before the first task are
// destroyed: tasks still running would use them (the state file, the hooks,
// the socket table) while they go. No new task starts from here on; a task
// that does not reach a blocking call within kExitWait is left running.
void endTasksAtExit() {
    exiting.store(true);
    const auto until = Clock::now() + kExitWait;
    for (;;) {
        // The exiting thread's own record is gone already (thread-local
        // objects die before the exit handlers run), and with it its entry.
        std::vector<std::shared_ptr<Task>> victims = createdTasks(0);
        if (victims.empty()) return;
        for (auto& t : victims) requestEnd(*t);
        Registry& reg = registry();
        std::unique_lock lock(reg.lock);
        // Not waitUntil: the exiting thread may be a task asked to end itself.
        if (!reg.endedCv.wait_until(lock, until, [&] { return allEnded(victims); })) return;
    }
}

struct StartInfo {
    std::shared_ptr<Task> task;
    CtlTaskEntry entry;
    std::array<CtlArg, 10> args;
    int priority;  // in the scheduling model (schedule.h)
};

void* trampoline(void* p) {
    std::unique_ptr<StartInfo> start(static_cast<StartInfo*>(p));
    current.task = start->task;
    CtlTaskEntry entry = start->entry;
    std::array<CtlArg, 10> a = start->args;
    // Set for every task: a thread inherits its creator's scheduling.
    vc::sched::applyToSelf(start->priority);
    start.reset();
    // A task deleted before it ran still starts: like any other it ends at
    // its first blocking call, so its entry can take over its arguments.
    entry(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
    return nullptr;
}

int spawn(const char* given, const char* prefix, CtlTaskEntry entry,
          const std::array<CtlArg, 10>& args, int priority) {
    [[maybe_unused]] static const int atExit = std::atexit(endTasksAtExit);
    // A task asked to end starts nothing more: deleting every task would miss it.
    checkDeleted();
    if (exiting.load()) {
        errno = EAGAIN;
        return -1;
    }
    std::shared_ptr<Task> task = registerTask(given, prefix, true);
    auto* start = new StartInfo{task, entry, args, priority};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        unregister(*task);
        errno = rc;
        return -1;
    }
    return task->id;
}

}  // namespace

Deadline Deadline::afterTicks(int ticks) {
    if (ticks < 0) return forever();
    return after(ticksToDuration(ticks));
}

const timespec* Deadline::remaining(timespec* buffer) const {
    if (forever_) return nullptr;
    auto left = when_ - Clock::now();
    if (left < Clock::duration::zero()) left = Clock::duration::zero();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    buffer->tv_sec = static_cast<time_t>(ns / 1000000000);
    buffer->tv_nsec = static_cast<long>(ns % 1000000000);
    return buffer;
}

Clock::duration ticksToDuration(int ticks) {
    std::int64_t rate = vx::sysClkRateGet();
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ticks) * 1000000000 / rate);
}

int selfId() { return self().id; }

void setNextId(int next) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    reg.nextId = next;
}

bool deletionPending() { return current.task && current.task->deleted.load(); }

void checkDeleted() {
    if (deletionPending()) endSelf();
}

void endSelf() { pthread_exit(nullptr); }

int deletionFd() { return self().deleteFd; }

std::stop_token stopToken() { return self().stop.get_token(); }

int pollWait(pollfd* fds, nfds_t count, const Deadline& deadline) {
    checkDeleted();
    constexpr nfds_t kInline = 16;
    std::array<pollfd, kInline + 1> inlineSet;
    std::vector<pollfd> bigSet;
    pollfd* set = inlineSet.data();
    if (count > kInline) {
        bigSet.resize(count + 1);
        set = bigSet.data();
    }
    const int delFd = deletionFd();
    for (;;) {
        for (nfds_t i = 0; i < count; ++i) set[i] = pollfd{fds[i].fd, fds[i].events, 0};
        set[count] = pollfd{delFd, POLLIN, 0};
        timespec ts;
        int n = ::ppoll(set, count + 1, deadline.remaining(&ts), nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (set[count].revents != 0 && deletionPending()) endSelf();
        int ready = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = set[i].revents;
            if (set[i].revents != 0) ++ready;
        }
        if (ready > 0) return ready;
        if (deadline.passed()) return 0;
    }
}

int pollOne(int fd, short events, const Deadline& deadline) {
    pollfd p{fd, events, 0};
    int n = pollWait(&p, 1, deadline);
    return n <= 0 ? n : p.revents;
}

void deleteAllCreated() {
    // Again until none is left: a task may have started one just before it was asked.
    const int me = selfId();  // before waitEnded holds the registry's lock
    for (;;) {
        std::vector<std::shared_ptr<Task>> victims = createdTasks(me);
        if (victims.empty()) return;
        for (auto& t : victims) requestEnd(*t);
        waitEnded(victims);
    }
}

}  // namespace vc::task

using vc::task::Deadline;

int ctlCreateTask(int priorityClass, int stackSize, CtlTaskEntry entry, CtlArg a1, CtlArg a2,
                  CtlArg a3, CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7, CtlArg a8, CtlArg a9,
                  CtlArg a10) {
    if (vc::hooks::shouldFail(vc::hooks::Site::TaskCreate)) return -1;
    if (!entry || priorityClass < 0 || priorityClass > 3 || stackSize < 0) {
        errno = EINVAL;
        return -1;
    }
    const int priority = vc::sched::priorityOfEntry(entry,
                                                    vc::sched::priorityOfClass(priorityClass));
    return vc::task::spawn(nullptr, "tKor", entry, {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10},
                           priority);
}

int ctlDeleteTask(int taskId) {
    vc::task::checkDeleted();
    if (taskId == 0 || taskId == vc::task::selfId()) vc::task::endSelf();
    std::shared_ptr<vc::task::Task> task = vc::task::findTask(taskId);
    if (!task) {
        errno = ESRCH;
        return -1;
    }
    vc::task::requestEnd(*task);
    vc::task::waitEnded({task});
    return 0;
}

int ctlTaskDelay(int ticks) {
    vc::task::checkDeleted();
    if (ticks <= 0) {
        sched_yield();
        return 0;
    }
    vc::task::pollWait(nullptr, 0, Deadline::afterTicks(ticks));
    return 0;
}

int ctlTaskIdSelf() { return vc::task::selfId(); }

namespace vx {

int taskSpawn(const char* name, int priority, int /*options*/, int stackSize, CtlTaskEntry entry,
              CtlArg a1, CtlArg a2, CtlArg a3, CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7,
              CtlArg a8, CtlArg a9, CtlArg a10) {
    if (vc::hooks::shouldFail(vc::hooks::Site::TaskSpawn)) return -1;
    if (!entry || priority < 0 || priority > 255 || stackSize < 0) {
        errno = EINVAL;
        return -1;
    }
    return vc::task::spawn(name, "t", entry, {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10},
                           vc::sched::priorityOfSpawn(priority));
}

const char* taskName(int taskId) {
    if (taskId == 0) return vc::task::self().name.data();
    std::shared_ptr<vc::task::Task> task = vc::task::findTask(taskId);
    // The record stays alive with the task (the registry holds it), so the
    // pointer is valid while the task lives.
    return task ? task->name.data() : nullptr;
}

int sysClkRateGet() {
    int rate = vc::settings().clockRate;
    return rate > 0 ? rate : 1000;
}

void exit(int /*status*/) { vc::task::endSelf(); }

}  // namespace vx

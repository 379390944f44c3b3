// Binary semaphores, mutexes and message queues. Objects live in id tables; ids count
// up and wrap around after INT_MAX, skipping live ones, so a stale id finds
// nothing (short of 2^31 creations later) and fails. Every wait
// is a condition-variable wait on CLOCK_MONOTONIC that a deletion of the
// object (or of the waiting task) ends.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "idCounter.h"
#include "schedule.h"
#include "taskInternal.h"

namespace {

using vc::task::Deadline;

constexpr int kMaxQueueMessages = 1 << 20;
constexpr int kMaxMessageLength = 1 << 20;

struct Semaphore {
    std::mutex lock;
    std::condition_variable_any changed;
    bool full = false;
    bool deleted = false;
};

// An error-checking pthread mutex (a holder's second take and a give by
// another task fail), with priority inheritance where the kernel has it.
struct Mutex {
    pthread_mutex_t lock;
    bool made = false;
    // The holding thread, so that a give by any other is refused before it
    // reaches the lock.
    std::atomic<bool> held{false};
    std::atomic<pthread_t> owner{};
    Mutex() {
        pthread_mutexattr_t attr;
        if (pthread_mutexattr_init(&attr) != 0) return;
        made = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
               (!vc::sched::priorityInheritanceWorks() ||
                pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0) &&
               pthread_mutex_init(&lock, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    ~Mutex() {
        if (made) pthread_mutex_destroy(&lock);
    }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
};

struct MessageQueue {
    std::mutex lock;
    std::condition_variable_any changed;
    std::size_t maxMessages = 0;
    std::size_t maxLength = 0;
    std::deque<std::vector<char>> messages;
    bool deleted = false;
};

// Objects by id. A waiter holds its own reference, so deleting the entry
// never frees an object that somebody still waits on.
template <class T>
class IdTable {
public:
    // New id (> 0): the counter wraps around and skips ids still in use.
    int add(std::shared_ptr<T> item) {
        std::lock_guard guard(lock_);
        const int id = vc::takeFreeId(nextId_, [this](int k) { return items_.count(k) != 0; });
        items_.emplace(id, std::move(item));
        return id;
    }
    void setNextId(int next) {
        std::lock_guard guard(lock_);
        nextId_ = next;
    }
    std::shared_ptr<T> find(int id) {
        std::lock_guard guard(lock_);
        auto it = items_.find(id);
        return it == items_.end() ? nullptr : it->second;
    }
    std::shared_ptr<T> remove(int id) {
        std::lock_guard guard(lock_);
        auto it = items_.find(id);
        if (it == items_.end()) return nullptr;
        auto item = std::move(it->second);
        items_.erase(it);
        return item;
    }

private:
    std::mutex lock_;
    std::unordered_map<int, std::shared_ptr<T>> items_;
    int nextId_ = 1;
};

// Never destroyed: detached tasks may still use them while the program exits.
IdTable<Semaphore>& semaphores() {
    static auto* table = new IdTable<Semaphore>;
    return *table;
}
IdTable<Mutex>& mutexes() {
    static auto* table = new IdTable<Mutex>;
    return *table;
}
IdTable<MessageQueue>& queues() {
    static auto* table = new IdTable<MessageQueue>;
    return *table;
}

// errno for a wait that ended without success.
int waitFailure(bool deleted, int ticks) {
    if (deleted) return EIDRM;
    return ticks == CTL_NO_WAIT ? EAGAIN : ETIMEDOUT;
}

}  // namespace

void vc::hooks::startIdsAt(int next) {
    semaphores().setNextId(next);
    mutexes().setNextId(next);
    queues().setNextId(next);
    vc::task::setNextId(next);
}

CtlSemId ctlSemBCreate(int /*options*/, int initialState) {
    if (vc::hooks::shouldFail(vc::hooks::Site::SemCreate)) return 0;
    if (initialState != 0 && initialState != 1) {
        errno = EINVAL;
        return 0;
    }
    auto sem = std::make_shared<Semaphore>();
    sem->full = initialState == 1;
    int id = semaphores().add(std::move(sem));
    if (id == 0) errno = ENOSPC;
    return id;
}

int ctlSemTake(CtlSemId semId, int ticks) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(vc::hooks::Site::SemTake)) return -1;
    std::shared_ptr<Semaphore> sem = semaphores().find(semId);
    if (!sem) {
        errno = EINVAL;
        return -1;
    }
    Deadline deadline = Deadline::afterTicks(ticks);
    std::unique_lock lock(sem->lock);
    vc::task::waitUntil(sem->changed, lock, deadline, [&] { return sem->full || sem->deleted; });
    if (!sem->full || sem->deleted) {
        errno = waitFailure(sem->deleted, ticks);
        return -1;
    }
    sem->full = false;
    return 0;
}

int ctlSemGive(CtlSemId semId) {
    std::shared_ptr<Semaphore> sem = semaphores().find(semId);
    if (!sem) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard guard(sem->lock);
    if (sem->deleted) {
        errno = EINVAL;
        return -1;
    }
    sem->full = true;
    sem->changed.notify_all();
    return 0;
}

int ctlSemDelete(CtlSemId semId) {
    std::shared_ptr<Semaphore> sem = semaphores().remove(semId);
    if (!sem) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard guard(sem->lock);
    sem->deleted = true;
    sem->changed.notify_all();
    return 0;
}

CtlMutexId ctlMutexCreate() {
    if (vc::hooks::shouldFail(vc::hooks::Site::MutexCreate)) return 0;
    auto mutex = std::make_shared<Mutex>();
    if (!mutex->made) {
        errno = ENOMEM;
        return 0;
    }
    const int id = mutexes().add(std::move(mutex));
    if (id == 0) errno = ENOSPC;
    return id;
}

// A bounded wait uses the realtime clock: the timed lock of a priority-
// inheritance mutex knows no other on every kernel.
int ctlMutexTake(CtlMutexId mutexId, int ticks) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(vc::hooks::Site::MutexTake)) return -1;
    std::shared_ptr<Mutex> mutex = mutexes().find(mutexId);
    if (!mutex) {
        errno = EINVAL;
        return -1;
    }
    int rc;
    if (ticks == CTL_WAIT_FOREVER || ticks < 0) {
        rc = pthread_mutex_lock(&mutex->lock);
    } else if (ticks == CTL_NO_WAIT) {
        rc = pthread_mutex_trylock(&mutex->lock);
        if (rc == EBUSY) rc = EAGAIN;
    } else {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
            vc::task::ticksToDuration(ticks));
        const long long ns = until.tv_nsec + wait.count() % 1000000000LL;
        until.tv_sec += static_cast<time_t>(wait.count() / 1000000000LL + ns / 1000000000LL);
        until.tv_nsec = static_cast<long>(ns % 1000000000LL);
        rc = pthread_mutex_timedlock(&mutex->lock, &until);
    }
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    mutex->owner.store(pthread_self(), std::memory_order_relaxed);
    mutex->held.store(true, std::memory_order_release);
    return 0;
}

int ctlMutexGive(CtlMutexId mutexId) {
    std::shared_ptr<Mutex> mutex = mutexes().find(mutexId);
    if (!mutex) {
        errno = EINVAL;
        return -1;
    }
    if (!mutex->held.load(std::memory_order_acquire) ||
        !pthread_equal(mutex->owner.load(std::memory_order_relaxed), pthread_self())) {
        errno = EPERM;
        return -1;
    }
    mutex->held.store(false, std::memory_order_relaxed);
    const int rc = pthread_mutex_unlock(&mutex->lock);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

int ctlMutexDelete(CtlMutexId mutexId) {
    if (!mutexes().remove(mutexId)) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

CtlMsgQId ctlMsgQCreate(int maxMsgs, int maxMsgLength, int /*options*/) {
    if (vc::hooks::shouldFail(vc::hooks::Site::MsgQCreate)) return 0;
    if (maxMsgs < 1 || maxMsgs > kMaxQueueMessages || maxMsgLength < 0 ||
        maxMsgLength > kMaxMessageLength) {
        errno = EINVAL;
        return 0;
    }
    auto queue = std::make_shared<MessageQueue>();
    queue->maxMessages = static_cast<std::size_t>(maxMsgs);
    queue->maxLength = static_cast<std::size_t>(maxMsgLength);
    int id = queues().add(std::move(queue));
    if (id == 0) errno = ENOSPC;
    return id;
}

int ctlMsgQSend(CtlMsgQId queueId, const char* buf, unsigned nBytes, int ticks, int priority) {
    if (ticks != CTL_NO_WAIT) vc::task::checkDeleted();
    if (vc::hooks::shouldFail(vc::hooks::Site::MsgQSend)) return -1;
    std::shared_ptr<MessageQueue> queue = queues().find(queueId);
    if (!queue) {
        errno = EINVAL;
        return -1;
    }
    if (nBytes > queue->maxLength || (!buf && nBytes > 0)) {
        errno = EMSGSIZE;
        return -1;
    }
    Deadline deadline = Deadline::afterTicks(ticks);
    std::unique_lock lock(queue->lock);
    auto room = [&] { return queue->deleted || queue->messages.size() < queue->maxMessages; };
    vc::task::waitUntil(queue->changed, lock, deadline, room);
    if (queue->deleted || queue->messages.size() >= queue->maxMessages) {
        errno = waitFailure(queue->deleted, ticks);
        return -1;
    }
    std::vector<char> message(buf, buf + nBytes);
    // Priority 1 (urgent) goes to the head of the queue, anything else to its tail.
    if (priority == 1) queue->messages.push_front(std::move(message));
    else queue->messages.push_back(std::move(message));
    queue->changed.notify_all();
    return 0;
}

int ctlMsgQReceive(CtlMsgQId queueId, char* buf, unsigned maxBytes, int ticks) {
    if (ticks != CTL_NO_WAIT) vc::task::checkDeleted();
    if (vc::hooks::shouldFail(vc::hooks::Site::MsgQReceive)) return -1;
    std::shared_ptr<MessageQueue> queue = queues().find(queueId);
    if (!queue) {
        errno = EINVAL;
        return -1;
    }
    if (!buf && maxBytes > 0) {
        errno = EINVAL;
        return -1;
    }
    Deadline deadline = Deadline::afterTicks(ticks);
    std::unique_lock lock(queue->lock);
    vc::task::waitUntil(queue->changed, lock, deadline,
                        [&] { return queue->deleted || !queue->messages.empty(); });
    if (queue->deleted || queue->messages.empty()) {
        errno = waitFailure(queue->deleted, ticks);
        return -1;
    }
    std::vector<char> message = std::move(queue->messages.front());
    queue->messages.pop_front();
    queue->changed.notify_all();
    std::size_t n = std::min<std::size_t>(message.size(), maxBytes);
    if (n > 0) std::memcpy(buf, message.data(), n);
    return static_cast<int>(n);
}

int ctlMsgQDelete(CtlMsgQId queueId) {
    std::shared_ptr<MessageQueue> queue = queues().remove(queueId);
    if (!queue) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard guard(queue->lock);
    queue->deleted = true;
    queue->messages.clear();
    queue->changed.notify_all();
    return vc::hooks::shouldFail(vc::hooks::Site::MsgQDelete) ? -1 : 0;
}

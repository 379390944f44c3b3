// Binary semaphores and message queues. Objects live in id tables; ids count
// up and wrap around after INT_MAX, skipping live ones, so a stale id finds
// nothing (short of 2^31 creations later) and fails. Every wait
// is a condition-variable wait on CLOCK_MONOTONIC that a deletion of the
// object (or of the waiting task) ends.
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "idCounter.h"
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

// Tasks of the virtual controller, as the other host files see them: every
// wait that may block must go through pollWait or waitUntil, so that deleting
// the waiting task ends it there (ctlDeleteTask).
//
// How a task ends: ctlDeleteTask marks the task, makes its deletion eventfd
// readable and requests its stop token. A waiting task wakes in pollWait (the
// eventfd is in every ppoll) or in waitUntil (the stop token wakes the
// condition variable) and calls endSelf(), which leaves through pthread_exit.
// pthread_exit unwinds the task's stack, so RAII guards below the platform call
// are released; a deletion that unwinds through a noexcept function would
// terminate the program, so no blocking platform call may be made from one.
// The caller of pollWait / waitUntil must hold no lock other than the one it
// passes to waitUntil (which is released before the task ends).
//
// A process that exits with tasks still running (a test, a program's error
// path) has them ended the same way by an exit handler, before the static
// objects they use are destroyed; it waits at most 2 s, and no task starts
// once it has run.
//
// Every task is a detached thread with the default stack, scheduled as
// schedule.h lays down.
#pragma once

#include <poll.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace vc::task {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// When a wait gives up: never, or at a point in monotonic time.
class Deadline {
public:
    static Deadline forever() { return Deadline(); }
    static Deadline at(Clock::time_point when) { return Deadline(when); }
    static Deadline after(Clock::duration d) { return Deadline(Clock::now() + d); }
    // Ticks of the system clock from now; negative (CTL_WAIT_FOREVER) is forever.
    static Deadline afterTicks(int ticks);

    bool isForever() const { return forever_; }
    Clock::time_point when() const { return when_; }
    bool passed() const { return !forever_ && Clock::now() >= when_; }
    // Time left as a ppoll time-out (zero once passed); null for forever.
    const timespec* remaining(timespec* buffer) const;

private:
    Deadline() = default;
    explicit Deadline(Clock::time_point when) : forever_(false), when_(when) {}
    bool forever_ = true;
    Clock::time_point when_{};
};

// Duration of `ticks` system clock ticks (vx::sysClkRateGet per second).
Clock::duration ticksToDuration(int ticks);

// Id of the calling task; a thread the platform did not create gets one here.
int selfId();
// The id the next new task gets (test hook vc::hooks::startIdsAt).
void setNextId(int next);
// True once the calling task has been asked to end.
bool deletionPending();
// Ends the calling task when it has been asked to end. Called at the entry of
// every blocking call, with no lock held.
void checkDeleted();
// Ends the calling task now. No platform lock may be held.
[[noreturn]] void endSelf();
// The calling task's deletion eventfd (readable once it is to end) and stop
// token (requested once it is to end), for waits built by hand.
int deletionFd();
std::stop_token stopToken();
// Deletes every task the platform created (not adopted threads, not the
// caller) and returns once they have all ended. A task asked to end starts no
// other (it ends in the attempt).
void deleteAllCreated();

// ppoll over fds[0..count) and the task's deletion eventfd until one of fds is
// ready or the deadline passes (EINTR is retried against the same deadline).
// Returns the number of ready entries of fds, 0 when the deadline passed, -1
// when ppoll fails (errno). A deletion ends the task inside the call.
int pollWait(pollfd* fds, nfds_t count, const Deadline& deadline);
// pollWait on one descriptor; returns its revents, 0 on time-out, -1 on failure.
int pollOne(int fd, short events, const Deadline& deadline);

// Waits on cv with `lock` held until pred() holds or the deadline passes, and
// returns pred(). When the task is deleted while pred() is false, the lock is
// released and the task ends. A true pred() always wins over a deletion, so a
// wait that obtained something returns it (the task ends at its next wait).
template <class Pred>
bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock,
               const Deadline& deadline, Pred pred) {
    std::stop_token token = stopToken();
    bool ok = deadline.isForever() ? cv.wait(lock, token, pred)
                                   : cv.wait_until(lock, token, deadline.when(), pred);
    if (!ok && token.stop_requested()) {
        lock.unlock();
        endSelf();
    }
    return ok;
}

}  // namespace vc::task

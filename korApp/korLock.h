// A lock for state that commands of different slots share (the FTP
// connection, the stream settings): a semaphore made at its first use, so
// that no start-up step has to know about it.
#pragma once

#include <atomic>
#include <cstdio>

#include "ctl.h"

class KorSharedSem {
public:
    // The semaphore, made now if it does not exist yet; 0 when it cannot be
    // made (tried again at the next use).
    CtlSemId get() {
        CtlSemId current = sem_.load();
        if (current != 0) return current;
        const CtlSemId made = ctlSemBCreate(0, 1);
        if (made == 0 || sem_.compare_exchange_strong(current, made)) return made;
        ctlSemDelete(made);  // another task was first
        return current;
    }

private:
    std::atomic<CtlSemId> sem_{0};
};

// Holds a KorSharedSem for one scope. Without it (the semaphore could not be
// made or taken) it prints "Error - <what>: no lock" and held() is false.
class KorSharedLock {
public:
    KorSharedLock(KorSharedSem& shared, const char* what)
        : sem_(shared.get()), held_(sem_ != 0 && ctlSemTake(sem_, CTL_WAIT_FOREVER) == 0) {
        if (!held_) std::printf("Error - %s: no lock\r\n", what);
    }
    ~KorSharedLock() {
        if (held_) ctlSemGive(sem_);
    }
    KorSharedLock(const KorSharedLock&) = delete;
    KorSharedLock& operator=(const KorSharedLock&) = delete;
    bool held() const { return held_; }

private:
    CtlSemId sem_;
    bool held_;
};

// The channel table: allocation, release, lookups and close requests.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "ctl.h"
#include "korHandleTable.h"
#include "korObserve.h"
#include "korTransport.h"

KORHDLTBL korHandleTable;

// The one way to the table's fields and to writable records.
struct KorTableAccess {
    static auto& of(KORHDLTBL* table) { return table->fields_; }
    static const auto& of(const KORHDLTBL* table) { return table->fields_; }
    // The record of a channel in use under the caller's lock; nullptr otherwise.
    static KORHANDLE* record(const KorTableLock& lock, int handle) {
        if (!lock.held() || !KORHDLTBL_InRange(handle)) return nullptr;
        KORHANDLE& h = of(lock.table_).handles[handle];
        return h.inUse == 1 ? &h : nullptr;
    }
    static KORHANDLE* record(const KorTableLock& lock, const KorChannelId& id) {
        KORHANDLE* h = record(lock, id.handle);
        return h != nullptr && h->generation == id.generation ? h : nullptr;
    }
};

namespace {

auto& of(KORHDLTBL* table) { return KorTableAccess::of(table); }
const auto& of(const KORHDLTBL* table) { return KorTableAccess::of(table); }

using TableLock = KorTableLock;

// A release that finds the table unlockable tries again this often and this
// long (20 x 50 ms) before it gives up.
constexpr int kReleaseAttempts = 20;
constexpr int kReleaseRetryMs = 50;
// A release waits for the sends in flight this many times a second at most
// (each wakes it when it leaves); a send ends by its own limit of 10 s, the
// release gives up waiting after 12 s.
constexpr int kSendWaitMs = 1000;
constexpr int kSendWaitAttempts = 12;

// Copies src into dst (size bytes), cut to size - 1 characters.
void copyText(char* dst, std::size_t size, const char* src) {
    std::size_t n = 0;
    if (src != nullptr) {
        while (n + 1 < size && src[n] != '\0') ++n;
        std::memcpy(dst, src, n);
    }
    dst[n] = '\0';
}

// The values of a free record; the generation survives, it counts openings.
void setFreeValues(KORHANDLE& h) {
    h.socket = -1;
    h.inUse = 0;
    h.ipAddress[0] = '\0';
    h.listenHandle = -1;
    h.inputQueue = nullptr;
    h.type = KORHDLTYPE_FREE;
    h.taskId = -1;
    h.taskName[0] = '\0';
    h.pipeName[0] = '\0';
    h.pipeFd = -1;
    h.port = -1;
    h.msgQ = 0;
    h.closeRequested = 0;
    h.sendLock = 0;
    h.sendsDone = 0;
    h.sendsInFlight = 0;
    h.closing = 0;
}

int findFreeRecord(const KORHDLTBL* table) {
    const auto& t = of(table);
    for (int i = t.lastHandle - 1; i >= 1; --i) {
        if (i < t.size && t.handles[i].inUse == 0) return i;
    }
    for (int i = t.size - 1; i > t.lastHandle; --i) {
        if (i >= 1 && t.handles[i].inUse == 0) return i;
    }
    return -1;
}

// Records the serving task and names the wake-up pipe after it. A name that
// does not fit the record is cut for taskName; the pipe then gets the cut name
// and the task id, which keeps pipe names unique among live tasks.
void recordTask(KORHANDLE& h) {
    h.taskId = ctlTaskIdSelf();
    const char* name = vx::taskName(h.taskId);
    const bool fits = name != nullptr && std::strlen(name) < sizeof h.taskName;
    char cut[KORHANDLE_TASKNAME_SIZE];
    copyText(cut, sizeof cut, name);
    std::memcpy(h.taskName, cut, sizeof cut);
    if (fits) {
        std::snprintf(h.pipeName, sizeof h.pipeName, "/pipe/%s", cut);
    } else {
        std::snprintf(h.pipeName, sizeof h.pipeName, "/pipe/%.20s~%x", cut,
                      static_cast<unsigned>(h.taskId));
    }
}

void openWakeUpPipe(KORHANDLE& h) {
    if (vx::pipeDevCreate(h.pipeName, 1, 1) == -1) {
        vx::perror("Error - pipeDevCreate()");
        h.pipeFd = -1;
        h.pipeName[0] = '\0';  // the release must not delete a device it did not create
        return;
    }
    h.pipeFd = vx::open(h.pipeName, vx::O_RDWR_, 0);
    if (h.pipeFd == -1) vx::perror("Error - Open()");
}

// Step 2 of a close request, under tableSem. True when the channel was in use.
bool signalClose(KORHDLTBL* table, int handle) {
    KORHANDLE& h = of(table).handles[handle];
    if (h.inUse == 0) return false;
    h.closeRequested = 1;
    if (h.type == KORHDLTYPE_RS232) {
        // With sends in flight the last of them closes the port (unpin).
        if (h.socket != -1 && h.sendsInFlight == 0) {
            ctlRsClose(h.socket);
            h.socket = -1;
        }
    } else if (h.pipeFd == -1) {
        std::printf("No pipe defined in Handle %d\r\n", handle);
    } else if (h.pipeName[0] == '\0') {
        // An earlier request deleted the device after a failed wake-up: the
        // task is woken already.
    } else {
        // The pipe holds one byte; a request finding one pending adds nothing
        // (the write fails at once, it never blocks while tableSem is held).
        const char x = KORHDLTBL_CLOSE_BYTE;
        if (vx::write(h.pipeFd, &x, 1) == -1 && errno != EAGAIN) {
            // Unwoken, the task would hold the channel for good. Deleting the
            // device wakes it as well: its descriptor turns readable.
            vx::perror("Error - waking the channel's task");
            if (vx::pipeDevDelete(h.pipeName, true) == 0) h.pipeName[0] = '\0';
        }
    }
    return true;
}

// Removes up to `most` of the oldest bytes through a small buffer of its own:
// a release or a drop must not depend on free memory (the queue's clear needs
// a scratch buffer).
void drop(KORCHQUE* q, int most = std::numeric_limits<int>::max()) {
    std::array<char, 256> sink{};
    while (most > 0) {
        const int n = KORCHQUE_Pop(q, sink.data(), std::min(most, static_cast<int>(sink.size())));
        if (n <= 0) break;
        most -= n;
    }
}

void releaseQueue(KORCHQUE* q) {
    drop(q);
    KORCHQUE_Delete(q);
}

// What a channel cannot work without: a channel missing one of them would
// lose what it receives or leave its readers without a lock or a signal.
struct ChannelParts {
    KORCHQUE* queue = nullptr;
    CtlSemId sem = 0;
    CtlMsgQId msgQ = 0;
    CtlMutexId sendLock = 0;
    CtlSemId sendsDone = 0;
};

void releaseParts(const ChannelParts& parts) {
    if (parts.msgQ != 0) ctlMsgQDelete(parts.msgQ);
    if (parts.sem != 0) ctlSemDelete(parts.sem);
    if (parts.sendLock != 0) ctlMutexDelete(parts.sendLock);
    if (parts.sendsDone != 0) ctlSemDelete(parts.sendsDone);
    KORCHQUE_Delete(parts.queue);
}

// The send side of a channel; false (nothing kept) when one cannot be made.
bool makeSendParts(ChannelParts* parts) {
    parts->sendLock = ctlMutexCreate();
    if (parts->sendLock == 0) {
        vx::perror("Error - ctlMutexCreate()");
        return false;
    }
    parts->sendsDone = ctlSemBCreate(0, 0);
    if (parts->sendsDone == 0) vx::perror("Error - ctlSemBCreate()");
    return parts->sendsDone != 0;
}

// Made before tableSem is taken; false (nothing kept) when one cannot be.
bool makeParts(ChannelParts* parts) {
    parts->queue = KORCHQUE_Create();
    if (parts->queue == nullptr) {
        std::printf("Error - channel input queue: out of memory\r\n");
        return false;
    }
    parts->sem = ctlSemBCreate(0, 1);
    if (parts->sem == 0) vx::perror("Error - ctlSemBCreate()");
    if (parts->sem != 0) {
        parts->msgQ = ctlMsgQCreate(1, 1, 0);
        if (parts->msgQ == 0) vx::perror("Error - ctlMsgQCreate()");
    }
    if (parts->sem != 0 && parts->msgQ != 0 && makeSendParts(parts)) return true;
    releaseParts(*parts);
    return false;
}

// Takes the table for a release, trying again for a second; false when it
// could not be had.
bool lockForRelease(KORHDLTBL* table, std::optional<TableLock>* lock) {
    for (int attempt = 0; !*lock || !(*lock)->held(); ++attempt) {
        if (attempt == kReleaseAttempts) return false;
        if (attempt > 0) ctlTaskDelay(ctlMsToTicks(kReleaseRetryMs));
        lock->emplace(table);
    }
    return true;
}

// True once no send is pinned to the channel (read under tableSem).
bool sendsLeft(KORHDLTBL* table, int handle) {
    std::optional<TableLock> lock;
    return !lockForRelease(table, &lock) || of(table).handles[handle].sendsInFlight > 0;
}

// Waits until the sends in flight on a closing channel have left; each of
// them was woken by the shutdown and ends at the latest by its own limit.
void waitForSends(KORHDLTBL* table, int handle, CtlSemId sendsDone) {
    for (int attempt = 0; attempt < kSendWaitAttempts; ++attempt) {
        if (ctlSemTake(sendsDone, ctlMsToTicks(kSendWaitMs)) != 0 && errno != ETIMEDOUT) {
            ctlTaskDelay(ctlMsToTicks(kReleaseRetryMs));  // a take that failed at once
        }
        if (!sendsLeft(table, handle)) return;
    }
    std::printf("Error - channel %d: a send did not end; closed under it\r\n", handle);
}

// Marks the channel closing and, when sends are in flight, wakes them and
// waits for them with the table unlocked. False when the table could not be
// locked again afterwards (the lock then holds nothing).
bool endSends(KORHDLTBL* table, int handle, std::optional<TableLock>* lock) {
    KORHANDLE& h = of(table).handles[handle];
    h.closing = 1;
    if (h.sendsInFlight == 0) return true;
    if (h.type != KORHDLTYPE_RS232 && h.socket != -1 && ctlShutdown(h.socket) == -1) {
        vx::perror("Error - ctlShutdown()");
    }
    const CtlSemId sendsDone = h.sendsDone;
    lock->reset();
    waitForSends(table, handle, sendsDone);
    return lockForRelease(table, lock);
}

}  // namespace

int KORHDLTBL_Init(KORHDLTBL* table) {
    auto& t = of(table);
    t.tableSem = ctlMutexCreate();
    if (t.tableSem == 0) {
        vx::perror("Error - channel table: ctlMutexCreate()");
        return -1;
    }
    t.size = KORHDLTBL_SIZE;
    t.lastHandle = t.size;
    for (int i = t.size - 1; i >= 1; --i) setFreeValues(t.handles[i]);
    return 0;
}

int KORHDLTBL_GetHandle(KORHDLTBL* table, int type, int socket) {
    ChannelParts parts;
    if (!makeParts(&parts)) return -1;
    TableLock lock(table);
    const int index = lock.held() ? findFreeRecord(table) : -1;
    if (index < 0) {
        releaseParts(parts);
        return -1;
    }
    KORHANDLE& h = of(table).handles[index];
    h.inUse = 1;
    h.socket = socket;
    h.type = type;
    h.closeRequested = 0;
    ++h.generation;
    h.inputQueue = parts.queue;
    h.handleSem = parts.sem;
    h.msgQ = parts.msgQ;
    h.sendLock = parts.sendLock;
    h.sendsDone = parts.sendsDone;
    h.sendsInFlight = 0;
    h.closing = 0;
    const bool filling = ctlSemTake(h.handleSem, CTL_WAIT_FOREVER) == 0;
    recordTask(h);
    openWakeUpPipe(h);
    of(table).lastHandle = index;
    if (filling) ctlSemGive(h.handleSem);
    kor_countChannelOpened(type);
    return index;
}

int KORHDLTBL_CloseHandle(KORHDLTBL* table, int handle) {
    if (handle < 1 || handle >= KORHDLTBL_SIZE) return -1;
    // Only the owner releases: given up, the channel would stay taken for good.
    std::optional<TableLock> lock;
    if (!lockForRelease(table, &lock)) return KORHDLTBL_NO_LOCK;
    KORHANDLE& h = of(table).handles[handle];
    if (h.inUse == 0) return 0;
    if (!endSends(table, handle, &lock)) return KORHDLTBL_NO_LOCK;
    kor_countChannelClosed(h.type);
    if (h.socket != -1) {
        const int rc = h.type == KORHDLTYPE_RS232 ? ctlRsClose(h.socket) : ctlClose(h.socket);
        if (rc == -1) vx::perror("Error - ctlClose()");
    }
    if (h.msgQ != 0) ctlMsgQDelete(h.msgQ);
    releaseQueue(h.inputQueue);
    if (vx::close(h.pipeFd) == -1) vx::perror("Error - Closing pipe");
    if (h.pipeName[0] != '\0' && vx::pipeDevDelete(h.pipeName, true) == -1) {
        vx::perror("Error - pipeDevDelete");
    }
    ctlSemDelete(h.handleSem);
    ctlMutexDelete(h.sendLock);
    ctlSemDelete(h.sendsDone);
    setFreeValues(h);
    return 0;
}

int KORHDLTBL_GetHandleFromListenHandleByIP(KORHDLTBL* table, int listenHandle,
                                            const char* ipText) {
    if (listenHandle < 1 || listenHandle >= KORHDLTBL_SIZE || ipText == nullptr) return -1;
    TableLock lock(table);
    if (!lock.held()) return KORHDLTBL_NO_LOCK;
    for (int i = of(table).size - 1; i >= 1; --i) {
        const KORHANDLE& h = of(table).handles[i];
        if (h.inUse == 1 && h.listenHandle == listenHandle &&
            std::strcmp(h.ipAddress, ipText) == 0) {
            return i;
        }
    }
    return -1;
}

int KORHDLTBL_GetNumberOfActiveHandles(KORHDLTBL* table, char* buf, int bufSize) {
    if (buf == nullptr || bufSize <= 0) return -1;
    int len = 0;
    {
        TableLock lock(table);
        if (!lock.held()) {
            buf[0] = '\0';
            return KORHDLTBL_NO_LOCK;
        }
        bool first = true;
        for (int i = 0; i < KORHDLTBL_SIZE; ++i) {
            if (lock.find(i) == nullptr) continue;
            if (!first) {
                if (len + 1 >= bufSize - 1) break;
                buf[len++] = ',';
            }
            char number[12];
            const int n = std::snprintf(number, sizeof number, "%d", i);
            if (len + n >= bufSize - 1) break;
            std::memcpy(buf + len, number, static_cast<std::size_t>(n));
            len += n;
            first = false;
        }
    }
    buf[len] = '\0';
    return 0;
}

int KORHDLTBL_GetActiveHandle(KORHDLTBL* table, int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    TableLock lock(table);
    if (!lock.held()) return KORHDLTBL_NO_LOCK;
    return lock.find(handle) != nullptr ? 0 : -1;
}

int KORHDLTBL_RequestClose(KORHDLTBL* table, int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    CtlSemId sem;
    {
        TableLock lock(table);
        if (!lock.held()) return KORHDLTBL_NO_LOCK;
        if (!signalClose(table, handle)) return -1;
        sem = of(table).handles[handle].handleSem;
    }
    // Kept on purpose: later takers wait until the owner's release deletes it.
    ctlSemTake(sem, CTL_WAIT_FOREVER);
    return 0;
}

int KORHDLTBL_RequestCloseAll(KORHDLTBL* table) {
    CtlSemId sems[KORHDLTBL_SIZE];
    int n = 0;
    {
        TableLock lock(table);
        if (!lock.held()) return KORHDLTBL_NO_LOCK;
        for (int i = of(table).size - 1; i >= 1; --i) {
            if (signalClose(table, i)) sems[n++] = of(table).handles[i].handleSem;
        }
    }
    for (int i = 0; i < n; ++i) ctlSemTake(sems[i], CTL_WAIT_FOREVER);
    return n;
}

int KORHDLTBL_SetTransport(KORHDLTBL* table, int handle, const KorTransport& transport) {
    TableLock lock(table);
    if (!lock.held()) return KORHDLTBL_NO_LOCK;
    KORHANDLE* h = KorTableAccess::record(lock, handle);
    if (h == nullptr) return -1;
    h->type = transport.type;
    h->socket = transport.socket;
    copyText(h->ipAddress, sizeof h->ipAddress, transport.ipAddress);
    h->port = transport.port;
    h->listenHandle = transport.listenHandle;
    return 0;
}

KorChannelSend::KorChannelSend(KORHDLTBL* table, int handle) : table_(table) {
    const TableLock lock(table);
    if (!lock.held()) {
        status_ = KORHDLTBL_NO_LOCK;
        return;
    }
    KORHANDLE* h = KorTableAccess::record(lock, handle);
    if (h == nullptr || h->closing != 0) return;
    ++h->sendsInFlight;
    status_ = 0;
    id_ = KorChannelId{handle, h->generation};
    type_ = h->type;
    socket_ = h->socket;
    std::memcpy(ipAddress_, h->ipAddress, sizeof ipAddress_);
    port_ = h->port;
    sendLock_ = h->sendLock;
}

KorChannelSend::~KorChannelSend() {
    if (status_ != 0) return;
    // The release waits for this: the table is tried as long as a release would.
    std::optional<TableLock> lock;
    if (!lockForRelease(table_, &lock)) return;
    KORHANDLE* h = KorTableAccess::record(*lock, id_);
    if (h == nullptr) return;
    if (--h->sendsInFlight > 0) return;
    if (h->type == KORHDLTYPE_RS232 && h->closeRequested != 0 && h->socket != -1) {
        ctlRsClose(h->socket);  // the close request left the port to the last send
        h->socket = -1;
    }
    if (h->closing != 0) ctlSemGive(h->sendsDone);
}

int KORHDLTBL_Send(const KorChannelSend& pin, char* data, int length, unsigned kinds,
                   int unsendable) {
    if (pin.status_ != 0) return -1;
    const int handle = pin.id_.handle;
    const int type = pin.type_;
    if (type < 0 || (kinds & korSendKind(type)) == 0) {
        kor_noteSent(handle, type, data, length, unsendable);
        return unsendable;
    }
    if (ctlMutexTake(pin.sendLock_, CTL_WAIT_FOREVER) != 0) {
        vx::perror("Error - channel send lock");
        return -1;
    }
    int rc = unsendable;
    switch (type) {
        case KORHDLTYPE_TCPCLIENT:
        case KORHDLTYPE_TCPACCEPTED: rc = kor_startTCPSend(pin.socket_, data, length); break;
        case KORHDLTYPE_RS232: rc = kor_startRS232Send(pin.socket_, data, length); break;
        case KORHDLTYPE_UDP:
            rc = kor_startUDPSend(pin.socket_, pin.ipAddress_, static_cast<unsigned>(pin.port_),
                                  data, length);
            break;
        default: break;
    }
    kor_noteSent(handle, type, data, length, rc);
    ctlMutexGive(pin.sendLock_);
    return rc;
}

int KORHDLTBL_Send(KORHDLTBL* table, int handle, char* data, int length, int unsendable) {
    const KorChannelSend pin(table, handle);
    if (pin.status() != 0) return pin.status();
    return KORHDLTBL_Send(pin, data, length, KORHDLTBL_CHANNEL_SENDS, unsendable);
}

bool KORHDLTBL_DrainInput(const KorTableLock& lock, const KorChannelId& id) {
    const KORHANDLE* h = KorTableAccess::record(lock, id);
    if (h == nullptr) return false;
    drop(h->inputQueue);
    return true;
}

KorPeek KORHDLTBL_PeekInput(const KorTableLock& lock, const KorChannelId& id, char* data) {
    const KORHANDLE* h = KorTableAccess::record(lock, id);
    if (h == nullptr) return KorPeek{};
    return KorPeek{KORCHQUE_Show(h->inputQueue, data), h->inputQueue->removed};
}

bool KORHDLTBL_DropPeeked(KORHDLTBL* table, const KorChannelId& id, const KorPeek& peek) {
    TableLock lock(table);
    const KORHANDLE* h = KorTableAccess::record(lock, id);
    if (h == nullptr) return lock.held();
    const std::uint32_t takenSince = h->inputQueue->removed - peek.mark;
    if (takenSince < static_cast<std::uint32_t>(peek.len)) {
        drop(h->inputQueue, peek.len - static_cast<int>(takenSince));
    }
    return true;
}

bool KORHDLTBL_CloseRequested(KORHDLTBL* table, int handle) {
    if (!KORHDLTBL_InRange(handle)) return true;
    TableLock lock(table);
    // Not known without the lock: the serving loop looks again at its next pass.
    return lock.held() && of(table).handles[handle].closeRequested != 0;
}

KorTableLock::KorTableLock(KORHDLTBL* table)
    : table_(table), held_(ctlMutexTake(of(table).tableSem, CTL_WAIT_FOREVER) == 0) {
    if (!held_) std::printf("Error - channel table: no lock\r\n");
}

KorTableLock::~KorTableLock() {
    if (held_) ctlMutexGive(of(table_).tableSem);
}

const KORHANDLE* KorTableLock::find(int handle) const {
    return KorTableAccess::record(*this, handle);
}

const KORHANDLE* KorTableLock::find(const KorChannelId& id) const {
    return KorTableAccess::record(*this, id);
}

KorChannelId KorTableLock::idOf(int handle) const {
    const KORHANDLE* h = find(handle);
    return h != nullptr ? KorChannelId{handle, h->generation} : KorChannelId{};
}

KorChannelGuard::KorChannelGuard(KORHDLTBL* table, int handle) {
    {
        TableLock lock(table);
        noTable_ = !lock.held();
        const KORHANDLE* h = lock.find(handle);
        if (h == nullptr) return;
        id_ = KorChannelId{handle, h->generation};
        sem_ = h->handleSem;
    }
    // A take that fails found the semaphore deleted: the channel is gone.
    held_ = ctlSemTake(sem_, CTL_WAIT_FOREVER) == 0;
    if (held_) {
        TableLock lock(table);
        noTable_ = !lock.held();
        open_ = lock.find(id_) != nullptr;
    }
}

KorChannelGuard::~KorChannelGuard() {
    if (held_) ctlSemGive(sem_);
}

int KORHDLTBL_PushInput(KORHDLTBL* table, int handle, const char* data, int len,
                        const CtlSockAddrIn* from) {
    TableLock lock(table);
    if (!lock.held()) return KORHDLTBL_NO_LOCK;
    const KORHANDLE* h = lock.find(handle);
    if (h == nullptr) return -1;
    const int before = h->inputQueue->count;
    const int rc = KORCHQUE_Push(h->inputQueue, data, len);
    kor_noteReceived(handle, h->type, data, len, h->inputQueue->count - before, from);
    return rc;
}

int KORHDLTBL_PopInput(KORHDLTBL* table, const KorChannelId& id, char* buf, int len) {
    TableLock lock(table);
    if (!lock.held()) return KORHDLTBL_NO_LOCK;
    const KORHANDLE* h = lock.find(id);
    return h != nullptr ? KORCHQUE_Pop(h->inputQueue, buf, len) : -1;
}

int KORHDLTBL_ClearInput(KORHDLTBL* table, int handle) {
    TableLock lock(table);
    if (!lock.held()) return 1;
    const KORHANDLE* h = lock.find(handle);
    if (h == nullptr) return -1;
    return KORCHQUE_Clear(h->inputQueue) == 0 ? 0 : 1;
}

const KORHANDLE& KORHDLTBL_Record(const KORHDLTBL* table, int handle) {
    return of(table).handles[handle];
}

CtlMutexId KORHDLTBL_TableSem(const KORHDLTBL* table) { return of(table).tableSem; }

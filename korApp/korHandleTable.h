// The channel table: the numbered communication channels a robot job opens,
// sends on, reads and closes. Handles 1..19 are handed out; -1 means none.
//
// Locks and their order:
//  - tableSem, a mutex (priority inheritance: receive tasks, commands and the
//    admin server take it), guards allocation, release and every lookup; the
//    inUse, type, socket, pipeFd, ipAddress, listenHandle, port,
//    closeRequested, closing and sendsInFlight fields; and every operation on
//    any channel's input queue. It is held for short work only, never across
//    a send or any other wait on a peer.
//  - sendLock, a mutex per channel, orders the sends on that one channel. A
//    send pins the channel first (KorChannelSend: under tableSem it counts
//    itself in sendsInFlight and copies what it needs), then sends under
//    sendLock with tableSem free, so a peer that stops reading holds up sends
//    on its own channel only. sendLock and tableSem are never held together.
//  - The release (the owner) marks the channel closing, so that no new send
//    pins it, shuts the socket down when sends are in flight (they wake and
//    fail) and waits on sendsDone until the last of them has left; only then
//    is the socket closed and the record freed, so a socket number is never
//    handed out again under a send.
//  - handleSem, one per channel, guards the filling-in of a new record inside
//    KORHDLTBL_GetHandle and is held by a KorChannelGuard (READDATA,
//    TCPISACCEPTED, the Modbus reply); a close request takes it and never gives it back, so
//    a later taker waits until the owner has released the channel (the release
//    deletes the semaphore, which wakes it, and it then finds the record free).
//  - A task holding tableSem never waits for a handleSem; a task may take
//    tableSem while it holds a handleSem.
//
// "Is this still the same channel?" is answered by the generation: every
// allocation of a record gives it a new one (KorChannelId).
//
// Records are written only in handleTable.cpp, by the operations below, each
// under the lock its fields need; everyone else reads them as const under
// tableSem (KorTableLock::find).
//
// Ownership: the task that allocates a channel serves it (receive or accept
// loop) and is the only task that releases it. Every other task makes a close
// request (KORHDLTBL_RequestClose / KORHDLTBL_RequestCloseAll).
#pragma once

#include <cstdint>

#include "ctl.h"
#include "korChQue.h"

// Channel type codes (KORHANDLE::type; -1 while the record is free).
inline constexpr int KORHDLTYPE_FREE = -1;
inline constexpr int KORHDLTYPE_NONE = 0;         // allocated, type not yet filled in
inline constexpr int KORHDLTYPE_TCPCLIENT = 1;    // outgoing TCP connection, telnet session
inline constexpr int KORHDLTYPE_TCPSERVER = 2;    // listening TCP socket
inline constexpr int KORHDLTYPE_TCPACCEPTED = 3;  // connection accepted on a listening channel
inline constexpr int KORHDLTYPE_RS232 = 4;        // serial port
inline constexpr int KORHDLTYPE_UDP = 5;          // UDP socket

inline constexpr int KORHDLTBL_SIZE = 20;                   // records 0..19; 0 is never handed out
inline constexpr int KOR_LAST_HANDLE = KORHDLTBL_SIZE - 1;  // jobs and tools name 1..this
inline constexpr int KORHANDLE_IPADDRESS_SIZE = 16;         // 15 characters and a NUL
inline constexpr int KORHANDLE_TASKNAME_SIZE = 32;
inline constexpr int KORHANDLE_PIPENAME_SIZE = 40;

// The byte a close request writes into a channel's wake-up pipe.
inline constexpr char KORHDLTBL_CLOSE_BYTE = 'x';
// A channel without a working wake-up pipe looks for a close request this
// often (seconds) while it waits.
inline constexpr int KORHDLTBL_NOPIPE_POLL_SEC = 1;

// One channel. Everything but inUse is meaningful only while inUse is 1.
struct KORHANDLE {
    std::int32_t socket;    // socket (types 1, 2, 3, 5) or serial port number (type 4); -1 none
    std::int32_t reserved;  // never set; stays 0
    std::int32_t inUse;     // 1 allocated, 0 free
    char ipAddress[KORHANDLE_IPADDRESS_SIZE];  // UDP destination / accepted peer; "" otherwise
    std::int32_t listenHandle;  // type 3: the listening channel it came in on; -1 otherwise
    KORCHQUE* inputQueue;       // owned; never null while inUse
    CtlSemId handleSem;         // owned; see the lock rules above
    std::int32_t type;          // KORHDLTYPE_*
    std::int32_t taskId;        // the serving task
    char taskName[KORHANDLE_TASKNAME_SIZE];
    char pipeName[KORHANDLE_PIPENAME_SIZE];  // "/pipe/<taskName>", "" when no pipe device was made
    std::int32_t pipeFd;                     // wake-up pipe, opened read-write; -1 none
    std::int32_t port;                       // UDP: destination port of sends; -1 otherwise
    CtlMsgQId msgQ;  // data-arrival signal: one pending message of one byte; 0 none
    // Set by a close request. The serving loop of a channel without a working
    // wake-up pipe looks at it every KORHDLTBL_NOPIPE_POLL_SEC seconds, so such
    // a channel can be ended too.
    std::int32_t closeRequested;
    std::uint32_t generation;    // counts the allocations of this record
    CtlMutexId sendLock;         // owned; orders the sends on this channel
    CtlSemId sendsDone;          // owned; given when the last send leaves a closing channel
    std::int32_t sendsInFlight;  // sends pinned to this opening
    std::int32_t closing;        // the release has begun: no new send pins it
};

// One opening of a channel: a handle released and handed out again in
// between has another generation.
struct KorChannelId {
    int handle = -1;
    std::uint32_t generation = 0;
};

// Only handleTable.cpp reaches the fields (KorTableAccess is defined there):
// every other file works through the operations below and reads records as
// const, so the lock rules above cannot be bypassed by a caller.
class KORHDLTBL {
    friend struct KorTableAccess;
    struct Fields {
        KORHANDLE handles[KORHDLTBL_SIZE];
        CtlMutexId tableSem;
        std::int32_t size;        // KORHDLTBL_SIZE
        std::int32_t lastHandle;  // most recently allocated record; size after init
    };
    Fields fields_;
};

// The one table of the program.
extern KORHDLTBL korHandleTable;

// Holds the table's tableSem for one scope; the records it finds may be read
// while it lives, and the operations that take a lock work under it. A take
// that fails prints "Error - channel table: no lock" and holds nothing: held()
// is false, find() finds nothing, and the caller answers with its failure
// (never as if the channel were free).
class KorTableLock {
public:
    explicit KorTableLock(KORHDLTBL* table);
    ~KorTableLock();
    KorTableLock(const KorTableLock&) = delete;
    KorTableLock& operator=(const KorTableLock&) = delete;

    bool held() const { return held_; }
    // The record of a channel in use; nullptr when free, outside 0..19 or not held.
    const KORHANDLE* find(int handle) const;
    // The record if it is still the same opening; nullptr otherwise.
    const KORHANDLE* find(const KorChannelId& id) const;
    // The current opening of handle; handle -1 when not in use.
    KorChannelId idOf(int handle) const;

private:
    friend struct KorTableAccess;
    KORHDLTBL* table_;
    bool held_;
};

// Holds a channel's handleSem for one scope, pinned to the opening found at
// construction. A channel that is free, or is released while we wait (a
// pending close request keeps its semaphore taken until the release deletes
// it), is not held: open() is false.
class KorChannelGuard {
public:
    KorChannelGuard(KORHDLTBL* table, int handle);
    ~KorChannelGuard();
    KorChannelGuard(const KorChannelGuard&) = delete;
    KorChannelGuard& operator=(const KorChannelGuard&) = delete;

    bool open() const { return open_; }
    // The table could not be locked: open() is false, but the channel may well be.
    bool noTable() const { return noTable_; }
    const KorChannelId& id() const { return id_; }

private:
    KorChannelId id_;
    CtlSemId sem_ = 0;
    bool held_ = false;
    bool open_ = false;
    bool noTable_ = false;
};

// True for a handle that may index the table (0..19). Handles from outside
// (job parameters, admin requests) are checked with it before any access; a
// handle outside the range reads as a channel not in use.
constexpr bool KORHDLTBL_InRange(int handle) { return handle >= 0 && handle < KORHDLTBL_SIZE; }

// What the functions below return when the table could not be locked (the
// channel's state is then unknown; callers answer with their failure).
inline constexpr int KORHDLTBL_NO_LOCK = -2;

// Called once at start before any channel exists. Returns 0, or -1 with a
// message when the table's semaphore cannot be made (nothing may start then).
int KORHDLTBL_Init(KORHDLTBL* table);
// Allocates a record for the calling task, which becomes its owner: a new
// input queue, handleSem, sendLock, sendsDone, wake-up pipe and msgQ. Returns
// 1..19, or -1 when no record is free, the table cannot be locked, or one of
// the queue, semaphores, mutex or msgQ cannot be created (a channel without a wake-up pipe is still
// handed out). The caller closes its transport on -1. Search order: lastHandle-1 down to 1, then
// size-1 down to lastHandle+1 (the most recently allocated record is not reused at once).
int KORHDLTBL_GetHandle(KORHDLTBL* table, int type, int socket);
// Releases an allocated record and everything it owns (transport, queue,
// msgQ, pipe, semaphores, sendLock). Called only by the owner. Sends still in
// flight are woken (ctlShutdown) and waited for before the socket is closed.
// Returns 0; a free record is left alone (0), a handle outside 1..19 gives -1.
// A table that cannot be locked is tried again for a second before NO_LOCK is
// returned.
int KORHDLTBL_CloseHandle(KORHDLTBL* table, int handle);
// The channel accepted on listenHandle from the peer ipText (exact text), the
// highest such handle; -1 when none, NO_LOCK.
int KORHDLTBL_GetHandleFromListenHandleByIP(KORHDLTBL* table, int listenHandle, const char* ipText);
// The allocated handles as text, ascending, separated by ",", e.g. "3,17,19";
// "" when none. A list that does not fit stops early (it may end in ",").
// Returns 0, or NO_LOCK (the list is then "").
int KORHDLTBL_GetNumberOfActiveHandles(KORHDLTBL* table, char* buf, int bufSize);
// 0 when handle is allocated, -1 when free or outside 0..19, NO_LOCK.
int KORHDLTBL_GetActiveHandle(KORHDLTBL* table, int handle);

// Close request (CLOSEHANDLE, the admin server's close): asks the owner of
// `handle` to end the channel and returns without waiting for the release. A
// serial channel has its port closed (by the last send to leave, when sends
// are in flight); any other channel gets the close byte in
// its wake-up pipe (or, without a pipe, "No pipe defined in Handle %d\r\n" and
// the closeRequested flag, which its loop sees within a second). Afterwards
// the channel's handleSem is taken and kept. Returns 0, or -1 when the handle
// is outside 0..19 or not in use (nothing printed: callers word that), NO_LOCK.
int KORHDLTBL_RequestClose(KORHDLTBL* table, int handle);
// The same for every channel in use (CLOSEALL): all are signalled under one
// hold of tableSem, their handleSems are taken afterwards. Returns how many,
// or NO_LOCK (none was asked).
int KORHDLTBL_RequestCloseAll(KORHDLTBL* table);

// A new channel's transport, filled in by its owner after the allocation.
struct KorTransport {
    int type = KORHDLTYPE_NONE;  // KORHDLTYPE_*
    int socket = -1;
    // UDP destination / TCP client's or accepted peer; cut to 15 characters
    // (the commands refuse longer text before it gets here).
    const char* ipAddress = "";
    int port = -1;          // UDP: destination port; TCP: the peer's port
    int listenHandle = -1;  // accepted: the listening channel
};
// Sets the transport fields of a channel (under tableSem: a close request may
// already hold its handleSem). Returns 0, -1 when not in use (nothing set),
// NO_LOCK.
int KORHDLTBL_SetTransport(KORHDLTBL* table, int handle, const KorTransport& transport);

// A channel pinned for sending: while the object lives, the opening found at
// construction is not released and its socket not closed (the release waits
// for it). Made and dropped under tableSem, which is not held in between.
class KorChannelSend {
public:
    KorChannelSend(KORHDLTBL* table, int handle);
    ~KorChannelSend();
    KorChannelSend(const KorChannelSend&) = delete;
    KorChannelSend& operator=(const KorChannelSend&) = delete;

    // 0 pinned; -1 the channel is not in use (or being released); NO_LOCK.
    int status() const { return status_; }
    const KorChannelId& id() const { return id_; }
    int type() const { return type_; }

private:
    friend int KORHDLTBL_Send(const KorChannelSend& pin, char* data, int length, unsigned kinds,
                              int unsendable);
    KORHDLTBL* table_;
    int status_ = -1;
    KorChannelId id_;
    int type_ = KORHDLTYPE_FREE;
    int socket_ = -1;
    char ipAddress_[KORHANDLE_IPADDRESS_SIZE] = {};
    int port_ = -1;
    CtlMutexId sendLock_ = 0;
};

// Channel types as bits of a send's `kinds`.
constexpr unsigned korSendKind(int type) { return 1u << static_cast<unsigned>(type); }
// What SENDDATA and the admin ":tx" send on; listening and accepted channels are not.
inline constexpr unsigned KORHDLTBL_CHANNEL_SENDS = korSendKind(KORHDLTYPE_TCPCLIENT) |
                                                    korSendKind(KORHDLTYPE_RS232) |
                                                    korSendKind(KORHDLTYPE_UDP);
// What carries a Modbus/TCP request: a TCP connection either way, or UDP.
inline constexpr unsigned KORHDLTBL_MODBUS_SENDS = korSendKind(KORHDLTYPE_TCPCLIENT) |
                                                   korSendKind(KORHDLTYPE_TCPACCEPTED) |
                                                   korSendKind(KORHDLTYPE_UDP);

// The one send of the channels (SENDDATA, the admin ":tx", the Modbus
// request): on a pinned channel whose type is among `kinds`, by its type (TCP,
// UDP to its destination, serial), under the channel's sendLock. Another type
// gives `unsendable` without a send; a sendLock that cannot be taken gives -1
// with a message. The send is noted for the observers either way. Returns the
// transport's result; -1 when the pin holds nothing.
int KORHDLTBL_Send(const KorChannelSend& pin, char* data, int length, unsigned kinds,
                   int unsendable);
// Pins, sends by KORHDLTBL_CHANNEL_SENDS and drops the pin: -1 when the
// channel is not in use, NO_LOCK.
int KORHDLTBL_Send(KORHDLTBL* table, int handle, char* data, int length, int unsendable);
// Drops everything queued on the opening (without a scratch buffer); false
// when it is no longer the channel's opening.
bool KORHDLTBL_DrainInput(const KorTableLock& lock, const KorChannelId& id);

// A copy of a channel's queued input taken for matching, and a mark that lets
// KORHDLTBL_DropPeeked remove exactly those bytes later.
struct KorPeek {
    int len = -1;            // bytes copied; -1 when not the channel's opening
    std::uint32_t mark = 0;  // bytes that had left the queue before the copy
};
// Copies the queue into data (KORCHQUE_CAPACITY bytes; null: only counts).
KorPeek KORHDLTBL_PeekInput(const KorTableLock& lock, const KorChannelId& id, char* data);
// Removes what is left of a peeked copy: its oldest bytes, less those other
// readers took since. Bytes queued after the copy stay. False when the table
// cannot be locked; a channel released since has nothing to remove (true).
bool KORHDLTBL_DropPeeked(KORHDLTBL* table, const KorChannelId& id, const KorPeek& peek);

// True when a close request has been made for the channel (reads under
// tableSem); false when the table cannot be locked.
bool KORHDLTBL_CloseRequested(KORHDLTBL* table, int handle);

// The input queue under tableSem.
// Appends received bytes (the owner's receive loop; from: a datagram's sender,
// null otherwise). -1 when not in use, NO_LOCK.
int KORHDLTBL_PushInput(KORHDLTBL* table, int handle, const char* data, int len,
                        const CtlSockAddrIn* from = nullptr);
// Takes up to len bytes; -1 when id is no longer the channel's opening, NO_LOCK.
int KORHDLTBL_PopInput(KORHDLTBL* table, const KorChannelId& id, char* buf, int len);
// Empties the queue: 0 done, 1 the clear failed (also without the table's
// lock), -1 the channel is not in use.
int KORHDLTBL_ClearInput(KORHDLTBL* table, int handle);

// The record as it is, without lock or check: for tests and fuzz targets only.
const KORHANDLE& KORHDLTBL_Record(const KORHDLTBL* table, int handle);
// The table's lock: for tests only.
CtlMutexId KORHDLTBL_TableSem(const KORHDLTBL* table);

// Test hooks of the virtual controller: make chosen platform calls fail, and
// count what is still allocated. Only tests and test programs include this.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vc::hooks {

// Call sites that can be made to fail.
enum class Site : int {
    Malloc,
    VarRead,   // ctlGetVarData, ctlGetSVarInfo, ctlGetPosVarData
    VarWrite,  // ctlPutVarData, ctlPutSVarInfo
    IoRead,
    IoWrite,
    Socket,
    Bind,
    Listen,
    Accept,
    Connect,
    Send,
    Recv,
    SendTo,
    Select,
    TaskCreate,  // ctlCreateTask
    TaskSpawn,   // vx::taskSpawn
    SemCreate,
    MsgQCreate,
    PipeCreate,
    PipeOpen,
    RsInit,
    RsOpen,
    RsSend,
    RsRecv,
    CartPos,
    ServoSpeed,
    FileList,
    IfAddr,
    Close,  // ctlClose: the descriptor is released all the same, as close(2) does
    SemTake,
    MsgQSend,
    MsgQReceive,
    MsgQDelete,   // the queue is deleted all the same
    PipeRead,     // vx::read of a pipe device (sockets: Recv)
    PipeWrite,    // vx::write of a pipe device (sockets: Send)
    Random,       // ctlRandomBytes
    TlsSettings,  // ctlGetTlsSettings
    Shutdown,     // ctlShutdown: the socket is shut down all the same
    MutexCreate,
    MutexTake,
    Count
};

// After `skip` further calls at `site` have succeeded, the next `times` calls
// fail with errno `err` (times < 0: every call from then on).
void failAfter(Site site, int skip, int times = 1, int err = 5 /* EIO */);
// Accesses of variables of `type` touching an index in [first, last] fail
// `times` times (times < 0: until reset). write selects puts instead of gets.
void failVar(bool write, std::uint16_t type, std::uint16_t first, std::uint16_t last,
             int times = 1);
// Every ctlSend waits `ms` before it sends (0: none), to widen the window
// between a sender's look-up of a socket and its send.
void delaySends(int ms);
int sendDelayMs();
// Clears every armed failure (and the send delay).
void reset();

// Used by the platform at each site: true when this call is to fail (errno set).
bool shouldFail(Site site);
bool shouldFailVar(bool write, std::uint16_t type, std::uint16_t index);

// Sets the controller's calendar clock (vx::time, vx::clock_gettime 0) forward
// or back by `seconds` from where it now stands, as an operator or a time
// server does; the tick count (vx::tickGet) does not move. reset() undoes it.
void stepCalendar(std::int64_t seconds);
// The calendar clock's offset from the host's clock, in seconds.
std::int64_t calendarOffset();

// A connected stream socket served from memory: it reads as `bytes` and then
// as closed by the peer, and swallows whatever is sent on it. ctlRecv,
// ctlSend, ctlSelect (always ready) and ctlClose serve it without a system
// call or a wait, so a fuzz target runs a reader through a peer's bytes at
// memory speed. Not for ctlConnect, ctlAccept and the like. The descriptor,
// or -1.
int memorySocket(const char* bytes, std::size_t n);

// The next task, semaphore and message queue ids handed out start at `next`
// (to test the wrap-around near INT_MAX without 2^31 creations).
void startIdsAt(int next);

// Blocks allocated with ctlMalloc and not yet freed.
long liveAllocations();

// The name of a site as written in Site ("Malloc", "Socket", ...).
const char* siteName(Site site);

}  // namespace vc::hooks

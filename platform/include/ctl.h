// The controller platform: every call the ArvoKOR core makes into the robot
// controller and its real-time OS. This header is the whole contract; the core
// includes nothing else from the platform and no operating-system header.
//
// Conventions (unless a declaration says otherwise):
//  - results are 0 (or an id / descriptor / count) on success and -1 on failure;
//    a failing call leaves the reason in errno (standard <cerrno>), so
//    vx::perror() can print it;
//  - waits are given in ticks of the system clock (vx::sysClkRateGet() per second);
//    CTL_WAIT_FOREVER (-1) waits without limit, CTL_NO_WAIT (0) does not wait;
//  - every call may be made from any task at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- basic types

// A task argument. The controller passes ten 32-bit words; on a 64-bit host a
// word must also be able to carry a pointer (peer address text, records), so
// the argument is one machine word wide.
using CtlArg = std::intptr_t;
using CtlTaskEntry = void (*)(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                              CtlArg, CtlArg);

// Semaphore and message queue ids. 0 is never a valid id. Ids are not reused
// until the counter wraps around after 2^31 - 1 creations (and never while
// the id is live), so a stale id fails cleanly instead of reaching a
// different object.
using CtlSemId = std::int32_t;
using CtlMsgQId = std::int32_t;

inline constexpr int CTL_WAIT_FOREVER = -1;
inline constexpr int CTL_NO_WAIT = 0;

// ---------------------------------------------------------------- entry point

// Provided by the application, called once by the controller at start with ten
// arguments. It is expected to start its own task and return / end quickly.
void ctlUsrRoot(CtlArg a1, CtlArg a2, CtlArg a3, CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7,
                CtlArg a8, CtlArg a9, CtlArg a10);

// ---------------------------------------------------------------- tasks

// Creates a task running entry(a1..a10). priorityClass is 0 (highest, cyclic
// work), 1 or 3 (application); stackSize 0 picks the controller's default.
// Returns the task id (> 0) or -1.
int ctlCreateTask(int priorityClass, int stackSize, CtlTaskEntry entry, CtlArg a1, CtlArg a2,
                  CtlArg a3, CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7, CtlArg a8, CtlArg a9,
                  CtlArg a10);
// Deletes a task. 0 (or the caller's own id) ends the calling task and does not
// return. Another task ends at its next blocking platform call (or at once if it
// is blocked in one); the call returns after it has ended. -1 for an unknown id.
int ctlDeleteTask(int taskId);
// Sleeps the given number of ticks; 0 only yields the processor.
int ctlTaskDelay(int ticks);
// Id of the calling task (a task not created by the platform gets one too).
int ctlTaskIdSelf();

// ---------------------------------------------------------------- clocks

// Blocks until the next cycle of controller clock 0 or 1 (the interpolation
// clocks). Cycles are paced on absolute time: a late caller is not given a
// shortened cycle and the clock does not drift. -1 for another clock number.
int ctlClkAnnounce(int clock);

// ---------------------------------------------------------------- semaphores

// Binary semaphore; initialState 1 creates it full. options is 0. Returns 0 on failure.
CtlSemId ctlSemBCreate(int options, int initialState);
// Takes the semaphore, waiting up to `ticks`. Returns -1 on time-out, on an
// invalid id, or when the semaphore is deleted while (or before) waiting.
int ctlSemTake(CtlSemId sem, int ticks);
int ctlSemGive(CtlSemId sem);
// Deletes the semaphore; every task waiting on it wakes and its take fails.
int ctlSemDelete(CtlSemId sem);

// ---------------------------------------------------------------- mutexes

// A lock with an owner, for state that tasks of different priorities share:
// only the task that took it gives it back, and it is not recursive (a second
// take by its holder fails or waits out its time-out). Where the controller
// has priority inheritance, the holder runs at the priority of the highest
// task waiting for it, so a low-priority holder cannot keep a high-priority
// waiter behind the tasks in between. A task waiting for a mutex is deleted
// only once it holds it; a task deleted while it holds one gives it back.
using CtlMutexId = std::int32_t;

// A new mutex, free. Returns 0 on failure.
CtlMutexId ctlMutexCreate();
// Takes the mutex, waiting up to `ticks`. -1 on time-out, an invalid id, or
// when the caller holds it already.
int ctlMutexTake(CtlMutexId mutex, int ticks);
// -1 when the caller does not hold it.
int ctlMutexGive(CtlMutexId mutex);
// Deletes a mutex that no task holds or waits for.
int ctlMutexDelete(CtlMutexId mutex);

// ---------------------------------------------------------------- message queues

// A queue of at most maxMsgs messages of at most maxMsgLength bytes. Returns 0 on failure.
CtlMsgQId ctlMsgQCreate(int maxMsgs, int maxMsgLength, int options);
// Queues a message; when the queue is full waits up to `ticks` (0: fails at once).
int ctlMsgQSend(CtlMsgQId q, const char* buf, unsigned nBytes, int ticks, int priority);
// Waits up to `ticks` for a message and copies at most maxBytes of it into buf.
// Returns the number of bytes, or -1 on time-out or when the queue is deleted.
int ctlMsgQReceive(CtlMsgQId q, char* buf, unsigned maxBytes, int ticks);
// Deletes the queue; waiting receivers wake and fail.
int ctlMsgQDelete(CtlMsgQId q);

// ---------------------------------------------------------------- memory

// Null on exhaustion.
void* ctlMalloc(std::size_t size);
// Freeing null is harmless.
void ctlFree(void* ptr);

// ---------------------------------------------------------------- sockets

inline constexpr int CTL_AF_INET = 2;
inline constexpr int CTL_SOCK_STREAM = 1;
inline constexpr int CTL_SOCK_DGRAM = 2;
inline constexpr std::uint32_t CTL_INADDR_ANY = 0;
inline constexpr std::uint32_t CTL_INADDR_NONE = 0xffffffffu;

// The 16-byte socket address: length byte, family, then 14 bytes of address.
struct CtlSockAddr {
    std::uint8_t len;
    std::uint8_t family;
    char data[14];
};
// IPv4 form of the same 16 bytes: port and address in network byte order.
struct CtlSockAddrIn {
    std::uint8_t len;
    std::uint8_t family;
    std::uint16_t port;
    std::uint32_t addr;
    std::uint8_t zero[8];
};
static_assert(sizeof(CtlSockAddr) == 16 && sizeof(CtlSockAddrIn) == 16);

// Descriptor sets for ctlSelect: 2048 descriptors, sockets and pipe
// descriptors (vx::open) alike.
inline constexpr int CTL_FD_SETSIZE = 2048;
struct CtlFdSet {
    std::uint32_t bits[CTL_FD_SETSIZE / 32];
};
inline void ctlFdZero(CtlFdSet* set) {
    for (auto& word : set->bits) word = 0;
}
inline bool ctlFdValid(int fd) { return fd >= 0 && fd < CTL_FD_SETSIZE; }
inline void ctlFdSet(int fd, CtlFdSet* set) {
    if (ctlFdValid(fd)) set->bits[fd / 32] |= 1u << (fd % 32);
}
inline void ctlFdClr(int fd, CtlFdSet* set) {
    if (ctlFdValid(fd)) set->bits[fd / 32] &= ~(1u << (fd % 32));
}
inline bool ctlFdIsSet(int fd, const CtlFdSet* set) {
    return ctlFdValid(fd) && (set->bits[fd / 32] & (1u << (fd % 32))) != 0;
}

struct CtlTimeval {
    std::int32_t tv_sec;
    std::int32_t tv_usec;
};

// Socket calls with the usual meaning. A stream or datagram socket bound to
// CTL_INADDR_ANY is bound to the controller's own network address.
int ctlSocket(int domain, int type, int protocol);
int ctlBind(int s, const CtlSockAddr* addr, int addrLen);
int ctlListen(int s, int backlog);
// addr and addrLen may be null. Blocks until a connection arrives; -1 with
// errno ECONNABORTED when one was aborted before it could be taken.
int ctlAccept(int s, CtlSockAddr* addr, int* addrLen);
int ctlConnect(int s, const CtlSockAddr* addr, int addrLen);
// Sends all bytes, waiting for room as needed, but gives up 10 seconds after
// the call began (a peer that stopped reading, or one that reads a few bytes
// now and then): then the bytes sent so far are returned, or -1 with errno
// ETIMEDOUT when there were none.
int ctlSend(int s, const char* buf, int len, int flags);
// 0: the peer closed the connection.
int ctlRecv(int s, char* buf, int len, int flags);
// ctlRecv that also gives the sender's address (from and fromLen may be null).
int ctlRecvFrom(int s, char* buf, int len, int flags, CtlSockAddr* from, int* fromLen);
int ctlSendTo(int s, const char* buf, int len, int flags, const CtlSockAddr* to, int toLen);
// Waits until a descriptor of the sets is ready or the time-out passes (null:
// no limit). The sets are replaced by the ready descriptors. Returns the number
// of ready descriptors, 0 on time-out, -1 on failure.
int ctlSelect(int width, CtlFdSet* readSet, CtlFdSet* writeSet, CtlFdSet* exceptSet,
              CtlTimeval* timeout);
int ctlClose(int s);
// Shuts both directions of a socket down without releasing the descriptor:
// calls blocked on it (a send waiting for room, a receive, a select, an
// accept) wake and fail or see the end, and later sends fail. The descriptor
// stays the caller's until ctlClose, so its number cannot be handed out again
// under a call that still uses it. Also for datagram and listening sockets.
int ctlShutdown(int s);
int ctlGetsockname(int s, CtlSockAddr* addr, int* addrLen);
// Dotted text to an address in network byte order; CTL_INADDR_NONE when invalid.
std::uint32_t ctlInetAddr(const char* text);
// Address (network byte order) to dotted text allocated with ctlMalloc; the
// caller frees it with ctlFree. Null when out of memory.
char* ctlInetNtoa(std::uint32_t addr);

// Byte order helpers (network order is big-endian).
constexpr std::uint16_t ctlByteSwap16(std::uint16_t v) {
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
constexpr std::uint32_t ctlByteSwap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr std::uint16_t ctlHtons(std::uint16_t v) { return v; }
constexpr std::uint32_t ctlHtonl(std::uint32_t v) { return v; }
#else
constexpr std::uint16_t ctlHtons(std::uint16_t v) { return ctlByteSwap16(v); }
constexpr std::uint32_t ctlHtonl(std::uint32_t v) { return ctlByteSwap32(v); }
#endif
constexpr std::uint16_t ctlNtohs(std::uint16_t v) { return ctlHtons(v); }
constexpr std::uint32_t ctlNtohl(std::uint32_t v) { return ctlHtonl(v); }

// ---------------------------------------------------------------- secure connections

// Fills buf with len bytes from the controller's cryptographic random source,
// as TLS handshakes need them. 0, or -1 when the source cannot deliver (buf is
// then not to be used).
int ctlRandomBytes(unsigned char* buf, std::size_t len);

// What the controller's settings ask of the mail and FTP clients' connections
// to other servers (the controller's own FTP server is never reached by TLS).
inline constexpr int CTL_TLS_OFF = 0;
inline constexpr int CTL_TLS_STARTTLS = 1;  // mail: STARTTLS after EHLO; FTP: AUTH TLS
inline constexpr int CTL_TLS_IMPLICIT = 2;  // mail only: TLS from the first byte
inline constexpr int CTL_TLS_TEXT_SIZE = 256;
struct CtlTlsSettings {
    int mailTls;                       // CTL_TLS_OFF, _STARTTLS or _IMPLICIT
    int ftpTls;                        // CTL_TLS_OFF or CTL_TLS_STARTTLS
    char caFile[CTL_TLS_TEXT_SIZE];    // PEM bundle of the trusted certificate authorities
    char mailName[CTL_TLS_TEXT_SIZE];  // name the mail server's certificate must carry (also
                                       // sent as SNI); empty: its IPv4 address
    char ftpName[CTL_TLS_TEXT_SIZE];   // the same for the FTP servers
};
// Fills *out with NUL-terminated texts. 0, or -1 when a text does not fit
// (*out is then all off and empty).
int ctlGetTlsSettings(CtlTlsSettings* out);

// How the clients meet peers that hold on to older behaviour.
struct CtlPeerSettings {
    bool ftpTemporaryNames;       // ftp_temporary_names: job files arrive under a temporary name
    bool modbusFixedTransaction;  // modbus_transaction = fixed: id 1 sent, any id accepted
    bool modbusWaitReply;  // modbus_wait = reply: an exchange ends once its reply is complete
};
// Fills *out; always 0.
int ctlGetPeerSettings(CtlPeerSettings* out);

// ---------------------------------------------------------------- variables

// Variable type codes.
inline constexpr std::uint16_t CTL_VAR_B = 1;
inline constexpr std::uint16_t CTL_VAR_I = 2;
inline constexpr std::uint16_t CTL_VAR_D = 3;
inline constexpr std::uint16_t CTL_VAR_R = 4;
inline constexpr std::uint16_t CTL_VAR_P = 5;
inline constexpr std::uint16_t CTL_VAR_S_INFO = 9;  // S variables through ctl*SVarInfo
inline constexpr std::uint16_t CTL_VAR_S = 10;      // S variables through ctlGetVarData

inline constexpr int CTL_SVAR_MAX_CHARS = 32;  // characters an S variable holds
inline constexpr int CTL_SVAR_TEXT_SIZE = CTL_SVAR_MAX_CHARS + 1;

struct CtlVarInfo {
    std::uint16_t type;
    std::uint16_t index;
};
struct CtlVarData {
    std::uint16_t type;
    std::uint16_t index;
    std::int32_t value;
};

// Reads `count` variables; data receives one 32-bit slot per reference, in
// order: B 0..255, I the signed 16-bit value, D the signed 32-bit value, R the
// bit pattern of an IEEE 754 single. A reference of type CTL_VAR_S (only as the
// last or only element) writes the NUL-terminated text at the slot's address;
// the caller provides CTL_SVAR_TEXT_SIZE bytes there. Nothing is read when any
// reference is invalid (unknown type, index out of range).
int ctlGetVarData(const CtlVarInfo* info, std::int32_t* data, int count);
// Writes `count` variables. B takes the low 8 bits, I the low 16 bits.
// Nothing is written when any record is invalid.
int ctlPutVarData(const CtlVarData* data, int count);

// An S variable as the SVarInfo calls move it: two NUL-terminated halves of 20
// bytes, 16 characters each (first half characters 0..15, second 16..31).
struct CtlSVarInfoData {
    char half[2][20];
};
static_assert(sizeof(CtlSVarInfoData) == 40);
// info[i].type is CTL_VAR_S_INFO.
int ctlGetSVarInfo(const CtlVarInfo* info, CtlSVarInfoData* data, int count);
int ctlPutSVarInfo(const CtlVarInfo* info, const CtlSVarInfoData* data, int count);

// A P (position) variable: word 0 holds the data type in bits 0..5 (0 pulse,
// 16 base, 17 robot, 18 user, 19 user frame with its number in bits 22..27),
// word 1 the figure/tool word, words 2..7 the six coordinate values.
inline constexpr int CTL_POSVAR_WORDS = 8;
struct CtlPosVarData {
    std::int32_t word[CTL_POSVAR_WORDS];
};
// info[i].type is CTL_VAR_P.
int ctlGetPosVarData(const CtlVarInfo* info, CtlPosVarData* data, int count);

// ---------------------------------------------------------------- I/O signals

// I/O signal addresses: general signals, and register n at CTL_REGISTER_BASE + n.
inline constexpr std::uint32_t CTL_REGISTER_BASE = 1000000;

struct CtlIoInfo {
    std::uint32_t address;
};
struct CtlIoData {
    std::uint32_t address;
    std::uint32_t value;  // low 16 bits are written
};
// Reads one 16-bit value per address. Nothing is read when any address is invalid.
int ctlReadIO(const CtlIoInfo* info, std::uint16_t* values, int count);
int ctlWriteIO(const CtlIoData* data, int count);

// ---------------------------------------------------------------- serial port

// The four configuration integers of a serial port, as a job passes them:
//   config0  baud rate divided by 10 (960 = 9600 baud, 11520 = 115200 baud);
//            0 or less means 9600
//   config1  data bits 5..8; 0 means 8
//   config2  parity: 0 none, 1 odd, 2 even
//   config3  stop bits 1 or 2 (0 means 1), plus 16 for RTS/CTS flow control
//            or 32 for XON/XOFF flow control
struct CtlRsConfig {
    std::int32_t config0;
    std::int32_t config1;
    std::int32_t config2;
    std::int32_t config3;
};
// Port names: "\COM1" and "" (both the first port), "\COM2". Init checks and
// stores the configuration; Open opens the port and returns its number (>= 0).
int ctlRsInit(const char* portName, const CtlRsConfig* config);
int ctlRsOpen(const char* portName);
// 0 when all bytes were sent.
int ctlRsSend(int port, const char* buf, int len);
// Bytes received, waiting until some arrive (0 when a wake-up brought none);
// -1 when the port is not open or is closed while the call waits.
int ctlRsRecv(int port, char* buf, int len);
int ctlRsClose(int port);

// ---------------------------------------------------------------- robot

// Cartesian position of a robot: values 0..5 are X, Y, Z in micrometres and
// Rx, Ry, Rz in 0.0001 degrees, value 6 the seventh axis; `figure` (at byte
// offset 48) the posture word.
struct CtlCartPos {
    std::int32_t value[12];
    std::uint16_t figure;
    std::uint16_t toolNo;
};
static_assert(offsetof(CtlCartPos, figure) == 48);
int ctlGetCartPosEx(std::uint16_t robotNo, std::uint16_t frame, std::uint16_t tool,
                    CtlCartPos* pos);
// The servo speeds of the eight axes of a control group (0..39).
inline constexpr int CTL_SERVO_AXES = 8;
int ctlGetServoSpeed(int controlGroup, std::int32_t speeds[CTL_SERVO_AXES]);

// ---------------------------------------------------------------- job files

// A job file arrives in the job directory under its name with this suffix
// added (and a number before it) and is renamed only once complete; such a
// file is never a job file, and one left by an interrupted transfer is
// removed when the controller starts.
inline constexpr const char* CTL_TRANSFER_SUFFIX = ".kortmp";

// Rebuilds the list of job files (kind 1: job files). Count and names refer to
// the list as last rebuilt.
int ctlRefreshFileList(int kind);
int ctlGetFileCount();
// Copies the NUL-terminated name of file `index` into name (size bytes).
int ctlGetFileName(int index, char* name, int size);

// ---------------------------------------------------------------- console

// The console tap: every console write of any task (printf, vx::perror) is
// handed to the tap with the writer of the console itself; the tap decides
// what reaches the console. Writes are passed one at a time, never
// concurrently. A null tap lets everything through unchanged.
using CtlConsoleWrite = void (*)(const char* text, int length);
using CtlConsoleTap = void (*)(const char* text, int length, CtlConsoleWrite write);
void ctlConsoleTap(CtlConsoleTap tap);

// ---------------------------------------------------------------- RTOS calls

// Calls of the real-time OS itself. They keep their RTOS meaning, which differs
// from the C library calls of the same name (exit ends only the calling task).
namespace vx {

inline constexpr int O_RDONLY_ = 0;
inline constexpr int O_WRONLY_ = 1;
inline constexpr int O_RDWR_ = 2;

// Spawns a named task (null name: one is made up) at an RTOS priority 0..255.
int taskSpawn(const char* name, int priority, int options, int stackSize, CtlTaskEntry entry,
              CtlArg a1, CtlArg a2, CtlArg a3, CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7,
              CtlArg a8, CtlArg a9, CtlArg a10);
// Name of a task (0: the caller); names are unique among live tasks.
// Returns a pointer valid while the task lives, or null.
const char* taskName(int taskId);
// System clock ticks per second.
int sysClkRateGet();
// Ticks of the system clock since the controller started. It only counts
// forward and is not moved when the calendar clock is set, so every time limit
// is measured in it.
std::int64_t tickGet();

// Pipe devices: a named pipe holding at most nMessages messages of nBytes.
// Creating an existing name fails. A write that finds the pipe full fails at
// once (it never blocks); a read waits for a message. Pipe descriptors can be
// watched with ctlSelect together with sockets.
int pipeDevCreate(const char* name, int nMessages, int nBytes);
int pipeDevDelete(const char* name, bool force);
int open(const char* name, int flags, int mode);
int read(int fd, char* buf, std::size_t maxBytes);
int write(int fd, const char* buf, std::size_t nBytes);
int close(int fd);

// Ends the calling task (not the program).
[[noreturn]] void exit(int status);
// Prints "text: <error text of errno>" on the console (standard output, like
// printf); a detail (what failed: an address, a port, a channel) follows as
// " (detail)".
void perror(const char* text, const char* detail = nullptr);

// Dotted IPv4 address of a network interface ("gei1", "motetsec0") into
// addrText (at least 18 bytes).
int ifAddrGet(const char* ifName, char* addrText);
// Sends numPackets ICMP echo requests; 0 when the host answered.
int ping(const char* host, int numPackets, std::uint32_t options);
int gethostname(char* name, int nameLen);

// Calendar time: seconds since 1970, or -1 on failure.
std::int64_t time();
struct Timespec {
    std::int64_t tv_sec;
    std::int32_t tv_nsec;
};
// clockId 0 is the real-time clock.
int clock_gettime(int clockId, Timespec* ts);

}  // namespace vx

// ---------------------------------------------------------------- delays in milliseconds

// Milliseconds as ticks at `rate` ticks per second, rounded up: no delay that
// is meant to wait becomes a 0-tick yield at a slow clock, and none is cut
// short at a rate that is not a multiple of 1000. 0 or less gives 0.
constexpr int ctlMsToTicksAt(std::int64_t ms, int rate) {
    if (ms <= 0 || rate <= 0) return 0;
    if (ms > 0x7fffffff) ms = 0x7fffffff;  // keeps the product inside 64 bits
    const std::int64_t ticks = (ms * rate + 999) / 1000;
    return ticks > 0x7fffffff ? 0x7fffffff : static_cast<int>(ticks);
}
// The same at the system clock's rate.
inline int ctlMsToTicks(std::int64_t ms) { return ctlMsToTicksAt(ms, vx::sysClkRateGet()); }

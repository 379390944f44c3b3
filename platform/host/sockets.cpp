// Sockets of the virtual controller: the controller's 16-byte addresses and
// 2048-bit descriptor sets translated to Linux, blocking calls built from
// non-blocking sockets and deletable waits (taskInternal.h).
//
// The controller has its own network address (settings address, plus the
// optional second interface address): a socket bound to "any" is bound to it,
// and a socket that connects or sends unbound is first bound to it, so peers
// see the controller's address as the source. A connect to port 21 of the
// controller's own address goes to the port its FTP server really listens on.
//
// A socket closed while another task is inside a call on it is shut down (the
// other call wakes and fails or sees the end) and its descriptor is closed
// when the last such call has left, so the number cannot be reused under it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "pipeInternal.h"
#include "taskInternal.h"
#include "vc.h"

namespace {

using vc::hooks::Site;
using vc::task::Deadline;

// How long one send may take from its start, waiting for room in the
// socket's buffer (a peer that reads a few bytes now and then does not
// extend it).
constexpr auto kSendLimit = std::chrono::seconds(10);

// ------------------------------------------------------------ translation

// Controller address record -> Linux. False (errno set) when it is not IPv4.
bool toLinux(const CtlSockAddr* addr, int addrLen, sockaddr_in* out) {
    if (!addr || addrLen < static_cast<int>(sizeof(CtlSockAddrIn))) {
        errno = EINVAL;
        return false;
    }
    CtlSockAddrIn in;
    std::memcpy(&in, addr, sizeof in);
    if (in.family != CTL_AF_INET) {
        errno = EAFNOSUPPORT;
        return false;
    }
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = in.port;  // both in network order
    out->sin_addr.s_addr = in.addr;
    return true;
}

// Linux -> controller address record; writes at most *addrLen bytes.
void fromLinux(const sockaddr_in& in, CtlSockAddr* addr, int* addrLen) {
    if (!addr) return;
    CtlSockAddrIn out{};
    out.len = sizeof out;
    out.family = CTL_AF_INET;
    out.port = in.sin_port;
    out.addr = in.sin_addr.s_addr;
    int room = addrLen ? *addrLen : static_cast<int>(sizeof out);
    if (room > 0)
        std::memcpy(addr, &out, std::min<std::size_t>(static_cast<std::size_t>(room), sizeof out));
    if (addrLen) *addrLen = sizeof out;
}

int linuxType(int type) {
    if (type == CTL_SOCK_STREAM) return SOCK_STREAM;
    if (type == CTL_SOCK_DGRAM) return SOCK_DGRAM;
    return -1;
}

// Flags with the same meaning and value on both sides: out-of-band, peek,
// do not route. Anything else is dropped.
int linuxFlags(int flags) { return flags & (MSG_OOB | MSG_PEEK | MSG_DONTROUTE); }

// Address text of the settings in network order; INADDR_NONE when empty or invalid.
in_addr_t parseAddress(const std::string& text) {
    in_addr a;
    if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1) return INADDR_NONE;
    return a.s_addr;
}

in_addr_t ownAddress() {
    in_addr_t a = parseAddress(vc::settings().address);
    return a == INADDR_NONE ? htonl(INADDR_LOOPBACK) : a;
}

bool isOwnAddress(in_addr_t a) {
    return a == ownAddress() || a == parseAddress(vc::settings().altAddress);
}

// ------------------------------------------------------------ descriptor table

struct SocketState {
    int users = 0;         // calls inside on it right now
    bool closing = false;  // ctlClose came while users > 0
    bool shut = false;     // ctlShutdown came: waits on it end at once
};

std::mutex tableLock;
std::map<int, SocketState>& sockets() {
    static auto* table = new std::map<int, SocketState>;  // never destroyed
    return *table;
}

void registerSocket(int fd) {
    std::lock_guard guard(tableLock);
    sockets()[fd] = SocketState{};
}

// Marks fds as in use for the lifetime of the object. Unknown descriptors
// (pipes, serial devices) are passed through untouched.
class SocketUse {
public:
    // For calls that need fd to be one of our sockets.
    explicit SocketUse(int fd) {
        std::lock_guard guard(tableLock);
        auto it = sockets().find(fd);
        if (it == sockets().end() || it->second.closing) return;
        ++it->second.users;
        fds_.push_back(fd);
        ok_ = true;
    }
    // For ctlSelect: every socket among fds; fails when one is being closed.
    explicit SocketUse(const std::vector<int>& fds) {
        std::lock_guard guard(tableLock);
        ok_ = true;
        for (int fd : fds) {
            auto it = sockets().find(fd);
            if (it == sockets().end()) continue;
            if (it->second.closing) {
                ok_ = false;
                break;
            }
            ++it->second.users;
            fds_.push_back(fd);
        }
    }
    ~SocketUse() {
        std::vector<int> toClose;
        {
            std::lock_guard guard(tableLock);
            for (int fd : fds_) {
                auto it = sockets().find(fd);
                if (--it->second.users == 0 && it->second.closing) {
                    sockets().erase(it);
                    toClose.push_back(fd);
                }
            }
        }
        for (int fd : toClose) ::close(fd);
    }
    SocketUse(const SocketUse&) = delete;
    SocketUse& operator=(const SocketUse&) = delete;

    // True once ctlClose or ctlShutdown has come for the (first) descriptor.
    bool closing() const {
        std::lock_guard guard(tableLock);
        if (fds_.empty()) return false;
        const SocketState& state = sockets().find(fds_.front())->second;
        return state.closing || state.shut;
    }

    // False (errno EBADF) when the descriptor is no open socket.
    bool ok() const {
        if (!ok_) errno = EBADF;
        return ok_;
    }

private:
    std::vector<int> fds_;
    bool ok_ = false;
};

// ------------------------------------------------------------ helpers

// Binds an unbound socket to the controller's address, any port.
bool bindIfUnbound(int fd) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 && local.sin_port != 0)
        return true;
    local = sockaddr_in{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ownAddress();
    return ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

// The controller's FTP server may listen elsewhere than on port 21.
void mapFtpPort(sockaddr_in* to) {
    int ftpPort = vc::settings().ftpPort;
    if (to->sin_port == htons(21) && ftpPort > 0 && ftpPort != 21 && ftpPort < 65536 &&
        isOwnAddress(to->sin_addr.s_addr))
        to->sin_port = htons(static_cast<std::uint16_t>(ftpPort));
}

// Waits until fd is ready for `events`; false (errno set) on failure and
// once the socket is being closed (a shut-down socket would stay "ready").
bool waitReady(const SocketUse& use, int fd, short events,
               const Deadline& deadline = Deadline::forever()) {
    if (use.closing()) {
        errno = EBADF;
        return false;
    }
    int revents = vc::task::pollOne(fd, events, deadline);
    if (revents < 0) return false;
    if (revents == 0) {
        errno = ETIMEDOUT;
        return false;
    }
    if (revents & POLLNVAL) {
        errno = EBADF;
        return false;
    }
    return true;
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Sends all of buf (stream) or one datagram, waiting for room as needed, but
// never longer than kSendLimit from the start: a peer that stops reading must
// not hold the sender forever. Returns the bytes sent, or -1 (ETIMEDOUT when
// the time ran out) when nothing was sent.
int sendAll(const SocketUse& use, int fd, const char* buf, int len, int flags,
            const sockaddr_in* to) {
    const Deadline limit = Deadline::after(kSendLimit);
    int sent = 0;
    do {
        ssize_t n = to ? ::sendto(fd, buf + sent, static_cast<std::size_t>(len - sent),
                                  flags | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(to),
                                  sizeof *to)
                       : ::send(fd, buf + sent, static_cast<std::size_t>(len - sent),
                                flags | MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (!wouldBlock(errno) || !waitReady(use, fd, POLLOUT, limit)) return sent > 0 ? sent : -1;
    } while (sent < len);
    return sent;
}

// Select's notion of "ready" in poll terms (as Linux's own select has it).
constexpr short kReadReady = POLLIN | POLLHUP | POLLERR;
constexpr short kWriteReady = POLLOUT | POLLERR;
constexpr short kExceptReady = POLLPRI;

bool timeoutDeadline(const CtlTimeval* timeout, Deadline* deadline) {
    if (!timeout) {
        *deadline = Deadline::forever();
        return true;
    }
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) {
        errno = EINVAL;
        return false;
    }
    *deadline = Deadline::after(std::chrono::seconds(timeout->tv_sec) +
                                std::chrono::microseconds(timeout->tv_usec));
    return true;
}

}  // namespace

int ctlSocket(int domain, int type, int protocol) {
    if (vc::hooks::shouldFail(Site::Socket)) return -1;
    if (domain != CTL_AF_INET) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    int t = linuxType(type);
    if (t < 0) {
        errno = EPROTOTYPE;
        return -1;
    }
    int fd = ::socket(AF_INET, t | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
    if (fd < 0) return -1;
    if (!ctlFdValid(fd)) {  // could never be watched with ctlSelect
        ::close(fd);
        errno = EMFILE;
        return -1;
    }
    if (t == SOCK_STREAM) {
        // A closed listener's port can be listened on again at once.
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // Accepted sockets take it over from their listener.
        if (const int bytes = vc::settings().sendBuffer; bytes > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    registerSocket(fd);
    return fd;
}

int ctlBind(int s, const CtlSockAddr* addr, int addrLen) {
    if (vc::hooks::shouldFail(Site::Bind)) return -1;
    SocketUse use(s);
    sockaddr_in local;
    if (!use.ok() || !toLinux(addr, addrLen, &local)) return -1;
    if (local.sin_addr.s_addr == htonl(INADDR_ANY)) local.sin_addr.s_addr = ownAddress();
    return ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

int ctlListen(int s, int backlog) {
    if (vc::hooks::shouldFail(Site::Listen)) return -1;
    SocketUse use(s);
    if (!use.ok()) return -1;
    return ::listen(s, backlog) == 0 ? 0 : -1;
}

int ctlAccept(int s, CtlSockAddr* addr, int* addrLen) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(Site::Accept)) return -1;
    SocketUse use(s);
    if (!use.ok()) return -1;
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int c = ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &len,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c >= 0) {
            if (!ctlFdValid(c)) {
                ::close(c);
                errno = EMFILE;
                return -1;
            }
            registerSocket(c);
            fromLinux(peer, addr, addrLen);
            return c;
        }
        // A connection aborted before it was taken ends the call: the caller
        // may have other things to watch than this listener.
        if (!wouldBlock(errno)) return -1;
        if (!waitReady(use, s, POLLIN)) return -1;
    }
}

int ctlConnect(int s, const CtlSockAddr* addr, int addrLen) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(Site::Connect)) return -1;
    SocketUse use(s);
    sockaddr_in peer;
    if (!use.ok() || !toLinux(addr, addrLen, &peer)) return -1;
    mapFtpPort(&peer);
    if (!bindIfUnbound(s)) return -1;
    if (::connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    // A peer that never answers (a lost SYN) would otherwise hold the caller
    // for the kernel's retries, about two minutes.
    const Deadline limit = Deadline::after(std::chrono::seconds(vc::settings().connectTimeout));
    if (!waitReady(use, s, POLLOUT, limit)) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

// ------------------------------------------------------------ memory sockets (test hook)

namespace {

struct MemorySocket {
    std::string bytes;
    std::size_t pos = 0;
};

std::atomic<bool> anyMemorySocket{false};
std::mutex memoryLock;
std::map<int, MemorySocket>& memorySockets() {
    static auto* table = new std::map<int, MemorySocket>;  // never destroyed
    return *table;
}

bool isMemorySocket(int s) {
    if (!anyMemorySocket.load(std::memory_order_acquire)) return false;
    std::lock_guard guard(memoryLock);
    return memorySockets().count(s) != 0;
}

int memoryRecv(int s, char* buf, int len) {
    std::lock_guard guard(memoryLock);
    MemorySocket& m = memorySockets()[s];
    const std::size_t n = std::min(static_cast<std::size_t>(len), m.bytes.size() - m.pos);
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): bytes, not text
    std::memcpy(buf, m.bytes.data() + m.pos, n);
    m.pos += n;
    return static_cast<int>(n);
}

// Marks the memory sockets among the sets ready; their number, or 0 when the
// sets hold none (the real sockets are then polled as usual).
int memorySelect(int width, CtlFdSet* readSet, CtlFdSet* writeSet, CtlFdSet* exceptSet) {
    if (!anyMemorySocket.load(std::memory_order_acquire)) return 0;
    CtlFdSet readOut{}, writeOut{};
    int ready = 0;
    std::lock_guard guard(memoryLock);
    for (const auto& [fd, socket] : memorySockets()) {
        if (fd >= width) continue;
        if (readSet && ctlFdIsSet(fd, readSet)) ctlFdSet(fd, &readOut), ++ready;
        if (writeSet && ctlFdIsSet(fd, writeSet)) ctlFdSet(fd, &writeOut), ++ready;
    }
    if (ready == 0) return 0;
    if (readSet) *readSet = readOut;
    if (writeSet) *writeSet = writeOut;
    if (exceptSet) ctlFdZero(exceptSet);
    return ready;
}

bool closeMemorySocket(int s) {
    if (!anyMemorySocket.load(std::memory_order_acquire)) return false;
    std::lock_guard guard(memoryLock);
    if (memorySockets().erase(s) == 0) return false;
    ::close(s);  // the descriptor number it reserved
    return true;
}

}  // namespace

namespace vc::hooks {

int memorySocket(const char* bytes, std::size_t n) {
    // A real descriptor reserves the number, so no socket can be given it.
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (!ctlFdValid(fd)) {
        ::close(fd);
        errno = EMFILE;
        return -1;
    }
    std::lock_guard guard(memoryLock);
    memorySockets()[fd] = MemorySocket{std::string(bytes, n), 0};
    anyMemorySocket.store(true, std::memory_order_release);
    return fd;
}

}  // namespace vc::hooks

int ctlSend(int s, const char* buf, int len, int flags) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(Site::Send)) return -1;
    if (const int ms = vc::hooks::sendDelayMs(); ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (isMemorySocket(s)) return len;
    SocketUse use(s);
    if (!use.ok()) return -1;
    if (len < 0 || (!buf && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    return sendAll(use, s, buf, len, linuxFlags(flags), nullptr);
}

int ctlRecv(int s, char* buf, int len, int flags) {
    return ctlRecvFrom(s, buf, len, flags, nullptr, nullptr);
}

int ctlRecvFrom(int s, char* buf, int len, int flags, CtlSockAddr* from, int* fromLen) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(Site::Recv)) return -1;
    if (isMemorySocket(s)) return len < 0 || !buf ? -1 : memoryRecv(s, buf, len);
    SocketUse use(s);
    if (!use.ok()) return -1;
    if (len < 0 || (!buf && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        sockaddr_in peer{};
        socklen_t peerLen = sizeof peer;
        ssize_t n = ::recvfrom(s, buf, static_cast<std::size_t>(len), linuxFlags(flags),
                               from ? reinterpret_cast<sockaddr*>(&peer) : nullptr,
                               from ? &peerLen : nullptr);
        if (n >= 0) {
            if (from && peer.sin_family == AF_INET) fromLinux(peer, from, fromLen);
            return static_cast<int>(n);
        }
        if (!wouldBlock(errno) || !waitReady(use, s, POLLIN)) return -1;
    }
}

int ctlSendTo(int s, const char* buf, int len, int flags, const CtlSockAddr* to, int toLen) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(Site::SendTo)) return -1;
    SocketUse use(s);
    sockaddr_in peer;
    if (!use.ok() || !toLinux(to, toLen, &peer)) return -1;
    if (len < 0 || (!buf && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    if (!bindIfUnbound(s)) return -1;
    return sendAll(use, s, buf, len, linuxFlags(flags), &peer);
}

int ctlSelect(int width, CtlFdSet* readSet, CtlFdSet* writeSet, CtlFdSet* exceptSet,
              CtlTimeval* timeout) {
    vc::task::checkDeleted();
    if (vc::hooks::shouldFail(Site::Select)) return -1;
    Deadline deadline = Deadline::forever();
    if (width < 0 || !timeoutDeadline(timeout, &deadline)) {
        errno = EINVAL;
        return -1;
    }
    width = std::min(width, CTL_FD_SETSIZE);
    if (const int ready = memorySelect(width, readSet, writeSet, exceptSet)) return ready;

    std::vector<pollfd> polls;
    std::vector<int> fds;
    for (int fd = 0; fd < width; ++fd) {
        short events = 0;
        if (readSet && ctlFdIsSet(fd, readSet)) events |= POLLIN;
        if (writeSet && ctlFdIsSet(fd, writeSet)) events |= POLLOUT;
        if (exceptSet && ctlFdIsSet(fd, exceptSet)) events |= POLLPRI;
        if (events == 0) continue;
        polls.push_back(pollfd{fd, events, 0});
        fds.push_back(fd);
    }
    SocketUse use(fds);
    if (!use.ok()) return -1;

    int n = vc::task::pollWait(polls.data(), polls.size(), deadline);
    if (n < 0) return -1;
    CtlFdSet readOut{}, writeOut{}, exceptOut{};
    int ready = 0;
    for (const pollfd& p : polls) {
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        if ((p.events & POLLIN) && (p.revents & kReadReady)) {
            ctlFdSet(p.fd, &readOut);
            ++ready;
        }
        if ((p.events & POLLOUT) && (p.revents & kWriteReady)) {
            ctlFdSet(p.fd, &writeOut);
            ++ready;
        }
        if ((p.events & POLLPRI) && (p.revents & kExceptReady)) {
            ctlFdSet(p.fd, &exceptOut);
            ++ready;
        }
    }
    if (readSet) *readSet = readOut;
    if (writeSet) *writeSet = writeOut;
    if (exceptSet) *exceptSet = exceptOut;
    return ready;
}

namespace {

int closeDescriptor(int s) {
    if (vc::pipes::isPipe(s)) return vx::close(s);
    if (closeMemorySocket(s)) return 0;
    std::unique_lock lock(tableLock);
    auto it = sockets().find(s);
    if (it == sockets().end() || it->second.closing) {
        errno = EBADF;
        return -1;
    }
    if (it->second.users > 0) {
        // Wake the calls inside; the last of them closes the descriptor.
        it->second.closing = true;
        ::shutdown(s, SHUT_RDWR);
        return 0;
    }
    sockets().erase(it);
    lock.unlock();
    return ::close(s) == 0 ? 0 : -1;
}

}  // namespace

int ctlClose(int s) {
    const int closed = closeDescriptor(s);
    // A failed close has released the descriptor all the same, as close(2) does.
    if (closed == 0 && vc::hooks::shouldFail(Site::Close)) return -1;
    return closed;
}

int ctlShutdown(int s) {
    if (isMemorySocket(s)) return 0;
    {
        std::lock_guard guard(tableLock);
        auto it = sockets().find(s);
        if (it == sockets().end() || it->second.closing) {
            errno = EBADF;
            return -1;
        }
        it->second.shut = true;
    }
    // An unconnected datagram socket answers ENOTCONN, but its waiters are
    // woken all the same.
    if (::shutdown(s, SHUT_RDWR) != 0 && errno != ENOTCONN) return -1;
    return vc::hooks::shouldFail(Site::Shutdown) ? -1 : 0;
}

int ctlGetsockname(int s, CtlSockAddr* addr, int* addrLen) {
    SocketUse use(s);
    if (!use.ok()) return -1;
    if (!addr || !addrLen) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) != 0) return -1;
    fromLinux(local, addr, addrLen);
    return 0;
}

std::uint32_t ctlInetAddr(const char* text) {
    in_addr a;
    if (!text || ::inet_pton(AF_INET, text, &a) != 1) return CTL_INADDR_NONE;
    return a.s_addr;
}

char* ctlInetNtoa(std::uint32_t addr) {
    char* text = static_cast<char*>(ctlMalloc(INET_ADDRSTRLEN));
    if (!text) return nullptr;
    unsigned char b[4];
    std::memcpy(b, &addr, sizeof b);  // network order: first byte first
    std::snprintf(text, INET_ADDRSTRLEN, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

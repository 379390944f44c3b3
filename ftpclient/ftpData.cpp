// FTP data connections and transfers: to and from local files, memory
// buffers, and from one server to another through the controller.
//
// A transfer counts as done only when all of its data went through and the
// server confirmed it: a read that fails or times out, a short write, or a
// completion reply that does not begin with 2 makes it fail, so a cut-short
// copy is never reported as complete.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "ftpClient.h"
#include "ftpInternal.h"
#include "korSecure.h"

using ftpio::FtpSendCmd;
using ftpio::readresp;
using ftpio::setResponse;
using ftpio::socket_wait;

namespace {

// Blocks of FtpMove: the read side hands out at most this much (one ASCII line).
constexpr int MOVE_READ_BLOCK = 1024;

bool isControl(const FtpConnection* c) { return c && c->role == FTP_ROLE_CONTROL; }

void setResponseF(FtpConnection* control, const char* format, int value) {
    std::snprintf(control->lastResponse, sizeof control->lastResponse, format, value);
}

// Bytes read, 0 at the end of the data, -1 on failure or time-out.
int dataRead(char* buf, int max, FtpConnection* data) {
    if (data->lineBuffer) return ftpio::readline(buf, max, data);
    for (;;) {
        if (!socket_wait(data)) return -1;
        const int got = ftpio::countReceived(data, kor_streamRecv(data->sock, buf, max));
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

// Bytes accepted (fewer than len on a time-out), -1 on a failed send.
int dataWrite(const char* buf, int len, FtpConnection* data) {
    if (data->lineBuffer) return ftpio::writeline(buf, len, data);
    if (!socket_wait(data)) return 0;
    const int sent = kor_streamSend(data->sock, buf, len);
    // A send that stalled is a time-out; a refused one leaves the server's
    // reply to be read.
    if (sent != len && errno == ETIMEDOUT) {
        ftpio::abandon(data, "the data connection stopped taking data");
        errno = ETIMEDOUT;
    }
    return sent;
}

// The port of the PASV reply "(h1,h2,h3,h4,p1,p2)" (host order), or -1 when
// the reply has none or a number outside 0..255. The address is not used: the
// data connection goes to the control connection's server, so that a reply
// cannot have a job fetched from a host of its choosing.
int passivePort(const char* reply) {
    const char* p = std::strchr(reply, '(');
    if (!p) return -1;
    ++p;
    unsigned bytes[6];
    for (int i = 0; i < 6; ++i) {
        while (*p == ' ') ++p;
        if (*p < '0' || *p > '9') return -1;
        unsigned value = 0;
        while (*p >= '0' && *p <= '9' && value <= 255u)
            value = value * 10u + static_cast<unsigned>(*p++ - '0');
        if (value > 255u) return -1;
        bytes[i] = value;
        if (i < 5 && *p++ != ',') return -1;
    }
    return static_cast<int>(bytes[4] << 8 | bytes[5]);
}

// Passive mode: the server's data address from its PASV reply.
int askPassive(FtpConnection* control, CtlSockAddrIn* sin) {
    if (!FtpSendCmd("PASV", '2', control)) return 0;
    const int port = passivePort(control->lastResponse);
    if (port < 0) {
        std::printf("FTP: unusable PASV reply: %s", control->lastResponse);
        if (!std::strchr(control->lastResponse, '\n')) std::printf("\r\n");
        return 0;
    }
    sin->len = sizeof *sin;
    sin->family = CTL_AF_INET;
    sin->addr = control->address;
    sin->port = ctlHtons(static_cast<std::uint16_t>(port));
    return 1;
}

int connectPassive(int sock, const CtlSockAddrIn& sin) {
    CtlSockAddr addr;
    std::memcpy(&addr, &sin, sizeof addr);
    if (ctlConnect(sock, &addr, sizeof addr) == -1) {
        vx::perror("connect");
        return 0;
    }
    return 1;
}

// Active mode: listen on the control connection's local address and tell the
// server where with PORT.
int openActive(FtpConnection* control, int sock, const CtlSockAddr& local) {
    CtlSockAddrIn sin;
    std::memcpy(&sin, &local, sizeof sin);
    sin.port = 0;
    CtlSockAddr addr;
    std::memcpy(&addr, &sin, sizeof addr);
    if (ctlBind(sock, &addr, sizeof addr) == -1) {
        vx::perror("bind");
        return 0;
    }
    if (ctlListen(sock, 1) < 0) {
        vx::perror("listen");
        return 0;
    }
    int len = sizeof addr;
    if (ctlGetsockname(sock, &addr, &len) == -1) {
        vx::perror("getsockname");
        return 0;
    }
    std::memcpy(&sin, &addr, sizeof sin);
    unsigned char a[4];
    std::memcpy(a, &sin.addr, 4);
    const unsigned port = ctlNtohs(sin.port);
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "PORT %u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], port >> 8,
                  port & 0xffu);
    return FtpSendCmd(cmd, '2', control);
}

int FtpOpenPort(FtpConnection* control, FtpConnection** out, char mode, int role) {
    if (!isControl(control)) return 0;
    if (role != FTP_ROLE_READ && role != FTP_ROLE_WRITE) {
        setResponseF(control, "Invalid direction %d\n", role);
        return 0;
    }
    if (mode != FTP_MODE_ASCII && mode != FTP_MODE_IMAGE) {
        setResponseF(control, "Invalid mode %c\n", mode);
        return 0;
    }
    // The server's data address (passive) or our own (active) comes first; the
    // socket is created only once it is known.
    const bool passive = control->connectMode != FTP_CONNECT_ACTIVE;
    CtlSockAddrIn server{};
    CtlSockAddr local{};
    if (passive) {
        if (!askPassive(control, &server)) return 0;
    } else {
        int len = sizeof local;
        if (ctlGetsockname(control->sock, &local, &len) == -1) {
            vx::perror("getsockname");
            return 0;
        }
    }
    const int sock = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    if (sock == -1) {
        vx::perror("Could not create TCP socket...\r\n");
        return 0;
    }
    if (!(passive ? connectPassive(sock, server) : openActive(control, sock, local))) {
        ctlClose(sock);
        return 0;
    }
    auto* data = static_cast<FtpConnection*>(ctlMalloc(sizeof(FtpConnection)));
    if (!data) {
        vx::perror("ctlMalloc FtpOpenPort");
        ctlClose(sock);
        return 0;
    }
    std::memset(data, 0, sizeof *data);
    data->announced = -1;
    data->sock = sock;
    data->role = role;
    data->connectMode = control->connectMode;
    data->waitSeconds = control->waitSeconds;
    data->waitMicroseconds = control->waitMicroseconds;
    if (mode == FTP_MODE_ASCII) {
        data->lineBuffer = static_cast<char*>(ctlMalloc(FTPLIB_BUFSIZ));
        if (!data->lineBuffer) {
            vx::perror("ctlMalloc FtpOpenPort");
            ctlClose(sock);
            ctlFree(data);
            return 0;
        }
    }
    *out = data;
    return 1;
}

// Closes the listening socket of an active data connection; the record then
// holds no open socket.
void closeListener(FtpConnection* data) {
    ctlClose(data->sock);
    data->sock = -1;
}

int FtpAcceptConnection(FtpConnection* data, FtpConnection* control) {
    CtlFdSet set;
    ctlFdZero(&set);
    ctlFdSet(data->sock, &set);
    ctlFdSet(control->sock, &set);
    CtlTimeval limit{control->waitSeconds, control->waitMicroseconds};
    const int width = (data->sock > control->sock ? data->sock : control->sock) + 1;
    const int ready = ctlSelect(width, &set, nullptr, nullptr, &limit);
    if (ready == -1) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc formats into a per-thread buffer
        setResponse(control, std::strerror(errno));
        closeListener(data);
        return 0;
    }
    if (ready == 0) {
        closeListener(data);
        ftpio::abandon(control, "timed out waiting for connection");
        return 0;
    }
    if (ctlFdIsSet(data->sock, &set)) {
        const int accepted = ctlAccept(data->sock, nullptr, nullptr);
        const int err = errno;
        closeListener(data);
        if (accepted >= 0) {
            data->sock = accepted;
            return 1;
        }
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc formats into a per-thread buffer
        setResponse(control, std::strerror(err));
        return 0;
    }
    // The server answered on the control connection instead of connecting.
    closeListener(data);
    readresp('2', control);
    return 0;
}

// The first run of digits in text that `unit` follows; -1
// when there is none or it does not fit.
std::int64_t numberBefore(const char* text, const char* unit) {
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') continue;
        std::int64_t value = 0;
        const char* q = p;
        for (; *q >= '0' && *q <= '9'; ++q) {
            if (value > (INT64_MAX - 9) / 10) return -1;
            value = value * 10 + (*q - '0');
        }
        if (std::strncmp(q, unit, std::strlen(unit)) == 0) return value;
        p = q - 1;
    }
    return -1;
}

// The size the server gives for path (SIZE), or -1. Asked before a download
// over TLS only: there it tells a complete transfer from one cut short by a
// close without close_notify.
std::int64_t askSize(const char* path, FtpConnection* control) {
    char cmd[256];
    if (std::strlen(path) > sizeof cmd - 6) return -1;
    std::snprintf(cmd, sizeof cmd, "SIZE %s", path);
    if (!FtpSendCmd(cmd, '2', control)) return -1;
    const char* reply = control->lastResponse;
    if (std::strncmp(reply, "213 ", 4) != 0) return -1;
    return numberBefore(reply + 4, "\r\n");
}

// The byte count of a 150 reply ("... (330000 bytes)."), or -1.
std::int64_t announcedCount(const char* reply) {
    const char* open = std::strrchr(reply, '(');
    return open ? numberBefore(open + 1, " bytes)") : -1;
}

const char* commandWord(int type) {
    switch (type) {
        case FTP_ACCESS_NLST: return "NLST";
        case FTP_ACCESS_LIST: return "LIST";
        case FTP_ACCESS_RETR: return "RETR";
        case FTP_ACCESS_STOR: return "STOR";
        default: return nullptr;
    }
}

}  // namespace

int FtpAccess(const char* path, int type, char mode, FtpConnection* control, FtpConnection** out) {
    if (!isControl(control) || !out) return 0;
    if (!path && (type == FTP_ACCESS_RETR || type == FTP_ACCESS_STOR)) {
        setResponse(control, "Missing path argument for file transfer\n");
        return 0;
    }
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "TYPE %c", mode);
    if (!FtpSendCmd(cmd, '2', control)) return 0;
    const char* word = commandWord(type);
    if (!word) {
        setResponseF(control, "Invalid open type %d\n", type);
        return 0;
    }
    const int role = type == FTP_ACCESS_STOR ? FTP_ROLE_WRITE : FTP_ROLE_READ;
    if (path) {
        if (std::strlen(word) + 1 + std::strlen(path) > 255) return 0;
        std::snprintf(cmd, sizeof cmd, "%s %s", word, path);
    } else {
        std::snprintf(cmd, sizeof cmd, "%s", word);
    }
    const std::int64_t size = type == FTP_ACCESS_RETR && kor_secureIs(control->sock)
                                  ? askSize(path, control)
                                  : -1;
    FtpConnection* data = nullptr;
    if (!FtpOpenPort(control, &data, mode, role)) return 0;
    if (!FtpSendCmd(cmd, '1', control)) {
        FtpClose(data);  // no owner yet: no reply is read
        *out = nullptr;
        return 0;
    }
    data->owner = control;
    const std::int64_t count = announcedCount(control->lastResponse);
    data->announced = count >= 0 ? count : size;
    if (control->connectMode == FTP_CONNECT_ACTIVE && !FtpAcceptConnection(data, control)) {
        FtpClose(data);
        *out = nullptr;
        return 0;
    }
    // A protected control connection protects its data too (PROT P), in the
    // control connection's session, which servers may insist on.
    if (kor_secureIs(control->sock) && kor_secureFollow(data->sock, control->sock) != 0) {
        setResponse(control, "no TLS on the data connection");
        FtpClose(data);
        *out = nullptr;
        return 0;
    }
    *out = data;
    return 1;
}

int FtpRead(void* buf, int max, FtpConnection* data) {
    if (!data || !buf || max <= 0 || data->role != FTP_ROLE_READ) return 0;
    const int got = dataRead(static_cast<char*>(buf), max, data);
    return got < 0 ? 0 : got;
}

int FtpWrite(const void* buf, int len, FtpConnection* data) {
    if (!data || !buf || len <= 0 || data->role != FTP_ROLE_WRITE) return 0;
    const int accepted = dataWrite(static_cast<const char*>(buf), len, data);
    return accepted < 0 ? 0 : accepted;
}

int FtpClose(FtpConnection* data) {
    if (!data || data->role == FTP_ROLE_CONTROL) return 0;
    // Every write sends all it staged, so nothing is left to flush here.
    ctlFree(data->lineBuffer);
    if (data->sock >= 0) kor_streamClose(data->sock);
    FtpConnection* owner = data->owner;
    ctlFree(data);
    return owner ? readresp('2', owner) : 0;
}

namespace {

// Local file to the data connection in blocks of FTPLIB_BUFSIZ.
bool sendFile(std::FILE* local, char* block, FtpConnection* data) {
    for (;;) {
        const int n = static_cast<int>(std::fread(block, 1, FTPLIB_BUFSIZ, local));
        if (n > 0) {
            const int accepted = dataWrite(block, n, data);
            if (accepted != n) {
                std::printf("short write: passed %d, wrote %d\n", n, accepted < 0 ? 0 : accepted);
                return false;
            }
        }
        if (n < FTPLIB_BUFSIZ) return !std::ferror(local);
    }
}

// Data connection to the local file until the server ends the data.
bool receiveFile(std::FILE* local, char* block, FtpConnection* data) {
    for (;;) {
        const int n = dataRead(block, FTPLIB_BUFSIZ, data);
        if (n == 0) return true;
        if (n < 0) return false;  // failed or timed out before the end
        if (std::fwrite(block, 1, static_cast<std::size_t>(n), local) !=
            static_cast<std::size_t>(n)) {
            vx::perror("localfile write");
            return false;
        }
    }
}

int FtpTransfer(const char* localfile, const char* path, FtpConnection* control, int type,
                char mode) {
    if (!isControl(control)) return 0;
    const bool upload = type == FTP_ACCESS_STOR;
    // The block comes first: without it nothing is opened, created or sent.
    char* block = static_cast<char*>(ctlMalloc(FTPLIB_BUFSIZ));
    if (!block) {
        vx::perror("FtpTransfer - Error FTPLIB_BUFSIZ\r\n");
        return 0;
    }
    std::FILE* local = upload ? stdin : stdout;
    if (localfile) {
        char access[3] = {upload ? 'r' : 'w', mode == FTP_MODE_IMAGE ? 'b' : '\0', '\0'};
        local = std::fopen(localfile, access);
        if (!local) {
            // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc formats into a per-thread buffer
            setResponse(control, std::strerror(errno));
            ctlFree(block);
            return 0;
        }
    }
    FtpConnection* data = nullptr;
    if (!FtpAccess(path, type, mode, control, &data)) {
        if (localfile) std::fclose(local);
        ctlFree(block);
        return 0;
    }
    bool ok = upload ? sendFile(local, block, data) : receiveFile(local, block, data);
    ctlFree(block);
    if (std::fflush(local) != 0 && !upload) ok = false;
    if (localfile && std::fclose(local) != 0 && !upload) ok = false;
    const int confirmed = FtpClose(data);
    return ok && confirmed ? 1 : 0;
}

// Caller's bytes to the data connection in blocks of FTPLIB_BUFSIZ.
int sendBuffer(const char* buffer, int size, char* block, FtpConnection* data) {
    int staged = 0;
    for (int copied = 0; copied < size;) {
        const int n = size - copied < FTPLIB_BUFSIZ - staged ? size - copied
                                                             : FTPLIB_BUFSIZ - staged;
        std::memcpy(block + staged, buffer + copied, static_cast<std::size_t>(n));
        staged += n;
        copied += n;
        if (staged == FTPLIB_BUFSIZ) {
            const int accepted = dataWrite(block, staged, data);
            if (accepted != staged) {
                std::printf("FtpBufferedTransfer - Error FtpWrite: passed %d, wrote %d\n", staged,
                            accepted < 0 ? 0 : accepted);
                return 0;
            }
            staged = 0;
        }
    }
    if (staged > 0) {
        const int accepted = dataWrite(block, staged, data);
        if (accepted != staged) {
            std::printf("FtpBufferedTransfer - Error: passed %d, wrote %d\n", staged,
                        accepted < 0 ? 0 : accepted);
            return 0;
        }
    }
    return size;
}

// Data connection into the caller's buffer; 0 when it does not fit.
int receiveBuffer(char* buffer, int size, char* block, FtpConnection* data) {
    int stored = 0;
    for (;;) {
        const int n = dataRead(block, FTPLIB_BUFSIZ, data);
        if (n == 0) return stored;
        if (n < 0 || n > size - stored) return 0;
        std::memcpy(buffer + stored, block, static_cast<std::size_t>(n));
        stored += n;
    }
}

int FtpBufferedTransfer(char* buffer, int size, const char* path, FtpConnection* control, int type,
                        char mode) {
    if (!isControl(control) || !buffer || size < 0) return 0;
    // Taken before the transfer starts, so a failed allocation leaves the
    // server's file as it was.
    char* block = static_cast<char*>(ctlMalloc(FTPLIB_BUFSIZ));
    if (!block) {
        vx::perror("FtpBufferedTransfer - Error FTPLIB_BUFSIZ\r\n");
        return 0;
    }
    FtpConnection* data = nullptr;
    if (!FtpAccess(path, type, mode, control, &data)) {
        ctlFree(block);
        return 0;
    }
    int result = type == FTP_ACCESS_STOR ? sendBuffer(buffer, size, block, data)
                                         : receiveBuffer(buffer, size, block, data);
    ctlFree(block);
    if (!FtpClose(data)) result = 0;
    return result;
}

// Fills block with reads of at most MOVE_READ_BLOCK bytes until it cannot take
// another one. Bytes gathered; *end is set at the end of the data, *failed when
// a read failed or timed out.
int gatherBlock(char* block, FtpConnection* in, bool* end, bool* failed) {
    int used = 0;
    while (used <= FTPLIB_BUFSIZ - MOVE_READ_BLOCK) {
        const int n = dataRead(block + used, MOVE_READ_BLOCK, in);
        if (n <= 0) {
            *end = true;
            *failed = n < 0;
            break;
        }
        used += n;
    }
    return used;
}

}  // namespace

int FtpNlst(const char* outputfile, const char* path, FtpConnection* control) {
    return FtpTransfer(outputfile, path, control, FTP_ACCESS_NLST, FTP_MODE_ASCII);
}

int FtpDir(const char* outputfile, const char* path, FtpConnection* control) {
    return FtpTransfer(outputfile, path, control, FTP_ACCESS_LIST, FTP_MODE_ASCII);
}

int FtpGet(const char* outputfile, const char* path, char mode, FtpConnection* control) {
    return FtpTransfer(outputfile, path, control, FTP_ACCESS_RETR, mode);
}

int FtpPut(const char* inputfile, const char* path, char mode, FtpConnection* control) {
    return FtpTransfer(inputfile, path, control, FTP_ACCESS_STOR, mode);
}

int FtpBufferedGet(char* buffer, int size, const char* path, char mode, FtpConnection* control) {
    return FtpBufferedTransfer(buffer, size, path, control, FTP_ACCESS_RETR, mode);
}

int FtpBufferedPut(const char* buffer, int size, const char* path, char mode,
                   FtpConnection* control) {
    // The buffer is only read on an upload.
    return FtpBufferedTransfer(const_cast<char*>(buffer), size, path, control, FTP_ACCESS_STOR,
                               mode);
}

int FtpMove(FtpConnection* source, const char* sourcePath, FtpConnection* destination,
            const char* destinationPath, char mode) {
    FtpConnection* in = nullptr;
    FtpConnection* out = nullptr;
    if (!FtpAccess(sourcePath, FTP_ACCESS_RETR, mode, source, &in)) {
        std::printf("FTP Move - Error access src\r\n");
        return 0;
    }
    if (!FtpAccess(destinationPath, FTP_ACCESS_STOR, mode, destination, &out)) {
        std::printf("FTP Move - Error access dst\r\n");
        FtpClose(in);
        return -1;
    }
    // Lines (ASCII) or receives (image) are gathered into one block per write,
    // so a file of short lines does not cost one send per line.
    char block[FTPLIB_BUFSIZ];
    long long total = 0;
    bool end = false;
    bool failed = false;
    while (!end) {
        const int used = gatherBlock(block, in, &end, &failed);
        if (failed) break;
        if (used > 0 && dataWrite(block, used, out) != used) {
            failed = true;
            break;
        }
        total += used;
    }
    const int sourceDone = FtpClose(in);
    const int destinationDone = FtpClose(out);
    if (failed || !sourceDone || !destinationDone) {
        std::printf("FTP Move - Error transfer incomplete\r\n");
        return 0;
    }
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

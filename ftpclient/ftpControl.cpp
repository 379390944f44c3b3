// FTP control connections: waits, line input and output, replies, log-in and
// the operations made of one command and its reply.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl.h"
#include "ftpClient.h"
#include "ftpInternal.h"
#include "korSecure.h"
#include "korWait.h"

namespace ftpio {

FtpConnection* controlOf(FtpConnection* conn) {
    if (!conn) return nullptr;
    return conn->role == FTP_ROLE_CONTROL ? conn : conn->owner;
}

void setResponse(FtpConnection* control, const char* text) {
    if (!control) return;
    std::snprintf(control->lastResponse, sizeof control->lastResponse, "%s", text);
}

int replyLimitSeconds = 60;

int countReceived(FtpConnection* data, int got) {
    if (got > 0) data->received += got;
    if (got != 0 || !kor_streamCut(data->sock) || data->received == data->announced) return got;
    std::printf("TLS data connection ended without close_notify after %lld bytes\r\n",
                static_cast<long long>(data->received));
    setResponse(controlOf(data), "TLS data connection ended without close_notify");
    errno = ECONNRESET;
    return -1;
}

namespace {

// The record's wait limit, cut to what is left of the reply's deadline. False
// when the deadline has passed.
bool waitLimit(const FtpConnection* conn, CtlTimeval* limit) {
    *limit = CtlTimeval{conn->waitSeconds, conn->waitMicroseconds};
    if (conn->replyDeadline == 0) return true;
    const std::int64_t left = conn->replyDeadline - vx::tickGet();
    if (left <= 0) return false;
    const std::int64_t rate = vx::sysClkRateGet();
    const std::int64_t limitUs = std::int64_t{limit->tv_sec} * 1000000 + limit->tv_usec;
    const std::int64_t leftUs = left * 1000000 / rate + 1;
    if (leftUs < limitUs)
        *limit = CtlTimeval{static_cast<std::int32_t>(leftUs / 1000000),
                            static_cast<std::int32_t>(leftUs % 1000000)};
    return true;
}

}  // namespace

namespace {

void closeSocket(FtpConnection* conn) {
    if (conn && conn->sock != -1) {
        kor_streamDiscard(conn->sock);
        conn->sock = -1;
    }
}

}  // namespace

void abandon(FtpConnection* conn, const char* why) {
    FtpConnection* control = controlOf(conn);
    closeSocket(conn);
    closeSocket(control);
    setResponse(control, why);
}

int socket_wait(FtpConnection* conn) {
    if (!ctlFdValid(conn->sock)) return 0;
    CtlTimeval limit;
    if (!waitLimit(conn, &limit)) {
        abandon(conn, "no complete reply within the time limit");
        errno = ETIMEDOUT;
        return 0;
    }
    const KorReadiness what = conn->role == FTP_ROLE_WRITE ? KorReadiness::Write
                                                           : KorReadiness::Read;
    const int ready = kor_waitSocket(conn->sock, what, &limit);
    if (ready == -1) {
        // The text of an unknown value is per thread (glibc 2.32+).
        // NOLINTNEXTLINE(concurrency-mt-unsafe)
        setResponse(controlOf(conn), std::strerror(errno));
        return 0;
    }
    if (ready == 0) {
        abandon(conn, "no answer within the time limit");
        errno = ETIMEDOUT;  // for the caller's report
    }
    return ready;
}

namespace {

bool endsWithCrLf(const char* buf, int n) {
    return n >= 2 && buf[n - 2] == '\r' && buf[n - 1] == '\n';
}

// One byte from the socket. 1 stored, 0 peer closed, -1 failure or a peer that
// stays silent for longer than the wait limit (also in the middle of a line).
int receiveByte(FtpConnection* conn, char* c, bool waitFirst) {
    for (bool wait = waitFirst;; wait = true) {
        if (wait && !socket_wait(conn)) return -1;
        const int got = kor_streamRecv(conn->sock, c, 1);
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

// Control connections read one byte per receive, so that nothing behind the
// reply is taken from the socket.
int readlineUnbuffered(char* buf, int max, FtpConnection* conn) {
    if (!socket_wait(conn)) return -1;
    int n = 0;
    while (n < max - 1) {
        char c;
        const int got = receiveByte(conn, &c, n > 0);
        if (got < 0) return -1;
        if (got == 0) break;
        buf[n++] = c;
        if (c == '\n' && endsWithCrLf(buf, n)) break;
    }
    buf[n] = '\0';
    return n;
}

// Data connections own a read-ahead buffer (lineBuffer), so a line costs no
// more than one receive per buffer full.
int refill(FtpConnection* conn) {
    for (;;) {
        if (!socket_wait(conn)) return -1;
        const int got = countReceived(conn,
                                      kor_streamRecv(conn->sock, conn->lineBuffer, FTPLIB_BUFSIZ));
        if (got >= 0) {
            conn->readPos = 0;
            conn->readLen = got;
            return got;
        }
        if (errno != EINTR) return -1;
    }
}

int readlineBuffered(char* buf, int max, FtpConnection* conn) {
    int n = 0;
    while (n < max - 1) {
        if (conn->readPos >= conn->readLen) {
            const int got = refill(conn);
            if (got < 0) return -1;
            if (got == 0) break;
        }
        const char c = conn->lineBuffer[conn->readPos++];
        buf[n++] = c;
        if (c == '\n' && endsWithCrLf(buf, n)) break;
    }
    buf[n] = '\0';
    return n;
}

// Sends the staged bytes; `site` numbers the message of a short send.
int flushStaged(FtpConnection* conn, int count, int site) {
    const int sent = kor_streamSend(conn->sock, conn->lineBuffer, count);
    if (sent != count) {
        const int err = errno;
        std::printf("ctlSend(%d) returned %d, errno = %d\n", site, sent, err);
        if (err == ETIMEDOUT) abandon(conn, "the data connection stopped taking data");
        return -1;
    }
    return 0;
}

}  // namespace

int readline(char* buf, int max, FtpConnection* conn) {
    if (!conn || !buf || (conn->role != FTP_ROLE_CONTROL && conn->role != FTP_ROLE_READ)) return -1;
    if (max <= 0) return 0;
    if (conn->role == FTP_ROLE_READ && conn->lineBuffer) return readlineBuffered(buf, max, conn);
    return readlineUnbuffered(buf, max, conn);
}

int writeline(const char* buf, int len, FtpConnection* conn) {
    if (!conn || conn->role != FTP_ROLE_WRITE || !conn->lineBuffer) return -1;
    int staged = 0;
    for (int i = 0; i < len; ++i) {
        const char c = buf[i];
        // The CR state carries over from the previous call, so a CR LF split
        // between two writes is not given a second CR.
        if (c == '\n' && !conn->lastWasCR) {
            if (staged == FTPLIB_BUFSIZ) {
                if (!socket_wait(conn)) return i;
                if (flushStaged(conn, staged, 1) < 0) return -1;
                staged = 0;
            }
            conn->lineBuffer[staged++] = '\r';
        }
        if (staged == FTPLIB_BUFSIZ) {
            if (!socket_wait(conn)) return i;
            if (flushStaged(conn, staged, 2) < 0) return -1;
            staged = 0;
        }
        conn->lineBuffer[staged++] = c;
        conn->lastWasCR = c == '\r';
    }
    if (staged > 0) {
        if (!socket_wait(conn)) return -1;
        if (flushStaged(conn, staged, 3) < 0) return -1;
    }
    return len;
}

namespace {

// Reads one reply line into lastResponse. A line longer than the buffer keeps
// its beginning; the rest of it is read and dropped, so that it cannot be
// taken for the next reply. 1 read, 0 peer closed, -1 failure.
int readReplyLine(FtpConnection* control) {
    const int n = readline(control->lastResponse, FTP_RESPONSE_SIZE, control);
    if (n <= 0) return n;
    if (n == FTP_RESPONSE_SIZE - 1 && !endsWithCrLf(control->lastResponse, n)) {
        char previous = control->lastResponse[n - 1];
        for (;;) {
            char c;
            const int got = receiveByte(control, &c, true);
            if (got < 0) return -1;
            if (got == 0 || (previous == '\r' && c == '\n')) break;
            previous = c;
        }
    }
    return 1;
}

}  // namespace

namespace {

// The reply as readresp reads it: 1 or 0 as its final line begins with c or
// not (0 also when the peer closed), -1 when a line could not be read.
int readReply(char c, FtpConnection* control) {
    int got = readReplyLine(control);
    if (got < 0) return -1;
    if (got == 0) return 0;  // closed: lastResponse is empty
    if (std::strlen(control->lastResponse) >= 4 && control->lastResponse[3] == '-') {
        char terminator[5];
        std::memcpy(terminator, control->lastResponse, 3);
        terminator[3] = ' ';
        terminator[4] = '\0';
        do {
            got = readReplyLine(control);
            if (got < 0) return -1;
            if (got == 0) return 0;  // closed inside a multi-line reply
        } while (std::strncmp(control->lastResponse, terminator, 4) != 0);
    }
    return control->lastResponse[0] == c ? 1 : 0;
}

}  // namespace

int readresp(char c, FtpConnection* control) {
    if (control->sock == -1) return 0;  // abandoned: lastResponse says why
    control->replyDeadline = vx::tickGet() + ctlMsToTicks(std::int64_t{replyLimitSeconds} * 1000);
    const int result = readReply(c, control);
    control->replyDeadline = 0;
    if (result >= 0) return result;
    vx::perror("readresp - readline failed");
    return 0;
}

int FtpSendCmd(const char* cmd, char expect, FtpConnection* control) {
    return FtpSendSecretCmd(cmd, -1, expect, control);
}

int FtpSendSecretCmd(const char* cmd, int secretFrom, char expect, FtpConnection* control) {
    if (!control || !cmd || control->role != FTP_ROLE_CONTROL) return 0;
    if (control->sock == -1) return 0;  // abandoned: lastResponse says why
    control->lastResponse[0] = '\0';
    // cmd, CR LF and the NUL must fit into one 256-byte line; a CR or LF in a
    // caller's text (a file name, say) would smuggle in a second command.
    if (std::strlen(cmd) > 253 || std::strpbrk(cmd, "\r\n")) return 0;
    char line[256];
    const int len = std::snprintf(line, sizeof line, "%s\r\n", cmd);
    if (kor_streamSendSecret(control->sock, line, len, secretFrom) <= 0) {
        vx::perror("write");
        return 0;
    }
    return readresp(expect, control);
}

}  // namespace ftpio

using ftpio::FtpSendCmd;
using ftpio::FtpSendSecretCmd;
using ftpio::readresp;

namespace {

bool isControl(const FtpConnection* c) { return c && c->role == FTP_ROLE_CONTROL; }

void giveUpTls(FtpConnection* control) {
    kor_streamClose(control->sock);
    control->sock = -1;
    ftpio::setResponse(control, "no TLS with the server");
}

bool fits(const char* text, std::size_t limit) { return text && std::strlen(text) <= limit; }

// "<word> <path>" when path is at most `limit` characters; else 0, nothing sent.
int sendPathCmd(const char* word, const char* path, std::size_t limit, char expect,
                FtpConnection* control) {
    if (!isControl(control) || !fits(path, limit)) return 0;
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "%s %s", word, path);
    return FtpSendCmd(cmd, expect, control);
}

// The reply text from its fifth character on (empty for shorter replies).
const char* replyText(const FtpConnection* control) {
    return std::strlen(control->lastResponse) >= 4 ? control->lastResponse + 4 : "";
}

// The words taken out of a reply (system type, directory) end at its CR LF as
// well: a reply without a space or closing quote gives the word alone, not the
// word with the line end.
bool isLineEnd(char c) { return c == '\0' || c == '\r' || c == '\n'; }

}  // namespace

int FtpConnect(const char* host, std::uint16_t port, FtpConnection** out) {
    if (!host || !out) return 0;
    const int sock = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    if (sock == -1) {
        vx::perror("Could not create TCP socket...\r\n");
        return 0;
    }
    CtlSockAddrIn sin{};
    sin.len = sizeof sin;
    sin.family = CTL_AF_INET;
    sin.port = ctlHtons(port);
    sin.addr = ctlInetAddr(host);
    CtlSockAddr addr;
    std::memcpy(&addr, &sin, sizeof addr);
    // An unreadable address text is refused here rather than sent to the
    // broadcast address it converts to.
    if (sin.addr == CTL_INADDR_NONE) errno = EINVAL;
    if (sin.addr == CTL_INADDR_NONE || ctlConnect(sock, &addr, sizeof addr) == -1) {
        vx::perror("FtpConnect - Error ctlConnect()");
        ctlClose(sock);
        return 0;
    }
    auto* control = static_cast<FtpConnection*>(ctlMalloc(sizeof(FtpConnection)));
    if (!control) {
        vx::perror("FtpConnect - Error ctlMalloc");
        ctlClose(sock);
        return 0;
    }
    std::memset(control, 0, sizeof *control);
    kor_streamOpened(sock, KorStreamService::Ftp, host, port);
    control->sock = sock;
    control->address = sin.addr;
    control->role = FTP_ROLE_CONTROL;
    control->connectMode = FTP_CONNECT_PASSIVE;
    control->waitSeconds = 10;
    control->waitMicroseconds = 0;
    if (!readresp('2', control)) {
        if (control->sock != -1) kor_streamClose(control->sock);  // not when given up already
        ctlFree(control);
        return 0;
    }
    *out = control;
    return 1;
}

int FtpLogin(const char* user, const char* pass, FtpConnection* control) {
    if (!isControl(control) || !fits(user, 24) || !fits(pass, 24)) return 0;
    char cmd[32];
    std::snprintf(cmd, sizeof cmd, "USER %s", user);
    if (!FtpSendCmd(cmd, '3', control)) {
        // A 2xx answer to USER: logged in without a password.
        return control->lastResponse[0] == '2' ? 1 : 0;
    }
    std::snprintf(cmd, sizeof cmd, "PASS %s", pass);
    return FtpSendSecretCmd(cmd, 5, '2', control);  // the password is not kept
}

void FtpQuit(FtpConnection* control) {
    if (!isControl(control)) return;
    if (control->sock != -1) {
        FtpSendCmd("QUIT", '2', control);
        kor_streamClose(control->sock);
    }
    ctlFree(control->lineBuffer);
    ctlFree(control);
}

int FtpSecure(const char* host, const char* caFile, const char* name, FtpConnection* control) {
    if (!isControl(control) || !host || !caFile || !name) return 0;
    if (!FtpSendCmd("AUTH TLS", '2', control)) return 0;
    if (kor_secureStart(control->sock, caFile, name, host, -1) != 0) {
        // The server now expects a handshake on the connection: it is of no use.
        giveUpTls(control);
        return 0;
    }
    return FtpSendCmd("PBSZ 0", '2', control) && FtpSendCmd("PROT P", '2', control) ? 1 : 0;
}

char* FtpLastResponse(FtpConnection* control) {
    return isControl(control) ? control->lastResponse : nullptr;
}

int FtpSite(const char* cmd, FtpConnection* control) {
    return sendPathCmd("SITE", cmd, 249, '2', control);
}

int FtpSysType(char* buf, int max, FtpConnection* control) {
    if (!buf || max <= 0 || !FtpSendCmd("SYST", '2', control)) return 0;
    const char* s = replyText(control);
    int n = 0;
    while (n < max - 1 && s[n] != ' ' && !isLineEnd(s[n])) {
        buf[n] = s[n];
        ++n;
    }
    buf[n] = '\0';
    return 1;
}

int FtpMkdir(const char* path, FtpConnection* control) {
    return sendPathCmd("MKD", path, 250, '2', control);
}

int FtpChdir(const char* path, FtpConnection* control) {
    return sendPathCmd("CWD", path, 250, '2', control);
}

int FtpCDUp(FtpConnection* control) { return FtpSendCmd("CDUP", '2', control); }

int FtpRmdir(const char* path, FtpConnection* control) {
    return sendPathCmd("RMD", path, 250, '2', control);
}

int FtpPwd(char* path, int max, FtpConnection* control) {
    if (!path || max <= 0 || !FtpSendCmd("PWD", '2', control)) return 0;
    const char* quote = std::strchr(control->lastResponse, '"');
    if (!quote) return 0;
    const char* s = quote + 1;
    int n = 0;
    while (n < max - 1 && s[n] != '"' && !isLineEnd(s[n])) {
        path[n] = s[n];
        ++n;
    }
    path[n] = '\0';
    return 1;
}

int FtpSize(const char* path, int* size, char mode, FtpConnection* control) {
    if (!isControl(control) || !fits(path, 249) || !size) return 0;
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "TYPE %c", mode);
    if (!FtpSendCmd(cmd, '2', control)) return 0;
    if (!sendPathCmd("SIZE", path, 249, '2', control)) return 0;
    // "<code> <size>": both numbers must be there, and the size must fit.
    char* end = nullptr;
    errno = 0;
    const long code = std::strtol(control->lastResponse, &end, 10);
    if (end == control->lastResponse || code < 0) return 0;
    const char* rest = end;
    const long long value = std::strtoll(rest, &end, 10);
    if (end == rest || errno == ERANGE || value < -2147483648LL || value > 2147483647LL) return 0;
    *size = static_cast<int>(value);
    return 1;
}

int FtpModDate(const char* path, char* dt, int max, FtpConnection* control) {
    if (!dt || max <= 0 || !sendPathCmd("MDTM", path, 249, '2', control)) return 0;
    std::strncpy(dt, replyText(control), static_cast<std::size_t>(max));
    return 1;
}

int FtpRename(const char* src, const char* dst, FtpConnection* control) {
    if (!fits(src, 249) || !fits(dst, 249)) return 0;
    if (!sendPathCmd("RNFR", src, 249, '3', control)) return 0;
    return sendPathCmd("RNTO", dst, 249, '2', control);
}

int FtpDelete(const char* path, FtpConnection* control) {
    return sendPathCmd("DELE", path, 249, '2', control);
}

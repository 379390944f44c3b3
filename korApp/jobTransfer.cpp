// Job file transfer: two control connections at once, one to the remote FTP
// server and one to the controller's own, and the file moved between them.
#include "jobTransfer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "ftpClient.h"
#include "korObserve.h"

namespace {

constexpr std::uint16_t FTP_PORT = 21;
constexpr const char* OWN_SERVER_USER = "ftp";
constexpr const char* OWN_SERVER_PASSWORD = "";
constexpr char JOB_TRANSFER_MODE = FTP_MODE_ASCII;

constexpr int ADDRESS_SIZE = 16;
constexpr int ACCOUNT_SIZE = 33;
constexpr int DIRECTORY_SIZE = 257;
constexpr int JOB_NAME_SIZE = 65;
constexpr const char* JOB_EXTENSION = ".JBI";
constexpr int TEMPORARY_NAME_SIZE = 250;  // what a path of FtpRename may hold, and the NUL

// Connects and logs in (another server: in TLS when ftp_tls asks for it); the
// connection stays in *conn even when the login is refused, so the caller
// ends it. 0, or the given failure code.
int openSession(const char* address, const char* user, const char* password, FtpConnection** conn,
                int connectFailure, int loginFailure, bool remote = false) {
    if (FtpConnect(address, FTP_PORT, conn) != 1) return connectFailure;
    if (remote && kor_FtpSecure(address, *conn) != 1) return connectFailure;
    if (FtpLogin(user, password, *conn) != 1) return loginFailure;
    return KOR_FTPLOAD_OK;
}

int openController(const char* ownAddress, FtpConnection** conn) {
    return openSession(ownAddress, OWN_SERVER_USER, OWN_SERVER_PASSWORD, conn,
                       KOR_FTPLOAD_NO_CONTROLLER, KOR_FTPLOAD_CONTROLLER_LOGIN);
}

int openServer(const char* server, const char* user, const char* password, const char* dir,
               FtpConnection** conn) {
    const int code = openSession(server, user, password, conn, KOR_FTPLOAD_NO_SERVER,
                                 KOR_FTPLOAD_SERVER_LOGIN, true);
    if (code != KOR_FTPLOAD_OK) return code;
    return FtpChdir(dir, *conn) == 1 ? KOR_FTPLOAD_OK : KOR_FTPLOAD_CHDIR;
}

int moveJob(FtpConnection* from, FtpConnection* to, const char* jobName, const char* toServer) {
    return kor_MoveJob(from, to, jobName, toServer) == 1 ? KOR_FTPLOAD_OK : KOR_FTPLOAD_NOT_MOVED;
}

// The calendar time in milliseconds when the first transfer is numbered.
std::uint64_t firstTransferNumber() {
    vx::Timespec now{};
    if (vx::clock_gettime(0, &now) != 0 || now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec / 1000000);
}

// Transfers running at once never share a temporary name, and a name left by
// an earlier run is not met again: the numbers go on from the start time in
// milliseconds, which no run outpaces (not a transfer per millisecond).
std::uint64_t nextTransferNumber() {
    static std::atomic<std::uint64_t> next{firstTransferNumber()};
    return next.fetch_add(1, std::memory_order_relaxed);
}

// "<name>.<n><suffix>"; false when it does not fit.
bool temporaryName(const char* jobName, char* out, std::size_t size) {
    const auto n = static_cast<unsigned long long>(nextTransferNumber());
    const int len = std::snprintf(out, size, "%s.%llu%s", jobName, n, CTL_TRANSFER_SUFFIX);
    return len > 0 && static_cast<std::size_t>(len) < size;
}

// A refusal that will not change on a retry (5xx), from a server still there.
bool refusedForGood(FtpConnection* conn) {
    const char* reply = FtpLastResponse(conn);
    return conn->sock != -1 && reply && reply[0] == '5';
}

// The length of the last reply without its line end, for console lines.
int replyLength(const char* reply) {
    int n = 0;
    while (reply[n] != '\0' && reply[n] != '\r' && reply[n] != '\n') ++n;
    return n;
}

// The temporary copy is removed on every failure (a refusal mostly means
// there is none). One that may stay, because the server refuses DELE or its
// connection was given up (no further wait on it), is named on the console.
void discard(FtpConnection* to, const char* temporary, const char* toServer) {
    if (to->sock != -1 && FtpDelete(temporary, to) == 1) return;
    const char* reply = FtpLastResponse(to);
    std::printf("KOR job transfer: %s may be left on %s: %.*s\r\n", temporary, toServer,
                replyLength(reply), reply);
}

// The job stored under its own name, as for a server that allows no other.
int storeDirectly(FtpConnection* from, FtpConnection* to, const char* jobName) {
    return FtpMove(from, jobName, to, jobName, JOB_TRANSFER_MODE) > 0 ? 1 : 0;
}

}  // namespace

int kor_MoveJob(FtpConnection* from, FtpConnection* to, const char* jobName, const char* toServer) {
    CtlPeerSettings peers{};
    ctlGetPeerSettings(&peers);
    if (!peers.ftpTemporaryNames) return storeDirectly(from, to, jobName);
    char temporary[TEMPORARY_NAME_SIZE];
    if (!temporaryName(jobName, temporary, sizeof temporary)) return 0;
    to->lastResponse[0] = '\0';  // a refusal seen below is this transfer's own
    const int moved = FtpMove(from, jobName, to, temporary, JOB_TRANSFER_MODE);
    if (moved < 0 && refusedForGood(to)) {
        // Nothing was stored: a server that takes only job names.
        std::printf(
            "KOR job transfer: the server refuses the temporary name; %s stored directly "
            "on %s\r\n",
            jobName, toServer);
        return storeDirectly(from, to, jobName);
    }
    if (moved <= 0) {
        discard(to, temporary, toServer);
        return 0;
    }
    if (FtpRename(temporary, jobName, to) == 1) return 1;
    const bool direct = refusedForGood(to);
    discard(to, temporary, toServer);
    if (!direct) return 0;
    std::printf("KOR job transfer: the server refuses renaming; %s stored directly on %s\r\n",
                jobName, toServer);
    return storeDirectly(from, to, jobName);
}

namespace {

const char* orEmpty(const char* text) { return text ? text : ""; }

std::size_t boundedLength(const char* text, std::size_t max) {
    std::size_t n = 0;
    while (n < max && text[n] != '\0') ++n;
    return n;
}

// Appends text to buf (size bytes in all) when it fits whole.
void appendText(char* buf, int size, const char* text) {
    const std::size_t used = std::strlen(buf);
    if (used + std::strlen(text) < static_cast<std::size_t>(size)) std::strcat(buf, text);
}

}  // namespace

int kor_FtpSecure(const char* address, FtpConnection* conn) {
    CtlTlsSettings tls;
    if (ctlGetTlsSettings(&tls) != 0) {
        vx::perror("FTP: TLS settings unreadable");
        return 0;  // they might ask for TLS: no login in clear
    }
    if (tls.ftpTls == CTL_TLS_OFF) return 1;
    if (FtpSecure(address, tls.caFile, tls.ftpName, conn) == 1) return 1;
    std::printf("FTP: no TLS with %s: %s\r\n", address, FtpLastResponse(conn));
    return 0;
}

int kor_OwnAddress(char* addr) {
    addr[0] = '\0';
    if (vx::ifAddrGet("gei1", addr) == 0) return 0;
    addr[0] = '\0';
    if (vx::ifAddrGet("motetsec0", addr) == 0) return 0;
    addr[0] = '\0';
    return -1;
}

int kor_FtpLoad(const char* server, const char* user, const char* password, const char* dir,
                const char* jobName, int mode) {
    server = orEmpty(server);
    user = orEmpty(user);
    password = orEmpty(password);
    dir = orEmpty(dir);
    jobName = orEmpty(jobName);
    // The password never reaches the console (nor the journal, which keeps its lines).
    std::printf("KOR FTPLOAD IP:%s,User:%s,Passw:%s,Dir:%s,JobName:%s,Mode:%d\r\n", server, user,
                "***", dir, jobName, mode);
    char ownAddress[20];
    kor_OwnAddress(ownAddress);

    FtpConnection* first = nullptr;  // ended first: the one opened first
    FtpConnection* second = nullptr;
    int code;
    if (mode == 0) {
        code = openController(ownAddress, &first);
        if (code == KOR_FTPLOAD_OK) code = openServer(server, user, password, dir, &second);
        if (code == KOR_FTPLOAD_OK) code = moveJob(first, second, jobName, server);
    } else {
        code = openServer(server, user, password, dir, &first);
        if (code == KOR_FTPLOAD_OK) code = openController(ownAddress, &second);
        if (code == KOR_FTPLOAD_OK) code = moveJob(first, second, jobName, ownAddress);
    }
    FtpQuit(first);
    FtpQuit(second);
    if (code < 0) std::printf("KOR FTPLOAD Error%d\r\n", code);
    kor_countFtpTransfer(code);
    return code;
}

int kor_GetStringVar(char* buf, int size, std::int32_t varNo) {
    if (!buf || size <= 0) return 0;
    buf[0] = '\0';
    if (varNo < 0 || varNo > 0xffff) return 0;
    // The variable comes as two 20-byte halves of up to 16 characters each.
    CtlVarInfo info{CTL_VAR_S_INFO, static_cast<std::uint16_t>(varNo)};
    CtlSVarInfoData data{};
    if (ctlGetSVarInfo(&info, &data, 1) != 0) return 0;
    const std::size_t first = boundedLength(data.half[0], sizeof data.half[0]);
    const std::size_t second = boundedLength(data.half[1], sizeof data.half[1]);
    if (first + second > static_cast<std::size_t>(size) - 1) return 0;
    std::memcpy(buf, data.half[0], first);
    std::memcpy(buf + first, data.half[1], second);
    buf[first + second] = '\0';
    return 0;
}

int kor_FtpHandler(std::int32_t serverVar, std::int32_t userVar, std::int32_t passwordVar,
                   std::int32_t firstDirVar, std::int32_t dirCount, std::int32_t jobVar, int mode) {
    char server[ADDRESS_SIZE];
    char user[ACCOUNT_SIZE];
    char password[ACCOUNT_SIZE];
    kor_GetStringVar(server, sizeof server, serverVar);
    kor_GetStringVar(user, sizeof user, userVar);
    kor_GetStringVar(password, sizeof password, passwordVar);

    // The pieces are joined as long as each fits whole: at most 255 characters.
    char dir[DIRECTORY_SIZE] = {};
    for (std::int32_t i = 0; i < dirCount; ++i) {
        const int used = static_cast<int>(std::strlen(dir));
        if (used >= DIRECTORY_SIZE - 2) break;  // no room for even one character
        kor_GetStringVar(dir + used, DIRECTORY_SIZE - 1 - used, firstDirVar + i);
    }

    char jobName[JOB_NAME_SIZE];
    kor_GetStringVar(jobName, sizeof jobName, jobVar);
    appendText(jobName, sizeof jobName, JOB_EXTENSION);
    return kor_FtpLoad(server, user, password, dir, jobName, mode);
}

int kor_Ping(const char* address) { return vx::ping(address, 1, 1) == 0 ? 0 : -1; }

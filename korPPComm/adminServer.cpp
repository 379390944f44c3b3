// The admin server task: accepts one client at a time and answers its request
// frames. The requests themselves are handled in adminRequests.cpp.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "korApp.h"
#include "korObserve.h"
#include "korPPComm.h"
#include "korWait.h"

namespace {

int openListener(int port) {
    int s = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    if (s == -1) vx::perror("Error - Could not create TCP socket");
    CtlSockAddrIn addr{};
    addr.len = sizeof addr;
    addr.family = CTL_AF_INET;
    addr.port = ctlHtons(static_cast<std::uint16_t>(port));
    addr.addr = CTL_INADDR_ANY;
    if (ctlBind(s, reinterpret_cast<const CtlSockAddr*>(&addr), sizeof addr) == -1 ||
        ctlListen(s, 5) == -1) {
        if (s != -1) ctlClose(s);
        return -1;
    }
    return s;
}

void sendReply(int client, const KorAdminReply& reply) {
    if (reply.length > 0) ctlSend(client, reply.data, reply.length, 0);
    if (reply.allocated) ctlFree(reply.data);
}

// Waits until the client has sent something: true. Until the tick `deadline`
// only the client counts; once it has passed, a connection waiting on the
// listener ends the wait (false: the idle client makes room for it), while a
// client alone keeps its session for as long as it likes, as an engineer's
// tool open between clicks does. False as well when a wait fails.
bool awaitRequest(int client, int listener, std::int64_t deadline) {
    const std::int64_t left = deadline - vx::tickGet();
    if (left > 0) {
        const std::int64_t rate = vx::sysClkRateGet() > 0 ? vx::sysClkRateGet() : 1;
        CtlTimeval limit{static_cast<std::int32_t>(left / rate),
                         static_cast<std::int32_t>((left % rate) * 1000000 / rate)};
        const int ready = kor_waitSocket(client, KorReadiness::Read, &limit);
        if (ready != 0) return ready == 1;
    }
    CtlFdSet set;
    ctlFdZero(&set);
    ctlFdSet(client, &set);
    ctlFdSet(listener, &set);
    const int width = (client > listener ? client : listener) + 1;
    if (ctlSelect(width, &set, nullptr, nullptr, nullptr) <= 0) return false;
    return ctlFdIsSet(client, &set);  // the client first, when both are ready
}

std::int64_t idleDeadline() {
    return vx::tickGet() + static_cast<std::int64_t>(vx::sysClkRateGet()) * KOR_ADMIN_IDLE_SEC;
}

// Serves one connection until the client leaves, a receive fails, ":q", or
// KOR_ADMIN_IDLE_SEC have passed without a complete request and another
// client waits to connect on the listener.
void serveClient(int client, int listener) {
    static char request[KOR_ADMIN_BUF_SIZE];
    static char replyBuf[KOR_ADMIN_LIST_MAX + 1];
    std::int64_t deadline = idleDeadline();
    kor_countAdminSession();
    for (;;) {
        std::memset(request, 0, sizeof request);
        if (!awaitRequest(client, listener, deadline)) {
            std::printf("Admin client closed: no complete request for %d s\r\n",
                        KOR_ADMIN_IDLE_SEC);
            return;
        }
        int n = ctlRecv(client, request, KOR_ADMIN_BUF_SIZE - 1, 0);
        if (n <= 0) {
            std::printf("Admin server closed\r\n");
            return;
        }
        const bool complete = kor_adminFrameComplete(request, n);
        KorAdminReply reply = kor_adminHandleRequest(request, n, replyBuf, sizeof replyBuf);
        sendReply(client, reply);
        // Counted from the reply: a long job transfer is no idle time.
        if (complete) deadline = idleDeadline();
        if (reply.endSession) return;
    }
}

// After a failed accept (no descriptor free, a connection reset before it was
// taken) the server waits this long and accepts again.
constexpr int kAcceptRetryMs = 100;

void waitAfterFailedAccept(bool firstInARow) {
    if (firstInARow) vx::perror("Error - ctlAccept()", "admin port");
    const int ticks = (vx::sysClkRateGet() * kAcceptRetryMs + 999) / 1000;
    ctlTaskDelay(ticks > 0 ? ticks : 1);
}

}  // namespace

void kor_startAdminTCPServer(CtlArg port, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                             CtlArg, CtlArg) {
    std::printf("Starting admin server\n");
    int listener = openListener(static_cast<int>(port));
    if (listener == -1) {
        // Only a listener that cannot be made stops the server.
        vx::perror("Stopping TCP server...");
        ctlDeleteTask(0);
        return;
    }
    bool failing = false;
    for (;;) {
        if (!failing) std::printf("Waiting on TCP connection...\r\n");
        const int client = ctlAccept(listener, nullptr, nullptr);
        if (client == -1) {
            waitAfterFailedAccept(!failing);
            failing = true;
            continue;
        }
        failing = false;
        serveClient(client, listener);
        ctlClose(client);
    }
}

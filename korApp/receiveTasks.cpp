// Receive, accept and per-client tasks of the channels.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ctl.h"
#include "korHandleTable.h"
#include "korObserve.h"
#include "korTransport.h"
#include "korWait.h"
#include "receiveTasks.h"

namespace {

// What a serving loop needs from its record, read once under tableSem.
struct ChannelView {
    bool inUse = false;
    bool noTable = false;  // the table could not be locked: nothing is known
    int socket = -1;
    int pipeFd = -1;
    int type = KORHDLTYPE_FREE;
    CtlMsgQId msgQ = 0;
};

ChannelView viewChannel(int handle) {
    ChannelView v;
    if (handle < 1) return v;
    KorTableLock lock(&korHandleTable);
    v.noTable = !lock.held();
    const KORHANDLE* h = lock.find(handle);
    if (h == nullptr) return v;
    v.inUse = true;
    v.socket = h->socket;
    v.pipeFd = h->pipeFd;
    v.type = h->type;
    v.msgQ = h->msgQ;
    return v;
}

bool closeRequested(int handle) { return KORHDLTBL_CloseRequested(&korHandleTable, handle); }

// Time-out of a wait that must also notice close requests made without a pipe.
int selectTimeoutSec(int pipeFd) { return pipeFd == -1 ? KORHDLTBL_NOPIPE_POLL_SEC : 0; }

void sleepMs(int ms) { ctlTaskDelay(ctlMsToTicks(ms)); }

// Queues received bytes, then signals arrival. One pending signal stands for
// any number of arrivals, so a failing send (signal pending) is ignored.
void queueReceived(int handle, CtlMsgQId msgQ, const char* data, int n,
                   const CtlSockAddrIn* from = nullptr) {
    KORHDLTBL_PushInput(&korHandleTable, handle, data, n, from);
    ctlMsgQSend(msgQ, "1", 1, CTL_NO_WAIT, 0);
}

// A TCP peer that has closed makes its socket readable for ever; the channel
// stays open until it is asked to close, so from then on only the close
// request is waited for. Returns 0 on a close request, -1 if the wait fails.
int waitForCloseRequest(int handle, int pipeFd) {
    for (;;) {
        if (pipeFd == -1) {
            sleepMs(KORHDLTBL_NOPIPE_POLL_SEC * 1000);
            if (closeRequested(handle)) return 0;
            continue;
        }
        CtlFdSet readSet;
        ctlFdZero(&readSet);
        const KorWake wake = kor_waitSocketsOrPipe(&readSet, 0, pipeFd, 0);
        if (wake == KorWake::Failed) return -1;
        if (wake == KorWake::CloseRequest) return 0;
    }
}

// Waits until the listening socket has a connection or the channel is asked
// to close.
KorWake waitForListener(int listenSocket, int pipeFd) {
    CtlFdSet readSet;
    ctlFdZero(&readSet);
    ctlFdSet(listenSocket, &readSet);
    return kor_waitSocketsOrPipe(&readSet, listenSocket + 1, pipeFd, selectTimeoutSec(pipeFd));
}

// A failed accept that leaves the listener usable.
bool acceptMayBeRetried(int err) {
    return err == ECONNABORTED || err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// No descriptor (or memory) for the connection: it waits in the listener's
// backlog until some come free, and the channel keeps listening.
bool acceptOutOfResources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// The pause between accepts while descriptors are out: the waiting connection
// keeps the listener ready, so the loop would spin without it.
constexpr int kStarvedAcceptRetryMs = 100;

void startClientTask(int client, const CtlSockAddrIn& peer, int listenHandle) {
    char* ipText = ctlInetNtoa(peer.addr);
    const int port = ctlNtohs(peer.port);
    if (ctlCreateTask(3, 0, kor_TCPServerReceiveClientTask, client,
                      reinterpret_cast<CtlArg>(ipText), port, listenHandle, 0, 0, 0, 0, 0,
                      0) == -1) {
        vx::perror("Error - ctlCreateTask()");
        ctlClose(client);
        ctlFree(ipText);
    }
}

// Filled under tableSem, which every reader of these fields takes; not under
// handleSem, which a close request may already hold for good (the fill would
// then wait for a release only we can make). False when the table cannot be
// locked (the record then has no socket).
bool fillAccepted(int handle, int clientSocket, const char* ipText, int port, int listenHandle) {
    const KorTransport accepted{KORHDLTYPE_TCPACCEPTED, clientSocket, ipText, port, listenHandle};
    return KORHDLTBL_SetTransport(&korHandleTable, handle, accepted) != KORHDLTBL_NO_LOCK;
}

bool isReceivable(int type) {
    return type == KORHDLTYPE_TCPCLIENT || type == KORHDLTYPE_TCPACCEPTED ||
           type == KORHDLTYPE_RS232 || type == KORHDLTYPE_UDP;
}

}  // namespace

int kor_startTCPClientReceive(int handle) {
    const ChannelView ch = viewChannel(handle);
    if (!ch.inUse || !isReceivable(ch.type)) return -1;
    const bool serial = ch.type == KORHDLTYPE_RS232;
    const bool stream = ch.type == KORHDLTYPE_TCPCLIENT || ch.type == KORHDLTYPE_TCPACCEPTED;
    // Serial channels are ended by closing their port; the flag is looked at
    // as well so that a port number handed out again is never read by us.
    const bool pollFlag = serial || ch.pipeFd == -1;
    char buf[KOR_RECEIVE_CHUNK + 1];
    for (;;) {
        if (pollFlag && closeRequested(handle)) return 0;
        // A datagram's sender goes with it to the capture.
        CtlSockAddrIn from{};
        CtlSockAddrIn* sender = ch.type == KORHDLTYPE_UDP ? &from : nullptr;
        const int n = serial ? kor_doRS232Receive(ch.socket, ch.pipeFd, buf, KOR_RECEIVE_CHUNK)
                             : kor_doTCPClientReceive(ch.socket, ch.pipeFd, buf, KOR_RECEIVE_CHUNK,
                                                      selectTimeoutSec(ch.pipeFd), sender);
        if (n > 0) {
            buf[n] = 0;
            queueReceived(handle, ch.msgQ, buf, n, from.family != 0 ? sender : nullptr);
        } else if (n == KOR_RECV_CLOSE) {
            return 0;
        } else if (n == KOR_RECV_SELECT_FAILED || n == KOR_RECV_FAILED) {
            return serial && closeRequested(handle) ? 0 : -1;
        } else if (n == KOR_RECV_NOTHING && stream) {
            return waitForCloseRequest(handle, ch.pipeFd);
        } else if (n == KOR_RECV_SERIAL_OTHER) {
            sleepMs(10);  // an odd serial failure must not make the loop spin
        }
        ctlTaskDelay(0);
    }
}

int kor_startTCPAccept(int handle) {
    const ChannelView ch = viewChannel(handle);
    // Nobody else releases a listening channel.
    if (ch.noTable) KORHDLTBL_CloseHandle(&korHandleTable, handle);
    if (!ch.inUse) return -1;
    bool starved = false;
    for (;;) {
        const KorWake wake = waitForListener(ch.socket, ch.pipeFd);
        if (wake == KorWake::CloseRequest || (ch.pipeFd == -1 && closeRequested(handle))) {
            KORHDLTBL_CloseHandle(&korHandleTable, handle);
            return 0;
        }
        if (wake == KorWake::Failed) {
            KORHDLTBL_CloseHandle(&korHandleTable, handle);
            return -1;
        }
        if (wake == KorWake::Ready) {
            CtlSockAddrIn peer{};
            int addrLen = sizeof peer;
            CtlSockAddr addr{};
            const int client = ctlAccept(ch.socket, &addr, &addrLen);
            if (client == -1 && acceptMayBeRetried(errno)) {
                // The connection went away before it was taken: back to the
                // wait, which watches the wake-up pipe too.
                sleepMs(10);
                continue;
            }
            if (client == -1 && acceptOutOfResources(errno)) {
                if (!starved) vx::perror("Error - ctlAccept()");  // once per shortage
                starved = true;
                sleepMs(kStarvedAcceptRetryMs);
                continue;
            }
            starved = false;
            if (client == -1) {
                char detail[32];
                std::snprintf(detail, sizeof detail, "listening channel %d", handle);
                vx::perror("Error - ctlAccept()", detail);
                KORHDLTBL_CloseHandle(&korHandleTable, handle);  // leaves a free record alone
                return -1;
            }
            static_assert(sizeof peer == sizeof addr);
            std::memcpy(&peer, &addr, sizeof peer);
            startClientTask(client, peer, handle);
        }
        ctlTaskDelay(0);
    }
}

void kor_startTCPServerReceiveClient(int clientSocket, char* ipText, int port, int listenHandle) {
    {
        // The address text is freed however the serving ends, also when the
        // task is deleted while it serves (as at a stop of the controller).
        const std::unique_ptr<char, void (*)(void*)> address(ipText, ctlFree);
        // No socket (-1) until the record is filled in, as TCPLISTEN does.
        const int handle = KORHDLTBL_GetHandle(&korHandleTable, KORHDLTYPE_NONE, -1);
        if (handle == -1) {
            std::printf("Error - no free handle available\r\n");
            ctlClose(clientSocket);
        } else {
            if (fillAccepted(handle, clientSocket, ipText, port, listenHandle)) {
                kor_captureOpened(handle, KORHDLTYPE_TCPACCEPTED, clientSocket, ipText,
                                  static_cast<unsigned>(port));
                kor_startTCPClientReceive(handle);
            } else {
                ctlClose(clientSocket);
            }
            KORHDLTBL_CloseHandle(&korHandleTable, handle);
        }
    }
    if (ctlDeleteTask(0) != 0) vx::perror("Error - ctlDeleteTask()");
}

void kor_TCPServerReceiveClientTask(CtlArg clientSocket, CtlArg ipText, CtlArg port,
                                    CtlArg listenHandle, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                                    CtlArg) {
    kor_startTCPServerReceiveClient(static_cast<int>(clientSocket), reinterpret_cast<char*>(ipText),
                                    static_cast<int>(port), static_cast<int>(listenHandle));
}

namespace {

struct TwoClients {
    int slot[2] = {-1, -1};
    bool slotFree() const { return slot[0] == -1 || slot[1] == -1; }
    void closeAll() {
        for (int& s : slot) {
            if (s != -1) ctlClose(s);
            s = -1;
        }
    }
};

// One receive on a ready client slot; its bytes go into the listening
// channel's own queue.
void serveClientSlot(int handle, TwoClients& clients, int i) {
    char buf[KOR_RECEIVE_CHUNK + 1];
    const int n = ctlRecv(clients.slot[i], buf, KOR_RECEIVE_CHUNK, 0);
    if (n <= 0) {
        if (n < 0) std::printf("Client %d has socket error\r\n", i);
        ctlClose(clients.slot[i]);
        clients.slot[i] = -1;
        return;
    }
    buf[n] = 0;
    KORHDLTBL_PushInput(&korHandleTable, handle, buf, n);
}

// Waits for a client's bytes, a connection or a close request. With both
// slots taken the listener is not watched: its pending connection would keep
// the wait from ever blocking. Without a pipe it wakes every
// KORHDLTBL_NOPIPE_POLL_SEC seconds to look for a close request.
KorWake waitForClients(int listenSocket, int pipeFd, const TwoClients& clients, CtlFdSet* readSet) {
    ctlFdZero(readSet);
    int width = listenSocket;
    if (clients.slotFree()) ctlFdSet(listenSocket, readSet);
    for (int s : clients.slot) {
        if (s == -1) continue;
        ctlFdSet(s, readSet);
        if (s > width) width = s;
    }
    return kor_waitSocketsOrPipe(readSet, width + 1, pipeFd, selectTimeoutSec(pipeFd));
}

// Takes a waiting connection into a free slot.
void acceptClient(int listenSocket, TwoClients& clients) {
    for (int& s : clients.slot) {
        if (s != -1) continue;
        s = ctlAccept(listenSocket, nullptr, nullptr);
        // The connection still waits and keeps the listener ready: a pass
        // straight after a failed accept would never block.
        if (s == -1) sleepMs(10);
        return;
    }
}

}  // namespace

int kor_startTCPServerReceive(int handle) {
    const ChannelView ch = viewChannel(handle);
    if (!ch.inUse) return -1;
    const int listenSocket = ch.socket;
    TwoClients clients;
    for (;;) {
        CtlFdSet readSet;
        const bool slotFree = clients.slotFree();
        const KorWake wake = waitForClients(listenSocket, ch.pipeFd, clients, &readSet);
        if (KORHDLTBL_GetActiveHandle(&korHandleTable, handle) == -1) {
            clients.closeAll();
            ctlClose(listenSocket);
            return -1;
        }
        if (wake == KorWake::Failed) {
            clients.closeAll();
            return -1;
        }
        if (wake == KorWake::Timeout) std::printf("Timeout: ctlSelect\r\n");
        if (wake == KorWake::CloseRequest || (ch.pipeFd == -1 && closeRequested(handle))) {
            clients.closeAll();
            return 0;
        }
        if (wake == KorWake::Ready) {
            if (slotFree && ctlFdIsSet(listenSocket, &readSet)) acceptClient(listenSocket, clients);
            for (int i = 0; i < 2; ++i) {
                if (clients.slot[i] != -1 && ctlFdIsSet(clients.slot[i], &readSet)) {
                    serveClientSlot(handle, clients, i);
                }
            }
        }
        ctlTaskDelay(0);
    }
}

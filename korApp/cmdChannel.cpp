// Channel commands: open, send on, read from, clear and close channels.
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "korCommands.h"
#include "korHandleTable.h"
#include "korObserve.h"
#include "korParams.h"
#include "korTransport.h"
#include "receiveTasks.h"

namespace {

// Parameter roles.
constexpr int P_PORT = 0;
constexpr int P_FIRST = 1;
constexpr int P_COUNT = 2;
constexpr int P_RESULT = 3;
constexpr int P_HANDLE = 8;

void result(const KorCommand& cmd, int value) { korWriteResult(cmd.p[P_RESULT], value); }

void formatAddress(const KorCommand& cmd, char* text) {
    korFormatAddress(text, cmd.p[4], cmd.p[5], cmd.p[6], cmd.p[7]);
}

// Fills in a UDP channel's destination or a TCP client's peer (which the
// admin readout shows); false when the table cannot be locked.
bool setDestination(int handle, int type, int socket, const char* address, unsigned port) {
    const KorTransport ends{type, socket, address, static_cast<int>(port)};
    return KORHDLTBL_SetTransport(&korHandleTable, handle, ends) != KORHDLTBL_NO_LOCK;
}

// The common tail of the commands that open a receiving channel: allocate a
// record for the open transport (closing it when none is free), hand the job
// the handle and serve the channel until it is closed.
void serveNewChannel(const KorCommand& cmd, int type, int transport, const char* fullMessage,
                     const char* udpAddress = nullptr, unsigned udpPort = 0,
                     const char* peer = nullptr, unsigned peerPort = 0) {
    const int handle = KORHDLTBL_GetHandle(&korHandleTable, type, transport);
    if (handle == -1) {
        std::printf("%s", fullMessage);
        if (type == KORHDLTYPE_RS232) {
            ctlRsClose(transport);
        } else {
            ctlClose(transport);
        }
        result(cmd, KOR_RES_NO_FREE_HANDLE);
        return;
    }
    // A channel without its destination would send nowhere.
    const char* far = udpAddress != nullptr ? udpAddress : peer;
    if (far != nullptr &&
        !setDestination(handle, type, transport, far, udpAddress != nullptr ? udpPort : peerPort)) {
        KORHDLTBL_CloseHandle(&korHandleTable, handle);
        result(cmd, KOR_RES_FAILED);
        return;
    }
    kor_captureOpened(handle, type, transport, udpAddress != nullptr ? udpAddress : peer,
                      udpAddress != nullptr ? udpPort : peerPort);
    result(cmd, handle);
    kor_startTCPClientReceive(handle);
    KORHDLTBL_CloseHandle(&korHandleTable, handle);
}

// Filled under tableSem: a close request may already hold handleSem. False
// when the table cannot be locked.
bool fillListener(int handle, int socket) {
    const KorTransport listener{KORHDLTYPE_TCPSERVER, socket};
    return KORHDLTBL_SetTransport(&korHandleTable, handle, listener) != KORHDLTBL_NO_LOCK;
}

}  // namespace

// 1
void korCmdTcpConnect(const KorCommand& cmd) {
    char address[KOR_ADDR_TEXT_SIZE];
    formatAddress(cmd, address);
    int socket = -1;
    if (kor_startTCPConnect(address, korDecodePort(cmd.p[P_PORT]), &socket) != 0) {
        result(cmd, KOR_RES_FAILED);
        return;
    }
    serveNewChannel(cmd, KORHDLTYPE_TCPCLIENT, socket, "Error - TCPCONNECT: no free handle\r\n",
                    nullptr, 0, address, korDecodePort(cmd.p[P_PORT]));
}

// 2
void korCmdSendData(const KorCommand& cmd) {
    const int handle = cmd.p[P_HANDLE];
    const int count = cmd.p[P_COUNT];
    if (!korBlockCountValid(count)) {
        result(cmd, KOR_RES_NOTHING);
        return;
    }
    char bytes[KOR_BLOCK_MAX + 1] = {};
    int status;
    {
        // Pinned: the channel is not released under the send, and the table
        // is free for every other channel while the send waits on its peer.
        const KorChannelSend pin(&korHandleTable, handle);
        if (pin.status() != 0) {
            status = pin.status() == -1 ? KOR_RES_HANDLE_NOT_IN_USE : -1;
        } else if (korReadByteBlock(cmd.p[P_FIRST], count, bytes) != 0) {
            status = -1;  // nothing is sent from variables that could not be read
        } else {
            status = KORHDLTBL_Send(pin, bytes, count, KORHDLTBL_CHANNEL_SENDS,
                                    0);  // 0: not sent on
        }
    }
    if (status == KOR_RES_HANDLE_NOT_IN_USE) {
        std::printf("Error - sending data %d: no active handle\r\n", handle);
        result(cmd, KOR_RES_HANDLE_NOT_IN_USE);
        return;
    }
    result(cmd, status < 0 ? KOR_RES_FAILED : status);
}

// 3
void korCmdTcpListen(const KorCommand& cmd) {
    int socket = -1;
    if (kor_startTCPListen(korDecodePort(cmd.p[P_PORT]), &socket) != 0) {
        result(cmd, KOR_RES_FAILED);
        return;
    }
    // Allocated without a socket (-1, not 0): a release before the socket is
    // filled in must not close descriptor 0.
    const int handle = KORHDLTBL_GetHandle(&korHandleTable, KORHDLTYPE_NONE, -1);
    if (handle == -1) {
        std::printf("Error - no free handle available\r\n");
        ctlClose(socket);
        result(cmd, KOR_RES_FAILED);
        return;
    }
    if (!fillListener(handle, socket)) {
        KORHDLTBL_CloseHandle(&korHandleTable, handle);
        ctlClose(socket);
        result(cmd, KOR_RES_FAILED);
        return;
    }
    result(cmd, handle);
    kor_startTCPAccept(handle);
}

// 4
void korCmdCloseHandle(const KorCommand& cmd) {
    const int handle = cmd.p[P_HANDLE];
    const int rc = KORHDLTBL_RequestClose(&korHandleTable, handle);
    if (rc == KORHDLTBL_NO_LOCK) {
        result(cmd, KOR_RES_FAILED);
        return;
    }
    if (rc != 0) {
        std::printf("Error - closing handle %d: no active handle\r\n", handle);
        result(cmd, KOR_RES_HANDLE_NOT_IN_USE);
        return;
    }
    result(cmd, KOR_RES_DONE);
}

// 5
void korCmdReadData(const KorCommand& cmd) {
    const int handle = cmd.p[P_HANDLE];
    const int maxBytes = cmd.p[P_COUNT];
    if (!korBlockCountValid(maxBytes)) {
        result(cmd, KOR_RES_NOTHING);
        return;
    }
    char bytes[KOR_BLOCK_MAX + 1] = {};
    // A channel with a pending close request makes this wait until it has
    // been released.
    int n = -1;
    {
        const KorChannelGuard channel(&korHandleTable, handle);
        if (channel.noTable()) n = KORHDLTBL_NO_LOCK;
        if (channel.open()) n = KORHDLTBL_PopInput(&korHandleTable, channel.id(), bytes, maxBytes);
    }
    if (n == KORHDLTBL_NO_LOCK) {
        result(cmd, KOR_RES_FAILED);
        return;
    }
    if (n < 0) {
        std::printf("Error - READDATA %d: no active handle\r\n", handle);
        result(cmd, KOR_RES_HANDLE_NOT_IN_USE);
        return;
    }
    if (n == 0) {
        result(cmd, KOR_RES_NOTHING);
        return;
    }
    if (korWriteBytes(cmd.p[P_FIRST], bytes, n) != 0) {
        std::printf("Error - READDATA %d: writing to vars\r\n", handle);
        result(cmd, KOR_RES_FAILED);
        return;
    }
    result(cmd, n);
}

// 6
void korCmdClearData(const KorCommand& cmd) {
    const int handle = cmd.p[P_HANDLE];
    const int rc = KORHDLTBL_ClearInput(&korHandleTable, handle);
    if (rc == -1) {
        std::printf("Error - CLEARDATA %d: no active handle\r\n", handle);
        result(cmd, KOR_RES_HANDLE_NOT_IN_USE);
        return;
    }
    result(cmd, rc == 0 ? KOR_RES_DONE : KOR_RES_FAILED);
}

// 7
void korCmdRs232Open(const KorCommand& cmd) {
    const char* name;
    switch (cmd.p[P_PORT]) {
        case 1: name = "\\COM1"; break;
        case 2: name = ""; break;
        default: result(cmd, KOR_RES_FAILED); return;
    }
    int port = -1;
    if (kor_startRS232Open(name, cmd.p[4], cmd.p[5], cmd.p[6], cmd.p[7], &port) != 0) {
        result(cmd, KOR_RES_FAILED);
        return;
    }
    serveNewChannel(cmd, KORHDLTYPE_RS232, port, "Error - RS232OPEN: no free handle\r\n");
}

// 11
void korCmdTcpIsAccepted(const KorCommand& cmd) {
    const int handle = cmd.p[P_HANDLE];
    char address[KOR_ADDR_TEXT_SIZE];
    formatAddress(cmd, address);
    bool noTable = false;
    {
        const KorChannelGuard channel(&korHandleTable, handle);
        noTable = channel.noTable();
        if (!channel.open() && !noTable) {
            std::printf("Error - TCPISACCEPTED %d: no active handle\r\n", handle);
            result(cmd, KOR_RES_HANDLE_NOT_IN_USE);
            return;
        }
    }
    const int accepted = noTable ? KORHDLTBL_NO_LOCK
                                 : KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, handle,
                                                                           address);
    if (accepted == KORHDLTBL_NO_LOCK) result(cmd, KOR_RES_FAILED);
    else result(cmd, accepted == -1 ? KOR_RES_NOT_ACCEPTED : accepted);
}

// 12
void korCmdUdpBind(const KorCommand& cmd) {
    char address[KOR_ADDR_TEXT_SIZE];
    formatAddress(cmd, address);
    // The record holds 15 characters; a longer text (octets out of range)
    // cannot name a destination and is refused before anything is opened.
    if (std::strlen(address) >= KORHANDLE_IPADDRESS_SIZE) {
        std::printf("Error - UDPBIND: invalid address %s\r\n", address);
        result(cmd, KOR_RES_NOTHING);
        return;
    }
    const unsigned destinationPort = korDecodePort(cmd.p[P_PORT]);
    int socket = -1;
    if (kor_startUDPBind(static_cast<int>(korDecodePort(cmd.p[P_FIRST])), &socket) != 0) {
        result(cmd, KOR_RES_FAILED);
        return;
    }
    serveNewChannel(cmd, KORHDLTYPE_UDP, socket, "Error - UDPBIND: no free handle\r\n", address,
                    destinationPort);
}

// 31
void korCmdCloseAll(const KorCommand& cmd) {
    const int asked = KORHDLTBL_RequestCloseAll(&korHandleTable);
    result(cmd, asked == KORHDLTBL_NO_LOCK ? KOR_RES_FAILED : KOR_RES_DONE);
}

// 200
void korCmdRs232Test(const KorCommand& cmd) {
    std::printf("Test ! %d", cmd.p[P_RESULT]);
    const int rc = korWriteResult(cmd.p[P_RESULT], KOR_RES_DONE);
    std::printf("Test Result %d %d", cmd.p[P_RESULT], rc);
    std::fflush(stdout);
    int port = -1;  // a channel not in use has no port
    {
        KorTableLock lock(&korHandleTable);
        if (const KORHANDLE* h = lock.find(cmd.p[P_HANDLE])) port = h->socket;
    }
    kor_doReceiveRS232Test(port);
}

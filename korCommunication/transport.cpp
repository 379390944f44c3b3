// Transport operations over the controller's sockets and serial port.
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "korTransport.h"
#include "korWait.h"

namespace {

CtlSockAddr ipv4Address(std::uint32_t addrNetworkOrder, unsigned port) {
    CtlSockAddrIn in{};
    in.len = sizeof(CtlSockAddrIn);
    in.family = CTL_AF_INET;
    in.port = ctlHtons(static_cast<std::uint16_t>(port & 0xffffu));
    in.addr = addrNetworkOrder;
    CtlSockAddr out;
    static_assert(sizeof out == sizeof in);
    std::memcpy(&out, &in, sizeof out);
    return out;
}

constexpr int kAddrLen = sizeof(CtlSockAddr);

// What a failed call was about, for its console line: "to A.B.C.D:PORT" or
// "local port PORT".
struct Detail {
    char text[48];
};
Detail remoteEnd(const char* ipText, unsigned port) {
    Detail d{};
    std::snprintf(d.text, sizeof d.text, "to %.15s:%u", ipText, port & 0xffffu);
    return d;
}
Detail localPort(unsigned port) {
    Detail d{};
    std::snprintf(d.text, sizeof d.text, "local port %u", port & 0xffffu);
    return d;
}

}  // namespace

int kor_startTCPConnect(const char* ipText, unsigned port, int* socketOut) {
    *socketOut = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    if (*socketOut == -1) {
        vx::perror("Error - Could not create TCP socket");
        return -1;
    }
    const CtlSockAddr addr = ipv4Address(ctlInetAddr(ipText), port);
    if (ctlConnect(*socketOut, &addr, kAddrLen) == -1) {
        ctlClose(*socketOut);
        vx::perror("Error - ctlConnect()", remoteEnd(ipText, port).text);
        return -1;
    }
    return 0;
}

int kor_startTCPListen(unsigned port, int* socketOut) {
    *socketOut = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    if (*socketOut == -1) {
        vx::perror("Error - ctlSocket()");
        return -1;
    }
    const CtlSockAddr addr = ipv4Address(CTL_INADDR_ANY, port);
    if (ctlBind(*socketOut, &addr, kAddrLen) == -1) {
        vx::perror("Error - ctlBind()", localPort(port).text);
    } else if (ctlListen(*socketOut, 5) == -1) {
        vx::perror("Error - ctlListen()", localPort(port).text);
    } else {
        return 0;
    }
    ctlClose(*socketOut);
    return -1;
}

int kor_startTCPSend(int socket, char* buf, int len) {
    buf[len] = 0;
    const int rc = ctlSend(socket, buf, len, 0);
    if (rc == -1) vx::perror("Error - ctlSend()");
    if (rc < 0 || rc == len) return rc;
    // A send that stalled part-way: the peer has a cut block, which is no
    // success; the job learns it failed.
    std::printf("Error - ctlSend(): only %d of %d bytes sent\r\n", rc, len);
    return -1;
}

int kor_startUDPBind(int port, int* socketOut) {
    *socketOut = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    if (*socketOut < 0) {
        vx::perror("Error - Could not create UDP socket");
        return -2;
    }
    if (port == 0) return 0;
    const CtlSockAddr addr = ipv4Address(CTL_INADDR_ANY, static_cast<unsigned>(port));
    const int rc = ctlBind(*socketOut, &addr, kAddrLen);
    if (rc < 0) {
        vx::perror("Error - ctlBind()", localPort(static_cast<unsigned>(port)).text);
        ctlClose(*socketOut);
        return -3;
    }
    return rc;
}

int kor_startUDPSend(int socket, const char* ipText, unsigned port, char* buf, int len) {
    const CtlSockAddr to = ipv4Address(ctlInetAddr(ipText), port);
    buf[len] = 0;
    const int rc = ctlSendTo(socket, buf, len, 0, &to, kAddrLen);
    if (rc == -1) vx::perror("Error - ctlSendTo()", remoteEnd(ipText, port).text);
    return rc;
}

int kor_startRS232Open(const char* portName, int config0, int config1, int config2, int config3,
                       int* portOut) {
    const CtlRsConfig config{config0, config1, config2, config3};
    if (ctlRsInit(portName, &config) == -1) {
        vx::perror("Error - ctlRSInit");
        return -1;
    }
    const int port = ctlRsOpen(portName);
    if (port < 0) {
        vx::perror("Error - ctlRSOpen");
        return -1;
    }
    *portOut = port;
    return 0;
}

int kor_startRS232Send(int port, char* buf, int len) {
    buf[len] = 0;
    const int rc = ctlRsSend(port, buf, len);
    if (rc == 0) return len;
    vx::perror("Error - ctlRSSend()");
    return rc;
}

int kor_doTCPClientReceive(int socket, int pipeFd, char* buf, int len, int timeoutSec,
                           CtlSockAddrIn* from) {
    CtlFdSet readSet;
    ctlFdZero(&readSet);
    ctlFdSet(socket, &readSet);
    switch (kor_waitSocketsOrPipe(&readSet, socket + 1, pipeFd, timeoutSec)) {
        case KorWake::Failed: return KOR_RECV_SELECT_FAILED;
        case KorWake::Timeout: return KOR_RECV_TIMEOUT;
        case KorWake::CloseRequest: return KOR_RECV_CLOSE;
        case KorWake::Ready: break;
    }
    if (ctlFdIsSet(socket, &readSet)) {
        int fromLength = sizeof(CtlSockAddrIn);
        const int n = from == nullptr
                          ? ctlRecv(socket, buf, len, 0)
                          : ctlRecvFrom(socket, buf, len, 0, reinterpret_cast<CtlSockAddr*>(from),
                                        &fromLength);
        if (n > 0) return n;
        if (n == -1) {
            vx::perror("Error - ctlRevc()");
            return KOR_RECV_FAILED;
        }
    }
    return KOR_RECV_NOTHING;
}

int kor_doRS232Receive(int port, int /*pipeFd*/, char* buf, int len) {
    const int n = ctlRsRecv(port, buf, len);
    if (n > 0) return n;
    if (n == -1) {
        vx::perror("Error - ctlRevc()");
        return KOR_RECV_FAILED;
    }
    if (n == 0) return KOR_RECV_NOTHING;
    return KOR_RECV_SERIAL_OTHER;
}

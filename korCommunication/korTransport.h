// The transports a channel sits on: TCP (client and listening), UDP and the
// serial port. Thin operations over the controller API: they know nothing of
// the channel table, keep no state, take no locks, print a console message when
// a platform call fails and return a code. Ports: only the low 16 bits count.
#pragma once

struct CtlSockAddrIn;

// Receive results of kor_doTCPClientReceive and kor_doRS232Receive (> 0: bytes).
inline constexpr int KOR_RECV_NOTHING = 0;        // peer closed, or serial receive got nothing
inline constexpr int KOR_RECV_SERIAL_OTHER = -1;  // serial receive: a negative result other than -1
inline constexpr int KOR_RECV_CLOSE = -2;         // a byte arrived on the wake-up pipe
inline constexpr int KOR_RECV_SELECT_FAILED = -3;
inline constexpr int KOR_RECV_FAILED = -4;  // the receive call returned -1
inline constexpr int KOR_RECV_TIMEOUT = -5;

// Connects to ipText:port. 0 connected; -1 failed. *socketOut receives the new
// socket (also when the connect fails; it is then already closed).
int kor_startTCPConnect(const char* ipText, unsigned port, int* socketOut);
// A socket listening on the local port (backlog 5). 0, or -1 (socket closed).
int kor_startTCPListen(unsigned port, int* socketOut);
// The send operations write a 0 at buf[len] (not sent): buffers hold len + 1.
// len when the whole block went out; -1 failed, also when the send stalled
// part-way ("Error - ctlSend(): only %d of %d bytes sent").
int kor_startTCPSend(int socket, char* buf, int len);
// A UDP socket bound to the local port (0: not bound). 0 ready; -2 no socket;
// -3 bind failed (socket closed).
int kor_startUDPBind(int port, int* socketOut);
// One datagram to ipText:port. Bytes sent as ctlSendTo returns them; -1 failed.
int kor_startUDPSend(int socket, const char* ipText, unsigned port, char* buf, int len);
// Initialises and opens a serial port ("\COM1", "" or "\COM2") with the four
// configuration integers (meaning: the platform's). 0 and *portOut, or -1.
int kor_startRS232Open(const char* portName, int config0, int config1, int config2, int config3,
                       int* portOut);
// len on success; the non-zero result of ctlRsSend on failure.
int kor_startRS232Send(int port, char* buf, int len);
// Waits for data on socket or a byte on pipeFd (-1: none), timeoutSec seconds
// (0: no limit). The pipe wins when both are ready. Receives at most len bytes
// (one datagram on a UDP socket, its sender into *from when from is given).
// Returns bytes or a KOR_RECV_* code.
int kor_doTCPClientReceive(int socket, int pipeFd, char* buf, int len, int timeoutSec,
                           CtlSockAddrIn* from = nullptr);
// One serial receive (waits for data or the port's closing); pipeFd is not used: a
// serial channel is ended by closing its port. Returns bytes or a KOR_RECV_* code.
int kor_doRS232Receive(int port, int pipeFd, char* buf, int len);

// Telnet client side: log-in over a plain TCP socket (option negotiation, user
// name and password prompts, shell prompt) and single command exchanges.
// After kor_telnetConnect the socket is an ordinary TCP connection: no
// negotiation is handled any more.
#pragma once

// Telnet command bytes.
inline constexpr unsigned char TELNET_IAC = 255;
inline constexpr unsigned char TELNET_DONT = 254;
inline constexpr unsigned char TELNET_DO = 253;
inline constexpr unsigned char TELNET_WONT = 252;
inline constexpr unsigned char TELNET_WILL = 251;
inline constexpr unsigned char TELNET_SB = 250;
inline constexpr unsigned char TELNET_SE = 240;
// The one option the client agrees to, in both directions.
inline constexpr unsigned char TELNET_OPT_SUPPRESS_GO_AHEAD = 3;

// Bytes taken per receive during the log-in, and the window of received text
// in which prompts are looked for (the last bytes received).
inline constexpr int TELNET_RECEIVE_SIZE = 512;
// Seconds of silence after which the log-in gives up.
inline constexpr int TELNET_LOGIN_TIMEOUT_SEC = 2;
// Seconds after which the whole log-in gives up even though the server never
// fell silent: a peer that answers (or echoes) our option replies would
// otherwise keep the negotiation going for ever. It bounds every wait of the
// log-in, sends included (a server that never reads). 30 by default; tests
// lower it.
extern int kor_telnetLoginLimitSec;

// Connects to ipText:port and logs in: every option request is answered as it
// arrives, the first text ending in ": " gets the user name, the second the
// password, and then the shell prompt is awaited (found anywhere in the last
// 512 bytes received; an empty prompt is not awaited). 0 when logged in with
// the socket in *socketOut; -1 otherwise, the socket closed.
int kor_telnetConnect(const char* ipText, unsigned short port, const char* user,
                      const char* password, const char* prompt, int* socketOut);

// What a log-in has negotiated, option by option: whether each side has it
// on, and whether a refusal was sent since its last change. Zero: all off.
struct KorTelnetOptions {
    unsigned char state[256];
};

// One pass over len received bytes: Telnet commands are removed; the data
// bytes go to dst (room for len bytes, not terminated) and their number to
// *outLen; the answers to option requests (SUPPRESS-GO-AHEAD accepted,
// everything else refused) go to replies (room for len bytes), their length
// to *replyLen. Each option is answered at most once per change of its state
// (RFC 1143): a request for the state it is in, or a refusal repeated, gets
// no answer, so a server that negotiates without end gets next to nothing
// back. An incomplete command at the end is dropped.
void kor_scanTelnet(KorTelnetOptions* options, const unsigned char* src, int len, char* dst,
                    int* outLen, char* replies, int* replyLen);
// kor_scanTelnet from a state of its own, the answers sent on socket.
void kor_parseTelnet(int socket, const unsigned char* src, int len, char* dst, int* outLen);

// Result of kor_telnetCommand when the answer filled the caller's buffer
// before it matched.
inline constexpr int TELNET_REPLY_FULL = -3;

// Sends command as one line and collects the answer into reply (replySize
// bytes, always NUL-terminated; NUL bytes received are left out) until the
// text matches pattern (index 0). 0 on a match; -2 when the line cannot be
// sent; -1 when the connection ends or fails first; TELNET_REPLY_FULL when
// reply is full without a match.
int kor_telnetCommand(int socket, const char* command, char* reply, int replySize,
                      const char* pattern);

// Closes the socket; "Error - ctlClose()" when that fails. The result of ctlClose.
int kor_telnetClose(int socket);

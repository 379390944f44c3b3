// Secure streams: a connected TCP socket, plain or with TLS on top. The FTP
// and mail clients send, receive and close their sockets through these calls,
// so plain and TLS connections look the same to them; a socket on which no TLS
// was started goes straight to the platform's calls. A stream is used by one
// task at a time (as the socket it sits on).
#pragma once

#include "ctl.h"

// Starts TLS as the client on the connected socket sock. The server's
// certificate must chain to a CA of caFile and carry `name` (also sent as
// SNI); an empty name means the certificate must carry the IPv4 address
// `address`. resumeFrom: a secure socket whose session is resumed and whose
// CAs are taken instead of reading caFile again (FTP data connections; servers
// may insist on the resumption); it must stay open until this call returns.
// -1 for a new session. The texts are
// copied (at most CTL_TLS_TEXT_SIZE - 1 characters each). 0 on success; -1
// when TLS is not built in, no memory, the handshake failed or the
// certificate was refused, with a console line saying which (expired, unknown
// CA, name mismatch). The socket stays open either way.
int kor_secureStart(int sock, const char* caFile, const char* name, const char* address,
                    int resumeFrom);
// Starts TLS on sock as kor_secureStart did on the secure socket `leader`
// (same CAs, same name or address), resuming leader's session: an FTP data
// connection following its control connection. 0, or -1 as above.
int kor_secureFollow(int sock, int leader);
// True while TLS runs on sock.
bool kor_secureIs(int sock);

// As ctlSend (all bytes, or -1 / fewer when the peer stopped taking them).
int kor_streamSend(int sock, const char* buf, int len);
// As ctlRecv: bytes, 0 when the peer closed, -1 on failure (errno). Over TLS a
// peer that stays silent in the middle of a record fails it after 10 seconds.
int kor_streamRecv(int sock, char* buf, int len);
// True once a receive on the TLS stream sock gave 0 because the peer closed
// the connection without close_notify: the data may have been cut short
// (an attacker can close TCP), unless its size is known to be complete.
bool kor_streamCut(int sock);
// Bytes already decrypted and waiting: a wait for the socket would not see
// them, so kor_waitSocket reports the stream readable at once.
int kor_streamPending(int sock);
// Ends TLS (close_notify) when it runs, then closes the socket; ctlClose's result.
int kor_streamClose(int sock);
// Closes the socket of a connection given up as dead, without the close_notify
// that would wait on the silent peer once more; ctlClose's result.
int kor_streamDiscard(int sock);

// ---------------------------------------------------------------- the stream hook

// What a service's connection carried, for whoever watches the services (the
// application installs the hook; see kor_streamHook). Only sockets named by
// kor_streamOpened are told of, until kor_streamClose or kor_streamDiscard.
enum class KorStreamService : unsigned char { None, Ftp, Smtp };
struct KorStreamBlock {
    int sock;
    KorStreamService service;
    char what;         // 'O' opened, 'S' sent, 'R' received
    const char* data;  // 'S', 'R': the bytes
    int length;
    // data[secretFrom ..] up to the line end is a secret (a password, a
    // log-in's answer) that must not be kept; length when there is none.
    int secretFrom;
    const char* peer;  // 'O': the peer's address text, and its port
    unsigned peerPort;
};
// Called in the task that sends or receives; it must not block. Null: none.
using KorStreamHook = void (*)(const KorStreamBlock& block);
void kor_streamHook(KorStreamHook hook);
// The service opened the connected socket sock (plain so far) to peer.
void kor_streamOpened(int sock, KorStreamService service, const char* peer, unsigned peerPort);
// As kor_streamSend, for a line whose bytes from secretFrom on (up to its line
// end) are a secret: the hook is told where it starts.
int kor_streamSendSecret(int sock, const char* buf, int len, int secretFrom);

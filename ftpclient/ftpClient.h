// FTP client: control connections (connect, log in, one-command operations)
// and data transfers (files, memory buffers, server-to-server moves).
//
// The client keeps no global state; every operation works on the records it is
// given, so any number of connections may be open at once. A record is used by
// one task at a time. Boolean results are 1 for success and 0 for failure; the
// text of the last server reply (or of the client's own error) stays readable
// through FtpLastResponse.
#pragma once

#include <cstdint>

// Size of the ASCII staging buffer and of the transfer blocks.
inline constexpr int FTPLIB_BUFSIZ = 8192;
// Room of a reply line in a control record (text, CR LF and NUL).
inline constexpr int FTP_RESPONSE_SIZE = 256;

inline constexpr std::int32_t FTP_ROLE_CONTROL = 0;
inline constexpr std::int32_t FTP_ROLE_READ = 1;
inline constexpr std::int32_t FTP_ROLE_WRITE = 2;

inline constexpr std::int32_t FTP_CONNECT_PASSIVE = 1;
inline constexpr std::int32_t FTP_CONNECT_ACTIVE = 2;

// Transfer types of FtpAccess.
inline constexpr int FTP_ACCESS_NLST = 1;
inline constexpr int FTP_ACCESS_LIST = 2;
inline constexpr int FTP_ACCESS_RETR = 3;
inline constexpr int FTP_ACCESS_STOR = 4;

// Transfer modes.
inline constexpr char FTP_MODE_ASCII = 'A';
inline constexpr char FTP_MODE_IMAGE = 'I';

// One control or data connection. Allocated and freed by the client only.
struct FtpConnection {
    std::int32_t sock;      // -1 once given up (a wait for the peer that timed out)
    std::uint32_t address;  // control: the server's IPv4 address, network order
    char* lineBuffer;       // ASCII data connections: FTPLIB_BUFSIZ bytes; else null
    std::int32_t role;
    FtpConnection* owner;  // data connection: its control connection once commanded
    std::int32_t connectMode;
    std::int32_t waitSeconds;  // limit of every wait for the peer
    std::int32_t waitMicroseconds;
    char lastResponse[FTP_RESPONSE_SIZE];
    std::int64_t replyDeadline;  // control: tick count by which the reply being read must be
                                 // complete; 0 none
    // Private state of ASCII data connections.
    std::int32_t readPos;  // read side: bytes of lineBuffer handed out so far
    std::int32_t readLen;  // read side: bytes of lineBuffer received
    bool lastWasCR;        // write side: the last byte written was a CR
    // Read side: bytes received on the connection (before any line handling),
    // and the size the server announced for them (SIZE, or the count of its
    // 150 reply); -1 when it announced none.
    std::int64_t received;
    std::int64_t announced;
};

// ---------------------------------------------------------------- control connection

// Connects to host (dotted IPv4 text) and port (host order) and reads the
// greeting. Returns 1 and stores the new record in *out when the greeting
// begins with 2; returns 0 and leaves *out unchanged otherwise.
int FtpConnect(const char* host, std::uint16_t port, FtpConnection** out);
// USER and PASS (PASS only when USER asks for it). 0 when either text is longer
// than 24 characters or holds a CR or LF (nothing sent), or the server refuses.
int FtpLogin(const char* user, const char* pass, FtpConnection* control);
// Protects the connection before the login: AUTH TLS, the handshake (the
// certificate must chain to a CA of caFile and carry name, or the address
// host when name is empty), PBSZ 0 and PROT P; every data connection opened on
// it then runs in TLS too, resuming this connection's session. 1 when all went
// through; 0 otherwise (a failed handshake also gives the connection up).
int FtpSecure(const char* host, const char* caFile, const char* name, FtpConnection* control);
// Sends QUIT, closes and frees the record. Null or a data record: nothing.
void FtpQuit(FtpConnection* control);
// The last reply line (CR LF included), or null for null / a data record.
char* FtpLastResponse(FtpConnection* control);

int FtpSite(const char* cmd, FtpConnection* control);
// The system type word of the SYST reply, at most max-1 characters.
int FtpSysType(char* buf, int max, FtpConnection* control);
int FtpMkdir(const char* path, FtpConnection* control);
int FtpChdir(const char* path, FtpConnection* control);
int FtpCDUp(FtpConnection* control);
int FtpRmdir(const char* path, FtpConnection* control);
// The quoted directory of the PWD reply, at most max-1 characters.
int FtpPwd(char* path, int max, FtpConnection* control);
// Sends TYPE mode, then SIZE; stores the size only when the reply holds it.
int FtpSize(const char* path, int* size, char mode, FtpConnection* control);
// Copies at most max characters of the MDTM reply from its fifth character on
// (CR LF included; not NUL-terminated when the text fills max).
int FtpModDate(const char* path, char* dt, int max, FtpConnection* control);
int FtpRename(const char* src, const char* dst, FtpConnection* control);
int FtpDelete(const char* path, FtpConnection* control);

// ---------------------------------------------------------------- data transfers

// Sends TYPE, opens a passive (or active) data connection and sends the
// transfer command. 1 with the data record in *out; 0 on any failure.
int FtpAccess(const char* path, int type, char mode, FtpConnection* control, FtpConnection** out);
// Bytes read (ASCII: one line at most, NUL-terminated, so at most max-1), or 0
// at the end of the data, on a time-out or an error.
int FtpRead(void* buf, int max, FtpConnection* data);
// Bytes accepted, 0 on failure.
int FtpWrite(const void* buf, int len, FtpConnection* data);
// Closes and frees a data record; 1 when the server's completion reply on the
// owning control connection begins with 2, else 0.
int FtpClose(FtpConnection* data);

// Local file transfers: a null file name means standard input / output.
// 1 only when the whole transfer succeeded and the server confirmed it.
int FtpNlst(const char* outputfile, const char* path, FtpConnection* control);
int FtpDir(const char* outputfile, const char* path, FtpConnection* control);
int FtpGet(const char* outputfile, const char* path, char mode, FtpConnection* control);
int FtpPut(const char* inputfile, const char* path, char mode, FtpConnection* control);
// Memory transfers: bytes stored / sent, 0 on failure (also when a download
// does not fit into size bytes).
int FtpBufferedGet(char* buffer, int size, const char* path, char mode, FtpConnection* control);
int FtpBufferedPut(const char* buffer, int size, const char* path, char mode,
                   FtpConnection* control);
// Copies sourcePath from the source server to destinationPath on the
// destination server. Returns the bytes read from the source; 0 when the
// source cannot be opened or the copy was cut short (a read that failed or
// timed out, a failed or short write, a completion reply not beginning with
// 2); -1 when the destination could not be opened (its refusal, if any, is
// its last response), so nothing was stored there.
int FtpMove(FtpConnection* source, const char* sourcePath, FtpConnection* destination,
            const char* destinationPath, char mode);

// Line, reply and wait primitives shared by the two halves of the FTP client
// (control connection and data transfers). Not for use outside ftpclient.
#pragma once

#include "ftpClient.h"

namespace ftpio {

// Waits (up to the record's wait limit) until the socket is readable, or
// writable for a write connection. 1 when ready; 0 on time-out or error (an
// error's text goes into the control connection's lastResponse). A time-out
// abandons the connection.
int socket_wait(FtpConnection* conn);
// Ends a connection that stopped answering: its socket is closed, and for a
// data connection its control connection's as well (the completion reply
// would be as late), with why in lastResponse. Later operations on either
// fail at once instead of waiting again.
void abandon(FtpConnection* conn, const char* why);
// One line through CR LF, at most max-1 bytes, NUL-terminated. Bytes stored;
// 0 when the peer closed before the first byte; -1 on failure or time-out.
int readline(char* buf, int max, FtpConnection* conn);
// Writes len bytes through the staging buffer, turning every LF that does not
// follow a CR into CR LF. len when all was sent; fewer when a wait timed out;
// -1 on a failed send.
int writeline(const char* buf, int len, FtpConnection* conn);
// A whole reply must arrive within this many seconds, however it trickles in
// (each single wait is bounded by the record's wait limit). Tests shorten it.
extern int replyLimitSeconds;
// Reads one complete (possibly multi-line) reply into lastResponse. 1 when its
// final line begins with c. A reply not complete within replyLimitSeconds, or
// a single wait for it that timed out, abandons the connection, since the rest
// of that reply would be taken for the next one. 0 at once on an abandoned one.
int readresp(char c, FtpConnection* control);
// Sends one command line and reads its reply; 1 when the reply begins with
// expect. A command refused before sending (too long, CR or LF inside) leaves
// lastResponse empty, so no earlier reply can be taken for its answer.
int FtpSendCmd(const char* cmd, char expect, FtpConnection* control);
// As FtpSendCmd for a command whose text from secretFrom on is a secret (the
// stream hook is told so and never keeps it).
int FtpSendSecretCmd(const char* cmd, int secretFrom, char expect, FtpConnection* control);

// Counts got bytes received on a data connection; at the end of the data
// (got == 0) checks that it was not cut: a TLS stream that ended without
// close_notify counts as complete only when its byte count is the size the
// server announced; otherwise the console says so and -1 is returned.
int countReceived(FtpConnection* data, int got);

// Copies text into the control connection's lastResponse (truncated to fit).
void setResponse(FtpConnection* control, const char* text);
// The control connection a record reports to: itself, or a data record's owner.
FtpConnection* controlOf(FtpConnection* conn);

}  // namespace ftpio

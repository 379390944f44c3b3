// Waits on sockets: with a channel's wake-up pipe (the serving loops), and on
// one socket with a time limit (the FTP and SMTP clients).
#pragma once

#include "ctl.h"

// What a wait on sockets and a wake-up pipe saw.
enum class KorWake { Ready, CloseRequest, Timeout, Failed };

// Waits until a socket in readSet (its highest descriptor below width) is
// readable or pipeFd (-1: none) holds a byte; timeoutSec 0 waits without
// limit. The pipe wins and its byte is drained: it is a close request. On
// Ready, readSet holds the readable sockets. A failed wait is reported on
// the console.
KorWake kor_waitSocketsOrPipe(CtlFdSet* readSet, int width, int pipeFd, int timeoutSec);

enum class KorReadiness { Read, Write };

// Waits at most *limit until sock is readable or writable: 1 ready, 0 the
// limit passed, -1 the wait failed (errno tells why). A secure stream with
// bytes waiting in it is readable at once.
int kor_waitSocket(int sock, KorReadiness what, CtlTimeval* limit);

// Socket exchange of the SMTP client: bounded sends and receives, and the
// collection of complete (possibly multi-line) replies.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "korSecure.h"
#include "korWait.h"
#include "smtpBuffer.h"
#include "smtpInternal.h"

namespace {

using Readiness = KorReadiness;

// Waits until sock is readable or writable, at most SMTP_WAIT_SECONDS.
bool waitReady(int sock, Readiness what) {
    if (!ctlFdValid(sock)) return false;
    CtlTimeval timeout{SMTP_WAIT_SECONDS, 0};
    return kor_waitSocket(sock, what, &timeout) > 0;
}

}  // namespace

namespace {

// Sends text; its bytes from secretFrom on (-1: none) are a secret.
int sendText(int sock, const char* text, int secretFrom) {
    std::size_t remaining = std::strlen(text);
    std::size_t sent = 0;
    for (;;) {
        if (!waitReady(sock, Readiness::Write)) return 0;
        if (remaining == 0) return 1;
        const int chunk = remaining > SMTP_BUFFER_SIZE ? SMTP_BUFFER_SIZE
                                                       : static_cast<int>(remaining);
        // Where the secret starts within this chunk (0: it began before).
        int from = -1;
        if (secretFrom >= 0)
            from = secretFrom > static_cast<int>(sent) ? secretFrom - static_cast<int>(sent) : 0;
        const int n = kor_streamSendSecret(sock, text + sent, chunk, from);
        if (n < 0) return 0;
        sent += static_cast<std::size_t>(n);
        remaining -= static_cast<std::size_t>(n);
    }
}

}  // namespace

int Smtp_SendData(int sock, const char* text) { return sendText(sock, text, -1); }

int Smtp_ReceiveData(int sock, char* buf) {
    if (!waitReady(sock, Readiness::Read)) return 0;
    const int n = kor_streamRecv(sock, buf, SMTP_RECEIVE_MAX);
    if (n <= 0) return 0;
    buf[n] = '\0';
    return n;
}

std::int64_t Smtp_replyLimitSec = 60;

int Smtp_ReceiveResponse(int sock, char* buf) {
    SmtpBuffer collected(SMTP_BUFFER_SIZE);
    if (!collected) return 0;  // without it no reply can be examined

    const std::int64_t deadline = vx::tickGet() + ctlMsToTicks(Smtp_replyLimitSec * 1000);
    std::size_t length = 0;
    for (;;) {
        if (length > 0 && vx::tickGet() >= deadline) {
            std::printf("SMTP: no complete reply within %lld s; connection given up\r\n",
                        static_cast<long long>(Smtp_replyLimitSec));
            return 0;
        }
        const int n = Smtp_ReceiveData(sock, buf);
        if (n == 0) return 0;
        const auto chunk = static_cast<std::size_t>(n);
        if (chunk > static_cast<std::size_t>(SMTP_RECEIVE_MAX) - length) {
            std::printf("SMTP: reply longer than %d bytes; connection given up\r\n",
                        SMTP_RECEIVE_MAX);
            return 0;
        }
        std::memcpy(collected.get() + length, buf, chunk);
        length += chunk;

        const int code = Smtp_FindReplyCode(collected.get(), length);
        if (code >= 0) {
            std::memcpy(buf, collected.get(), length);
            buf[length] = '\0';
            return code;
        }
    }
}

namespace {

int command(int sock, char* work, int secretFrom, const char* format, std::va_list args) {
    const int n = std::vsnprintf(work, SMTP_BUFFER_SIZE, format, args);
    if (n < 0 || n >= SMTP_BUFFER_SIZE) return SMTP_SEND_FAILED;
    if (!sendText(sock, work, secretFrom)) return SMTP_SEND_FAILED;
    return Smtp_ReceiveResponse(sock, work);
}

}  // namespace

int Smtp_Command(int sock, char* work, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int code = command(sock, work, -1, format, args);
    va_end(args);
    return code;
}

int Smtp_SecretCommand(int sock, char* work, int secretFrom, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int code = command(sock, work, secretFrom, format, args);
    va_end(args);
    return code;
}

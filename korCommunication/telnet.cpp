// Telnet client: log-in with option negotiation, command exchange, close.
#include "korTelnet.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "korPattern.h"
#include "korTransport.h"
#include "korWait.h"

int kor_telnetLoginLimitSec = 30;

namespace {

bool isOptionVerb(unsigned char b) {
    return b == TELNET_WILL || b == TELNET_WONT || b == TELNET_DO || b == TELNET_DONT;
}

constexpr unsigned char kOn = 1;       // the side has the option on
constexpr unsigned char kRefused = 2;  // refused (or acknowledged off) since its last change

// The answer to a request about one side of an option (`state` holds that
// side's bits): agree to SUPPRESS-GO-AHEAD, refuse the rest. 0: no answer,
// as the request changes nothing that was not answered already.
unsigned char answerSide(unsigned char* state, bool wantOn, bool agree, unsigned char yes,
                         unsigned char no) {
    if (wantOn && agree) {
        if (*state & kOn) return 0;
        *state = kOn;
        return yes;
    }
    if (*state & kOn) {
        *state = kRefused;
        return no;
    }
    if (*state & kRefused) return 0;
    *state = kRefused;
    return no;
}

// The reply verb to verb about option, 0 for none. Our side's bits are the
// low two of the option's state, the server's side the next two.
unsigned char replyVerb(KorTelnetOptions* options, unsigned char verb, unsigned char option) {
    const bool agree = option == TELNET_OPT_SUPPRESS_GO_AHEAD;
    unsigned char& state = options->state[option];
    const bool ours = verb == TELNET_DO || verb == TELNET_DONT;
    unsigned char side = ours ? state & 3u : state >> 2 & 3u;
    const bool wantOn = verb == TELNET_DO || verb == TELNET_WILL;
    const unsigned char reply = ours ? answerSide(&side, wantOn, agree, TELNET_WILL, TELNET_WONT)
                                     : answerSide(&side, wantOn, agree, TELNET_DO, TELNET_DONT);
    state = static_cast<unsigned char>(ours ? (state & 12u) | side : (state & 3u) | side << 2);
    return reply;
}

// Milliseconds left until deadline (ticks); 0 when it has passed.
std::int64_t msLeft(std::int64_t deadline) {
    const std::int64_t left = deadline - vx::tickGet();
    return left <= 0 ? 0 : left * 1000 / vx::sysClkRateGet() + 1;
}

// Sends len bytes, waiting for room no longer than until deadline. 0 when all
// went out, -1 otherwise.
int sendBefore(int socket, const char* buf, int len, std::int64_t deadline) {
    int sent = 0;
    while (sent < len) {
        const std::int64_t ms = msLeft(deadline);
        if (ms == 0) return -1;
        CtlTimeval limit{static_cast<std::int32_t>(ms / 1000),
                         static_cast<std::int32_t>(ms % 1000 * 1000)};
        if (kor_waitSocket(socket, KorReadiness::Write, &limit) != 1) return -1;
        const int n = ctlSend(socket, buf + sent, len - sent, 0);
        if (n <= 0) return -1;
        sent += n;
    }
    return 0;
}

// Offset at which an incomplete Telnet command ends the bytes (a lone IAC, an
// option verb without its option, a subnegotiation without its end), or len
// when the bytes end cleanly. Mirrors the scan of kor_parseTelnet.
int incompleteTail(const unsigned char* p, int len) {
    int i = 0;
    while (i < len) {
        if (p[i] != TELNET_IAC) {
            ++i;
            continue;
        }
        if (i + 1 >= len) return i;
        const unsigned char cmd = p[i + 1];
        if (cmd == TELNET_SB) {
            const void* se = std::memchr(p + i + 2, TELNET_SE,
                                         static_cast<std::size_t>(len - i - 2));
            if (se == nullptr) return i;
            i = static_cast<int>(static_cast<const unsigned char*>(se) - p) + 1;
        } else if (isOptionVerb(cmd)) {
            if (i + 2 >= len) return i;
            i += 3;
        } else {
            i += 2;
        }
    }
    return len;
}

// Sends text followed by CR LF. The send operation stores a 0 after the data,
// so the line buffer has room for it.
int sendCommandLine(int socket, const char* text) {
    const std::size_t textLen = std::strlen(text);
    char* line = static_cast<char*>(ctlMalloc(textLen + 3));
    if (line == nullptr) return -1;
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): CR LF follow, not a 0
    std::memcpy(line, text, textLen);
    line[textLen] = '\r';
    line[textLen + 1] = '\n';
    const int rc = kor_startTCPSend(socket, line, static_cast<int>(textLen + 2));
    ctlFree(line);
    return rc;
}

// Sends a log-in line (text and CR LF) before deadline. 0, or -1.
int sendLine(int socket, const char* text, std::int64_t deadline) {
    const std::size_t textLen = std::strlen(text);
    char* line = static_cast<char*>(ctlMalloc(textLen + 2));
    if (line == nullptr) return -1;
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): CR LF follow, not a 0
    std::memcpy(line, text, textLen);
    line[textLen] = '\r';
    line[textLen + 1] = '\n';
    const int rc = sendBefore(socket, line, static_cast<int>(textLen + 2), deadline);
    if (rc != 0) std::printf("Error - Telnet: the server took no log-in line\r\n");
    ctlFree(line);
    return rc;
}

// What the log-in has received: option requests are answered as they arrive
// (a command split over two receives is kept back until it is complete, so it
// is answered once), and the data bytes are kept in a window holding the last
// TELNET_RECEIVE_SIZE of them.
class LoginReceiver {
public:
    explicit LoginReceiver(int socket)
        : socket_(socket),
          deadline_(vx::tickGet() + ctlMsToTicks(std::int64_t{kor_telnetLoginLimitSec} * 1000)) {}

    // One receive with the log-in time-out, its option requests answered. The
    // receive result (> 0 bytes); a time-out as well once the whole log-in has
    // taken too long, or the answers could not be sent before then.
    int receive() {
        const std::int64_t ms = msLeft(deadline_);
        if (ms == 0) return KOR_RECV_TIMEOUT;
        const std::int64_t seconds = (ms + 999) / 1000;
        std::array<char, TELNET_RECEIVE_SIZE + 1> buf{};
        const int n = kor_doTCPClientReceive(socket_, -1, buf.data(), TELNET_RECEIVE_SIZE,
                                             seconds < TELNET_LOGIN_TIMEOUT_SEC
                                                 ? static_cast<int>(seconds)
                                                 : TELNET_LOGIN_TIMEOUT_SEC);
        if (n > 0 && !take(reinterpret_cast<const unsigned char*>(buf.data()), n))
            return KOR_RECV_TIMEOUT;
        return n;
    }

    std::int64_t deadline() const { return deadline_; }

    void resetWindow() { windowLen_ = 0; }

    bool endsWithPromptMark() const {
        return windowLen_ >= 2 && window_[windowLen_ - 2] == ':' && window_[windowLen_ - 1] == ' ';
    }

    bool contains(const char* text) const {
        const int textLen = static_cast<int>(std::strlen(text));
        if (windowLen_ < textLen) return false;
        return kor_memstr(window_.data(), windowLen_, text, textLen) != nullptr;
    }

private:
    bool take(const unsigned char* bytes, int n) {
        // pending_ (an unfinished command) followed by the new bytes.
        std::array<unsigned char, 2 * TELNET_RECEIVE_SIZE> all{};
        std::memcpy(all.data(), pending_.data(), static_cast<std::size_t>(pendingLen_));
        std::memcpy(all.data() + pendingLen_, bytes, static_cast<std::size_t>(n));
        const int total = pendingLen_ + n;

        int complete = incompleteTail(all.data(), total);
        if (total - complete > TELNET_RECEIVE_SIZE) complete = total;  // runaway subnegotiation
        std::array<char, 2 * TELNET_RECEIVE_SIZE> data{};
        std::array<char, 2 * TELNET_RECEIVE_SIZE> replies{};
        int dataLen = 0;
        int replyLen = 0;
        kor_scanTelnet(&options_, all.data(), complete, data.data(), &dataLen, replies.data(),
                       &replyLen);
        append(data.data(), dataLen);

        pendingLen_ = total - complete;
        std::memcpy(pending_.data(), all.data() + complete, static_cast<std::size_t>(pendingLen_));
        return replyLen == 0 || sendBefore(socket_, replies.data(), replyLen, deadline_) == 0;
    }

    void append(const char* data, int n) {
        if (n >= TELNET_RECEIVE_SIZE) {
            std::memcpy(window_.data(), data + (n - TELNET_RECEIVE_SIZE), TELNET_RECEIVE_SIZE);
            windowLen_ = TELNET_RECEIVE_SIZE;
            return;
        }
        const int overflow = windowLen_ + n - TELNET_RECEIVE_SIZE;
        if (overflow > 0) {
            std::memmove(window_.data(), window_.data() + overflow,
                         static_cast<std::size_t>(windowLen_ - overflow));
            windowLen_ -= overflow;
        }
        std::memcpy(window_.data() + windowLen_, data, static_cast<std::size_t>(n));
        windowLen_ += n;
    }

    int socket_;
    std::int64_t deadline_;  // in ticks: a calendar clock step neither ends nor extends it
    std::array<char, TELNET_RECEIVE_SIZE> window_{};
    int windowLen_ = 0;
    std::array<unsigned char, TELNET_RECEIVE_SIZE> pending_{};
    int pendingLen_ = 0;
    KorTelnetOptions options_{};
};

// Answers the user name and password prompts. True when the password is sent.
bool answerPrompts(LoginReceiver& rx, int socket, const char* user, const char* password) {
    bool userSent = false;
    for (;;) {
        if (rx.receive() <= 0) return false;
        if (!rx.endsWithPromptMark()) continue;
        rx.resetWindow();
        if (!userSent) {
            if (sendLine(socket, user, rx.deadline()) == -1) return false;
            userSent = true;
            continue;
        }
        return sendLine(socket, password, rx.deadline()) != -1;
    }
}

// Waits for the shell prompt. True when found, or at once after one receive
// when no prompt is expected.
bool awaitShellPrompt(LoginReceiver& rx, const char* prompt) {
    for (;;) {
        const int n = rx.receive();
        if (prompt[0] == '\0') return true;
        if (n <= 0) return false;
        if (rx.contains(prompt)) return true;
    }
}

}  // namespace

void kor_scanTelnet(KorTelnetOptions* options, const unsigned char* src, int len, char* dst,
                    int* outLen, char* replies, int* replyLen) {
    int out = 0;
    int answered = 0;
    int i = 0;
    while (i < len) {
        const unsigned char b = src[i];
        if (b != TELNET_IAC) {
            dst[out++] = static_cast<char>(b);
            ++i;
            continue;
        }
        if (i + 1 >= len) break;  // IAC as the last byte
        const unsigned char cmd = src[i + 1];
        if (cmd == TELNET_IAC) {
            dst[out++] = static_cast<char>(TELNET_IAC);
            i += 2;
        } else if (cmd == TELNET_SB) {
            const void* se = std::memchr(src + i + 2, TELNET_SE,
                                         static_cast<std::size_t>(len - i - 2));
            i = se == nullptr ? len
                              : static_cast<int>(static_cast<const unsigned char*>(se) - src) + 1;
        } else if (isOptionVerb(cmd)) {
            if (i + 2 >= len) break;  // verb without its option
            const unsigned char option = src[i + 2];
            // Three bytes answer three bytes: replies has room.
            if (const unsigned char verb = replyVerb(options, cmd, option)) {
                replies[answered++] = static_cast<char>(TELNET_IAC);
                replies[answered++] = static_cast<char>(verb);
                replies[answered++] = static_cast<char>(option);
            }
            i += 3;
        } else {
            i += 2;  // any other command: dropped
        }
    }
    *outLen = out;
    *replyLen = answered;
}

void kor_parseTelnet(int socket, const unsigned char* src, int len, char* dst, int* outLen) {
    KorTelnetOptions options{};
    char* replies = len > 0 ? static_cast<char*>(ctlMalloc(static_cast<std::size_t>(len)))
                            : nullptr;
    if (replies == nullptr) {
        *outLen = 0;
        return;
    }
    int replyLen = 0;
    kor_scanTelnet(&options, src, len, dst, outLen, replies, &replyLen);
    if (replyLen > 0) ctlSend(socket, replies, replyLen, 0);
    ctlFree(replies);
}

int kor_telnetConnect(const char* ipText, unsigned short port, const char* user,
                      const char* password, const char* prompt, int* socketOut) {
    if (kor_startTCPConnect(ipText, port, socketOut) != 0) return -1;
    const int socket = *socketOut;

    LoginReceiver rx(socket);
    if (answerPrompts(rx, socket, user, password)) {
        rx.resetWindow();
        if (awaitShellPrompt(rx, prompt)) return 0;
    }
    ctlClose(socket);
    return -1;
}

int kor_telnetCommand(int socket, const char* command, char* reply, int replySize,
                      const char* pattern) {
    if (replySize <= 0) return TELNET_REPLY_FULL;
    reply[0] = '\0';
    if (sendCommandLine(socket, command) == -1) return -2;

    // The matcher writes the whole text into its output: a scratch as big as reply.
    char* scratch = static_cast<char*>(ctlMalloc(static_cast<std::size_t>(replySize)));
    if (scratch == nullptr) return -1;
    int used = 0;
    int rc = -1;
    for (;;) {
        if (used >= replySize - 1) {
            rc = TELNET_REPLY_FULL;
            break;
        }
        std::array<char, TELNET_RECEIVE_SIZE + 1> buf{};
        const int n = kor_doTCPClientReceive(socket, -1, buf.data(), TELNET_RECEIVE_SIZE, 0);
        if (n <= 0) break;
        // Keep what fits; NUL bytes (as after a bare CR) would end the text.
        for (int i = 0; i < n && used < replySize - 1; ++i) {
            if (buf[static_cast<std::size_t>(i)] != '\0')
                reply[used++] = buf[static_cast<std::size_t>(i)];
        }
        reply[used] = '\0';
        if (kor_CheckPattern2(reply, pattern, 0, scratch, 0) == 0) {
            rc = 0;
            break;
        }
    }
    ctlFree(scratch);
    return rc;
}

int kor_telnetClose(int socket) {
    const int rc = ctlClose(socket);
    if (rc == -1) vx::perror("Error - ctlClose()");
    return rc;
}

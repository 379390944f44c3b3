// Pattern and telnet commands: CHECKPATTERN (9), CHECKPATTERNBINRES (13),
// CHECKPATTERNBIN (14), TELNETCONNECT (21) and WAITPATTERN (30).
//
// The pattern commands match on a copy of a channel's input queue taken under
// tableSem; the receive task may add bytes while the match runs. A result
// longer than one byte block (128 bytes) is refused with 253 and the queue is
// left as it is. The clear flag removes the bytes that were matched and are
// still queued (another command may have taken some meanwhile); bytes that
// arrived after the copy was taken stay queued.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl.h"
#include "korChQue.h"
#include "korCommands.h"
#include "korHandleTable.h"
#include "korObserve.h"
#include "korParams.h"
#include "korPattern.h"
#include "korTelnet.h"
#include "receiveTasks.h"

namespace {

// The command's parameters by role.
struct PatternParams {
    std::int32_t handle;       // p8
    std::int32_t patternVar;   // p1: first B variable of the pattern
    std::int32_t patternLen;   // p2
    std::int32_t resultVar;    // p3
    std::int32_t index;        // p4: 0 whole data, n capture n
    std::int32_t requiredLen;  // p5: 0 any length
    std::int32_t flag;         // p6: clear flag (WAITPATTERN: time-out with the flag in its sign)
};

PatternParams patternParams(const KorCommand& cmd) {
    return PatternParams{cmd.p[8], cmd.p[1], cmd.p[2], cmd.p[3], cmd.p[4], cmd.p[5], cmd.p[6]};
}

// A buffer from the controller's memory, freed with its scope.
class Buffer {
public:
    explicit Buffer(std::size_t size) : p_(static_cast<char*>(ctlMalloc(size))) {}
    ~Buffer() { ctlFree(p_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    char* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    char* p_;
};

// The channel a command works on, looked up once: later steps find it again
// only if it is still the same opening.
struct Channel {
    KorChannelId id;
    CtlMsgQId msgQ = 0;
};

// The channel in use, looked up under the caller's lock; false when none.
bool lookUp(const KorTableLock& lock, std::int32_t handle, Channel* ch) {
    const KORHANDLE* rec = lock.find(handle);
    if (rec != nullptr) *ch = Channel{lock.idOf(handle), rec->msgQ};
    return rec != nullptr;
}

// Copy of everything queued on the channel (data holds KORCHQUE_CAPACITY + 1
// bytes). len -1 when the channel is no longer the one that was looked up,
// KORHDLTBL_NO_LOCK when the table cannot be locked.
KorPeek snapshot(const KorChannelId& id, char* data) {
    const KorTableLock lock(&korHandleTable);
    if (!lock.held()) return KorPeek{KORHDLTBL_NO_LOCK};
    return KORHDLTBL_PeekInput(lock, id, data);
}

// The command's result once the output is written: n bytes matched (1 for an
// empty match), or 254 when the matched bytes were to be cleared and could not be.
// The matched bytes are drained through a small buffer of the table's: a clear
// that needed memory could fail after the match was reported.
void answerMatched(const PatternParams& pp, bool clear, const KorChannelId& id, const KorPeek& copy,
                   int n) {
    if (clear && !KORHDLTBL_DropPeeked(&korHandleTable, id, copy)) {
        std::printf("Error - CHECKPATTERN %d: clearing the matched bytes\r\n",
                    static_cast<int>(pp.handle));
        korWriteResult(pp.resultVar, KOR_RES_FAILED);
        return;
    }
    korWriteResult(pp.resultVar, n == 0 ? 1 : n);
}

void reportNoHandle(const PatternParams& pp) {
    std::printf("Error - CHECKPATTERN %d: no active handle\r\n", static_cast<int>(pp.handle));
    korWriteResult(pp.resultVar, KOR_RES_HANDLE_NOT_IN_USE);
}

// The working buffers of one pattern command.
struct Work {
    Buffer pattern{KOR_BLOCK_MAX + 1};
    Buffer data{KORCHQUE_CAPACITY + 1};
    Buffer out{KORCHQUE_CAPACITY + 1};
    bool ok() const { return pattern && data && out; }
};

// Matches the copy of the input. Text form: pattern and data as NUL-terminated
// text. 0 and *n on a match.
int match(bool textForm, const PatternParams& pp, Work& w, int len, int* n) {
    if (textForm) {
        w.pattern.get()[pp.patternLen] = '\0';
        w.data.get()[len] = '\0';
        const int rc = kor_CheckPattern2(w.data.get(), w.pattern.get(), pp.index, w.out.get(),
                                         pp.requiredLen);
        if (rc == 0) *n = static_cast<int>(std::strlen(w.out.get()));
        return rc;
    }
    return kor_CheckPatternBin2(w.data.get(), len, w.pattern.get(), pp.patternLen, pp.index,
                                w.out.get(), n, pp.requiredLen);
}

// Writes the output bytes from B outVar on. False when the command has ended
// (the output did not fit or could not be written; the result is written).
bool writeOutput(const PatternParams& pp, char* out, int n, std::int32_t outVar) {
    if (n > KOR_BLOCK_MAX) {
        std::printf("Error - CHECKPATTERN %d: result of %d bytes is longer than %d\r\n",
                    static_cast<int>(pp.handle), n, KOR_BLOCK_MAX);
        korWriteResult(pp.resultVar, KOR_RES_NOTHING);
        return false;
    }
    if (n == 0) {
        out[0] = 0;
        n = 1;
    }
    if (korWriteBytes(outVar, out, n) != 0) {
        std::printf("Error - CHECKPATTERN %d: writing to vars\r\n", static_cast<int>(pp.handle));
        if (korWriteResult(pp.resultVar, KOR_RES_FAILED) != 0) {
            std::printf("Error - CHECKPATTERN %d: writing retval to vars\r\n",
                        static_cast<int>(pp.handle));
        }
        return false;
    }
    return true;
}

// Reads the pattern's byte block. False when the command has ended.
bool readPattern(const PatternParams& pp, Work& w) {
    if (korReadByteBlock(pp.patternVar, pp.patternLen, w.pattern.get()) != 0) {
        std::printf("Error - CHECKPATTERN %d: reading pattern from vars\r\n",
                    static_cast<int>(pp.handle));
        korWriteResult(pp.resultVar, KOR_RES_FAILED);
        return false;
    }
    return true;
}

// Refuses a pattern block out of range (253) and a failed allocation (254).
bool prepare(const PatternParams& pp, Work& w) {
    if (!korBlockCountValid(pp.patternLen)) {
        korWriteResult(pp.resultVar, KOR_RES_NOTHING);
        return false;
    }
    if (!w.ok()) {
        std::printf("Error - CHECKPATTERN %d: out of memory\r\n", static_cast<int>(pp.handle));
        korWriteResult(pp.resultVar, KOR_RES_FAILED);
        return false;
    }
    return true;
}

enum class Output { OverPattern, AfterResult };

void checkPattern(const KorCommand& cmd, bool textForm, Output where) {
    const PatternParams pp = patternParams(cmd);
    Work w;
    if (!prepare(pp, w)) return;

    Channel ch;
    KorPeek copy;
    {
        const KorTableLock lock(&korHandleTable);
        if (lookUp(lock, pp.handle, &ch)) copy = KORHDLTBL_PeekInput(lock, ch.id, w.data.get());
        if (!lock.held()) copy.len = KORHDLTBL_NO_LOCK;
    }
    const int len = copy.len;
    if (len == KORHDLTBL_NO_LOCK) {
        korWriteResult(pp.resultVar, KOR_RES_FAILED);
        return;
    }
    if (len < 0) {
        reportNoHandle(pp);
        return;
    }
    if (len == 0) {  // nothing to match: the pattern is not read
        korWriteResult(pp.resultVar, KOR_RES_NOTHING);
        return;
    }
    if (!readPattern(pp, w)) return;
    int n = 0;
    if (match(textForm, pp, w, len, &n) != 0) {
        korWriteResult(pp.resultVar, KOR_RES_NOTHING);
        return;
    }
    const std::int32_t outVar = where == Output::AfterResult ? pp.resultVar + 1 : pp.patternVar;
    if (!writeOutput(pp, w.out.get(), n, outVar)) return;
    answerMatched(pp, pp.flag != 0, ch.id, copy, n);
}

// |p6| seconds (at any clock rate) in system clock ticks; 0 means no limit.
int waitTicks(std::int32_t seconds) {
    const std::int64_t s = std::llabs(static_cast<long long>(seconds));
    return s == 0 ? CTL_WAIT_FOREVER : ctlMsToTicks(s * 1000);
}

}  // namespace

void korCmdCheckPattern(const KorCommand& cmd) { checkPattern(cmd, true, Output::OverPattern); }

void korCmdCheckPatternBinRes(const KorCommand& cmd) {
    checkPattern(cmd, false, Output::AfterResult);
}

void korCmdCheckPatternBin(const KorCommand& cmd) { checkPattern(cmd, false, Output::OverPattern); }

void korCmdWaitPattern(const KorCommand& cmd) {
    const PatternParams pp = patternParams(cmd);
    const int ticks = waitTicks(pp.flag);
    Work w;
    if (!prepare(pp, w)) return;

    Channel ch;
    int pending = 0;
    bool open = false;
    bool locked = false;
    {
        const KorTableLock lock(&korHandleTable);
        locked = lock.held();
        open = lookUp(lock, pp.handle, &ch);
        if (open) pending = KORHDLTBL_PeekInput(lock, ch.id, nullptr).len;
    }
    if (!locked) {
        korWriteResult(pp.resultVar, KOR_RES_FAILED);
        return;
    }
    if (!open) {
        reportNoHandle(pp);
        return;
    }
    if (!readPattern(pp, w)) return;

    int n = 0;
    KorPeek copy;
    for (;;) {
        if (pending <= 0) {
            char signal = 0;
            const int status = ctlMsgQReceive(ch.msgQ, &signal, 1, ticks);
            std::printf("Data available %d\r\n", status);
            if (status <= 0) {
                korWriteResult(pp.resultVar, KOR_RES_NOTHING);
                return;
            }
        }
        pending = 0;
        copy = snapshot(ch.id, w.data.get());
        if (copy.len == KORHDLTBL_NO_LOCK) {
            korWriteResult(pp.resultVar, KOR_RES_FAILED);
            return;
        }
        if (copy.len < 0) {  // released while waiting
            korWriteResult(pp.resultVar, KOR_RES_NOTHING);
            return;
        }
        if (copy.len > 0 && match(false, pp, w, copy.len, &n) == 0) break;
    }
    if (!writeOutput(pp, w.out.get(), n, pp.resultVar + 1)) return;
    answerMatched(pp, pp.flag > 0, ch.id, copy, n);
}

void korCmdTelnetConnect(const KorCommand& cmd) {
    const std::int32_t resultVar = cmd.p[3];
    if (!korTextCountValid(cmd.p[2], 3)) {
        korWriteResult(resultVar, KOR_RES_NOTHING);
        return;
    }
    char address[KOR_ADDR_TEXT_SIZE];
    korFormatAddress(address, cmd.p[4], cmd.p[5], cmd.p[6], cmd.p[7]);
    const auto port = static_cast<unsigned short>(korDecodePort(cmd.p[0]) & 0xffffu);
    char user[KOR_FIELD_SIZE];
    char password[KOR_FIELD_SIZE];
    char prompt[KOR_FIELD_SIZE];
    korReadThreeFields(cmd.p[1], cmd.p[2], 0, user, password, prompt);

    int socket = -1;
    if (kor_telnetConnect(address, port, user, password, prompt, &socket) != 0) {
        std::printf("TELNETCONNECT result: %d\r\n", KOR_RES_FAILED);
        korWriteResult(resultVar, KOR_RES_FAILED);
        return;
    }
    const int handle = KORHDLTBL_GetHandle(&korHandleTable, KORHDLTYPE_TCPCLIENT, socket);
    if (handle == -1) {
        std::printf("TELNETCONNECT result: %d\r\n", KOR_RES_NO_FREE_HANDLE);
        kor_telnetClose(socket);
        korWriteResult(resultVar, KOR_RES_NO_FREE_HANDLE);
        return;
    }
    // The peer, for the admin readout only: a table that cannot be locked
    // leaves it out and the channel works on.
    const KorTransport peer{KORHDLTYPE_TCPCLIENT, socket, address, port};
    static_cast<void>(KORHDLTBL_SetTransport(&korHandleTable, handle, peer));
    kor_captureOpened(handle, KORHDLTYPE_TCPCLIENT, socket, address, port);
    std::printf("TELNETCONNECT result: %d\r\n", handle);
    korWriteResult(resultVar, handle);
    kor_startTCPClientReceive(handle);
    KORHDLTBL_CloseHandle(&korHandleTable, handle);
}

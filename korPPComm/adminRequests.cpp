// The admin server's request frames: parsing and the command table, tested
// in order; the first rule that applies wins.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adminExtensions.h"
#include "ctl.h"
#include "funclib.h"
#include "jobTransfer.h"
#include "korHandleTable.h"
#include "korPPComm.h"

namespace {

struct Request {
    char field[KOR_ADMIN_CMD_SIZE + 1];  // the command text, always terminated here
    char* payload;                       // the receive buffer from offset 16 on
    int payloadLength;
};

struct ReplyContext {
    char* buf;
    int size;
    KorAdminReply reply;
};

// The number behind the command letters, as the standard conversion reads it.
int numberAt(const Request& r, int offset) {
    return static_cast<int>(std::strtol(r.field + offset, nullptr, 10));
}

void replyText(ReplyContext& c, const char* format, int value) {
    int n = std::snprintf(c.buf, static_cast<size_t>(c.size), format, value);
    c.reply.data = c.buf;
    c.reply.length = n < c.size ? n : c.size - 1;
}

void replyBytes(ReplyContext& c, char* data, int length, bool allocated) {
    c.reply.data = data;
    c.reply.length = length;
    c.reply.allocated = allocated;
}

void replyLiteral(ReplyContext& c, const char* text) {
    std::snprintf(c.buf, static_cast<size_t>(c.size), "%s", text);
    replyBytes(c, c.buf, static_cast<int>(std::strlen(c.buf)), false);
}

void cmdVersion(const Request&, ReplyContext& c) { replyLiteral(c, "1"); }

void cmdQuit(const Request&, ReplyContext& c) { c.reply.endSession = true; }

void cmdClearQueue(const Request& r, ReplyContext& c) {
    replyText(c, "%d", clearHandleInputQueue(numberAt(r, 3)));
}

void cmdReadQueue(const Request& r, ReplyContext& c) {
    int handle = numberAt(r, 3);
    char* copy = nullptr;
    int length = 0;
    {
        const KorTableLock lock(&korHandleTable);
        const KorChannelId id = lock.idOf(handle);
        const int count = KORHDLTBL_PeekInput(lock, id, nullptr).len;
        if (count > 0) {
            copy = static_cast<char*>(ctlMalloc(static_cast<size_t>(count)));
            if (copy) length = KORHDLTBL_PeekInput(lock, id, copy).len;
        }
    }
    if (length > 0) {
        replyBytes(c, copy, length, true);
    } else {
        ctlFree(copy);
        replyLiteral(c, "-1");
    }
}

void cmdTransmit(const Request& r, ReplyContext& c) {
    replyText(c, "%d", sendData(numberAt(r, 3), r.payload, r.payloadLength));
}

void cmdSetBytes(const Request& r, ReplyContext& c) {
    int first = numberAt(r, 3);
    int result = 0;
    for (int i = 0; i < r.payloadLength && result == 0; ++i) {
        auto value = static_cast<unsigned char>(r.payload[i]);
        result = SetBVar(static_cast<std::uint16_t>(first + i), value);
    }
    replyText(c, "%d", result);
}

void cmdGetBytes(const Request& r, ReplyContext& c) {
    int first = numberAt(r, 3);
    long count = std::strtol(r.payload, nullptr, 10);
    // Negative, zero or beyond the variable range: nothing sensible to read.
    char* bytes = (count > 0 && count <= KOR_ADMIN_GB_MAX)
                      ? static_cast<char*>(ctlMalloc(static_cast<size_t>(count)))
                      : nullptr;
    if (!bytes) {
        replyLiteral(c, "-1");
        return;
    }
    // One slot for all reads: a failed read repeats the previous variable's byte.
    std::int32_t slot = 0;
    for (long i = 0; i < count; ++i) {
        GetBVar(static_cast<std::uint16_t>(first + i), &slot);
        bytes[i] = static_cast<char>(slot & 0xff);
    }
    replyBytes(c, bytes, static_cast<int>(count), true);
}

void cmdListHandles(const Request&, ReplyContext& c) {
    char list[100];
    if (KORHDLTBL_GetNumberOfActiveHandles(&korHandleTable, list, sizeof list) != 0)
        replyLiteral(c, "-1");
    else replyLiteral(c, list[0] ? list : "0");
}

void cmdCloseHandle(const Request& r, ReplyContext& c) {
    replyText(c, "%d", closeHandle(numberAt(r, 3)));
}

void cmdReadout(const Request& r, ReplyContext& c) {
    static_assert(KOR_ADMIN_READOUT_SIZE <= KOR_ADMIN_LIST_MAX);
    if (readoutHandleData(c.buf, numberAt(r, 2)) == 0) {
        replyBytes(c, c.buf, KOR_ADMIN_READOUT_SIZE, false);
    } else {
        replyLiteral(c, "-1");
    }
}

// Copies a text field of the transfer record, terminated within its size
// whatever the client sent.
void recordField(const Request& r, int offset, int size, char* out) {
    std::memcpy(out, r.payload + offset, static_cast<size_t>(size));
    out[size - 1] = '\0';
}

void runTransfer(const Request& r, ReplyContext& c, int mode) {
    char user[KOR_XFER_USER_SIZE], password[KOR_XFER_PASS_SIZE], dir[KOR_XFER_DIR_SIZE];
    char job[KOR_XFER_JOB_SIZE], address[KOR_XFER_ADDR_SIZE];
    recordField(r, KOR_XFER_USER_OFF, KOR_XFER_USER_SIZE, user);
    recordField(r, KOR_XFER_PASS_OFF, KOR_XFER_PASS_SIZE, password);
    recordField(r, KOR_XFER_DIR_OFF, KOR_XFER_DIR_SIZE, dir);
    recordField(r, KOR_XFER_JOB_OFF, KOR_XFER_JOB_SIZE, job);
    recordField(r, KOR_XFER_ADDR_OFF, KOR_XFER_ADDR_SIZE, address);
    replyText(c, "%d\r\n", kor_FtpLoad(address, user, password, dir, job, mode));
}

void cmdFtpPut(const Request& r, ReplyContext& c) { runTransfer(r, c, 0); }
void cmdFtpGet(const Request& r, ReplyContext& c) { runTransfer(r, c, 1); }

void cmdJobList(const Request&, ReplyContext& c) {
    int length = 0;
    c.buf[length++] = '\n';
    if (ctlRefreshFileList(1) == 0) {
        int files = ctlGetFileCount();
        for (int i = 0; i < files; ++i) {
            char name[256] = "";
            if (ctlGetFileName(i, name, sizeof name) != 0) continue;
            int nameLength = static_cast<int>(std::strlen(name));
            if (length + nameLength + 1 > KOR_ADMIN_LIST_MAX) break;
            std::memcpy(c.buf + length, name, static_cast<size_t>(nameLength));
            length += nameLength;
            c.buf[length++] = '\n';
        }
    }
    replyBytes(c, c.buf, length, false);
}

void cmdUnknown(const Request&, ReplyContext& c) { replyLiteral(c, "Unknown command"); }

struct Rule {
    const char* text;
    bool wholeField;  // the text must be the whole field, else it may occur anywhere
    void (*run)(const Request&, ReplyContext&);
};

constexpr Rule kRules[] = {
    {":v", true, cmdVersion},     {":q", true, cmdQuit},         {":ic", false, cmdClearQueue},
    {":ir", false, cmdReadQueue}, {":tx", false, cmdTransmit},   {":sb", false, cmdSetBytes},
    {":gb", false, cmdGetBytes},  {":h?", true, cmdListHandles}, {":hc", false, cmdCloseHandle},
    {":h", false, cmdReadout},    {":ftpp", false, cmdFtpPut},   {":ftpg", false, cmdFtpGet},
    {":list", false, cmdJobList},
};

bool ruleApplies(const Rule& rule, const char* field) {
    return rule.wholeField ? std::strcmp(field, rule.text) == 0
                           : std::strstr(field, rule.text) != nullptr;
}

std::uint32_t bigEndian32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           b[3];
}

}  // namespace

bool kor_adminFrameComplete(const char* request, int received) {
    if (received < KOR_ADMIN_HEADER_SIZE || received >= KOR_ADMIN_BUF_SIZE) return false;
    return bigEndian32(request + KOR_ADMIN_CMD_SIZE) ==
           static_cast<std::uint32_t>(received - KOR_ADMIN_HEADER_SIZE);
}

KorAdminReply kor_adminHandleRequest(char* request, int received, char* replyBuf, int replySize) {
    ReplyContext c{replyBuf, replySize, KorAdminReply{replyBuf, 0, false, false}};
    // Too short, or a length field that does not match what arrived: no reply.
    if (!kor_adminFrameComplete(request, received)) return c.reply;
    Request r{};
    std::memcpy(r.field, request, KOR_ADMIN_CMD_SIZE);
    // The payload is read in place: the receive buffer is zeroed beyond what
    // arrived, so fields the client did not send read as zero.
    r.payload = request + KOR_ADMIN_HEADER_SIZE;
    r.payloadLength = received - KOR_ADMIN_HEADER_SIZE;
    for (const Rule& rule : kRules) {
        if (ruleApplies(rule, r.field)) {
            rule.run(r, c);
            return c.reply;
        }
    }
    if (kor_adminExtension(r.field, r.payload, r.payloadLength, replyBuf, replySize, &c.reply))
        return c.reply;
    cmdUnknown(r, c);
    return c.reply;
}

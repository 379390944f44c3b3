// The admin server's extension requests: journal, console, counters and
// capture. Each reply carries its own length (see korPPComm.h).
#include <cstdlib>
#include <cstring>

#include "adminExtensions.h"
#include "ctl.h"
#include "korObserve.h"
#include "korPPComm.h"

namespace {

using BodyWriter = int (*)(const char* payload, int payloadLength, char* body, int size);

std::uint64_t sinceOf(const char* payload) { return std::strtoull(payload, nullptr, 10); }

int journalBody(const char* payload, int, char* body, int size) {
    return kor_journalText(sinceOf(payload), body, size);
}

int consoleBody(const char* payload, int, char* body, int size) {
    return kor_consoleText(sinceOf(payload), body, size);
}

int countersBody(const char*, int, char* body, int size) { return kor_countersText(body, size); }

int captureBody(const char* payload, int payloadLength, char* body, int size) {
    return kor_captureRequest(payload, payloadLength, body, size);
}

// The framed reply in a block of its own, or "-1" when none can be had.
KorAdminReply framed(const char* command, BodyWriter write, int bodyMax, const char* payload,
                     int payloadLength, char* replyBuf, int replySize) {
    const int total = KOR_ADMIN_HEADER_SIZE + bodyMax + 1;
    auto* block = static_cast<char*>(ctlMalloc(static_cast<std::size_t>(total)));
    if (block == nullptr) {
        std::strncpy(replyBuf, "-1", static_cast<std::size_t>(replySize));
        return KorAdminReply{replyBuf, 2, false, false};
    }
    std::memset(block, 0, KOR_ADMIN_HEADER_SIZE);
    std::strncpy(block, command, KOR_ADMIN_CMD_SIZE - 1);
    int length = write(payload, payloadLength, block + KOR_ADMIN_HEADER_SIZE, bodyMax + 1);
    if (length < 0) length = 0;
    if (length > bodyMax) length = bodyMax;
    const auto n = static_cast<std::uint32_t>(length);
    auto* header = reinterpret_cast<unsigned char*>(block + KOR_ADMIN_CMD_SIZE);
    header[0] = static_cast<unsigned char>(n >> 24);
    header[1] = static_cast<unsigned char>(n >> 16);
    header[2] = static_cast<unsigned char>(n >> 8);
    header[3] = static_cast<unsigned char>(n);
    return KorAdminReply{block, KOR_ADMIN_HEADER_SIZE + length, true, false};
}

int textBodyMax(const char*, int) { return KOR_ADMIN_TEXT_BODY_MAX; }

struct Extension {
    const char* command;
    BodyWriter write;
    int (*bodyMax)(const char* payload, int payloadLength);  // the body's room for this payload
};

constexpr Extension kExtensions[] = {
    {KOR_ADMIN_JOURNAL, journalBody, textBodyMax},
    {KOR_ADMIN_CONSOLE, consoleBody, textBodyMax},
    {KOR_ADMIN_COUNTERS, countersBody, textBodyMax},
    {KOR_ADMIN_CAPTURE, captureBody, kor_captureBodyMax},
};

}  // namespace

bool kor_adminExtension(const char* field, const char* payload, int payloadLength, char* replyBuf,
                        int replySize, KorAdminReply* reply) {
    for (const Extension& e : kExtensions) {
        if (std::strcmp(field, e.command) != 0) continue;
        *reply = framed(e.command, e.write, e.bodyMax(payload, payloadLength), payload,
                        payloadLength, replyBuf, replySize);
        return true;
    }
    return false;
}

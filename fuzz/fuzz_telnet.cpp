// Telnet: the negotiation parser (data bytes and the replies it sends,
// checked against a reference parser), the log-in against a peer that sends
// arbitrary bytes in arbitrary pieces, and the command exchange.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ctl.h"
#include "fuzzSupport.h"
#include "korPattern.h"
#include "korTelnet.h"
#include "korTransport.h"

namespace {

struct Parsed {
    std::string data;
    std::string replies;
};

// One pass over the bytes, rule by rule. Each side of an option (ours: DO
// and DONT ask about it; the server's: WILL and WONT) is on, or off and maybe
// refused since it last changed; a request is answered only when that changes
// or when it is the first refusal.
Parsed referenceParse(const std::string& src) {
    constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253,
                            DONT = 254;
    bool on[2][256] = {};
    bool refused[2][256] = {};
    Parsed p;
    const std::size_t len = src.size();
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(src[k]); };
    while (i < len) {
        if (at(i) != IAC) {
            p.data += src[i++];
            continue;
        }
        if (i + 1 >= len) break;
        const unsigned char cmd = at(i + 1);
        if (cmd == IAC) {
            p.data += static_cast<char>(IAC);
            i += 2;
        } else if (cmd == SB) {
            const std::size_t se = src.find(static_cast<char>(SE), i + 2);
            i = se == std::string::npos ? len : se + 1;
        } else if (cmd == WILL || cmd == WONT || cmd == DO || cmd == DONT) {
            if (i + 2 >= len) break;
            const unsigned char opt = at(i + 2);
            const int side = cmd == DO || cmd == DONT ? 0 : 1;
            const bool wantOn = cmd == DO || cmd == WILL;
            const unsigned char yes = side == 0 ? WILL : DO;
            const unsigned char no = side == 0 ? WONT : DONT;
            unsigned char verb = 0;
            if (wantOn && opt == 3) {
                if (!on[side][opt]) verb = yes;
                on[side][opt] = true;
                refused[side][opt] = false;
            } else if (on[side][opt] || !refused[side][opt]) {
                verb = no;
                on[side][opt] = false;
                refused[side][opt] = true;
            }
            if (verb != 0) {
                p.replies += static_cast<char>(IAC);
                p.replies += static_cast<char>(verb);
                p.replies += static_cast<char>(opt);
            }
            i += 3;
        } else {
            i += 2;
        }
    }
    return p;
}

fuzzsupport::SocketPair& pair() {
    static fuzzsupport::SocketPair p = fuzzsupport::makeSocketPair();
    return p;
}

fuzzsupport::PeerListener& peer() {
    static fuzzsupport::PeerListener l;
    return l;
}

void fuzzParse(const std::string& src) {
    const Parsed expected = referenceParse(src);
    std::unique_ptr<char[]> dst(new char[src.size() + 1]);
    int outLen = -1;
    kor_parseTelnet(pair().near, reinterpret_cast<const unsigned char*>(src.data()),
                    static_cast<int>(src.size()), dst.get(), &outLen);
    const std::string replies = fuzzsupport::drain(pair().far);
    if (outLen < 0 || std::string(dst.get(), static_cast<std::size_t>(outLen)) != expected.data) {
        std::fprintf(stderr, "data bytes differ (%d, expected %zu)\n", outLen,
                     expected.data.size());
        std::abort();
    }
    if (replies != expected.replies) {
        std::fprintf(stderr, "replies differ (%zu bytes, expected %zu)\n", replies.size(),
                     expected.replies.size());
        std::abort();
    }
}

std::vector<std::string> takeChunks(FuzzedDataProvider& in) {
    std::vector<std::string> chunks;
    const int count = in.ConsumeIntegralInRange<int>(1, 8);
    for (int k = 0; k < count && in.remaining_bytes() > 0; ++k)
        chunks.push_back(in.ConsumeRandomLengthString(1200));
    return chunks;
}

// The peer sends its pieces (waiting for the answer to each prompt) and
// closes: the log-in ends without waiting for a time-out, logged in or not.
void fuzzLogin(FuzzedDataProvider& in) {
    const std::string prompt = in.ConsumeRandomLengthString(16);
    fuzzsupport::ScriptedPeer server(peer(), takeChunks(in), fuzzsupport::Pace::Prompts);
    int s = -1;
    const int rc = kor_telnetConnect("127.0.0.1", peer().port(), "operator", "secret",
                                     prompt.c_str(), &s);
    if (rc == 0) ctlClose(s);
    else if (rc != -1) std::abort();
    server.join();
}

void fuzzCommand(FuzzedDataProvider& in) {
    const int replySize = in.ConsumeIntegralInRange<int>(1, 700);
    const std::string pattern = in.ConsumeRandomLengthString(24);
    fuzzsupport::ScriptedPeer server(peer(), takeChunks(in));
    int s = -1;
    if (kor_startTCPConnect("127.0.0.1", peer().port(), &s) != 0) std::abort();
    std::unique_ptr<char[]> reply(new char[static_cast<std::size_t>(replySize)]);
    const int rc = kor_telnetCommand(s, "show", reply.get(), replySize, pattern.c_str());
    ctlClose(s);
    server.join();

    const std::size_t got = std::strlen(reply.get());  // terminated within the buffer
    if (got > static_cast<std::size_t>(replySize) - 1) std::abort();
    if (rc == TELNET_REPLY_FULL && got != static_cast<std::size_t>(replySize) - 1) std::abort();
    if (rc == 0) {
        std::unique_ptr<char[]> scratch(new char[got + 1]);
        if (kor_CheckPattern(reply.get(), pattern.c_str(), 0, scratch.get()) != 0) std::abort();
    }
    if (rc != 0 && rc != -1 && rc != TELNET_REPLY_FULL) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vc::useSettings(vc::Settings{});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0 || size > 8192) return 0;
    // The first byte picks the operation; the parser gets most of the time.
    switch (bytes[0] % 8) {
        case 6: {
            FuzzedDataProvider in(bytes + 1, size - 1);
            fuzzLogin(in);
            break;
        }
        case 7: {
            FuzzedDataProvider in(bytes + 1, size - 1);
            fuzzCommand(in);
            break;
        }
        default: fuzzParse(std::string(reinterpret_cast<const char*>(bytes + 1), size - 1));
    }
    return 0;
}

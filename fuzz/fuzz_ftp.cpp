// FTP replies: the PASV reply parser against a reference parser, and a whole
// control session (greeting, log-in, SYST, PWD, SIZE, MDTM, RNFR/RNTO, SITE,
// CWD, a passive data request, QUIT) read from arbitrary server text:
// multi-line replies, over-long lines, a stream that ends anywhere. The text
// waits in an in-process socket pair (no network, no peer thread), so a
// session costs microseconds. Output buffers are exactly as large as the
// caller says.
//
// The passive data connection is never made: connects are failed through the
// platform's test hooks while it is requested (the reply's port only is used,
// with the control connection's address).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "fuzzSupport.h"

// The parser is private to the data-transfer half of the client; this target
// compiles that half itself to reach it (its other definitions then come from
// here instead of the library).
#include "../ftpclient/ftpData.cpp"

namespace {

struct Passive {
    std::uint8_t bytes[6];
};

// After the first '(': six decimal numbers 0..255 (blanks before each),
// separated by commas.
std::optional<Passive> referencePassive(const std::string& reply) {
    const std::size_t open = reply.find('(');
    if (open == std::string::npos) return std::nullopt;
    Passive p{};
    std::size_t i = open + 1;
    for (int k = 0; k < 6; ++k) {
        while (i < reply.size() && reply[i] == ' ') ++i;
        if (i >= reply.size() || reply[i] < '0' || reply[i] > '9') return std::nullopt;
        unsigned v = 0;
        while (i < reply.size() && reply[i] >= '0' && reply[i] <= '9') {
            v = v * 10 + static_cast<unsigned>(reply[i++] - '0');
            if (v > 255) return std::nullopt;
        }
        p.bytes[k] = static_cast<std::uint8_t>(v);
        if (k < 5) {
            if (i >= reply.size() || reply[i] != ',') return std::nullopt;
            ++i;
        }
    }
    return p;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void fuzzPassive(const std::string& raw) {
    const std::string reply(raw.c_str());  // the parser reads the reply as text
    const auto expected = referencePassive(reply);
    const int port = passivePort(reply.c_str());
    if ((port >= 0) != expected.has_value()) fail("PASV verdict differs");
    if (port >= 0 && port != (expected->bytes[4] << 8 | expected->bytes[5]))
        fail("PASV port differs");
}

// A buffer of exactly n bytes (so that a write past it is caught).
std::unique_ptr<char[]> exact(int n) {
    return std::unique_ptr<char[]>(new char[static_cast<std::size_t>(n)]);
}

void checkText(const char* buf, int max) {
    if (std::memchr(buf, '\0', static_cast<std::size_t>(max)) == nullptr)
        fail("text not terminated");
}

// A control record on the reader's end of the pair, as FtpConnect makes it
// once connected; null when the greeting does not begin with 2.
FtpConnection* greeted(int sock) {
    auto* c = static_cast<FtpConnection*>(ctlMalloc(sizeof(FtpConnection)));
    if (!c) fail("no record");
    std::memset(c, 0, sizeof *c);
    c->sock = sock;
    c->role = FTP_ROLE_CONTROL;
    c->connectMode = FTP_CONNECT_PASSIVE;
    if (readresp('2', c)) return c;
    if (c->sock != -1) ctlClose(c->sock);
    ctlFree(c);
    return nullptr;
}

void fuzzSession(FuzzedDataProvider& in) {
    const int maxSyst = in.ConsumeIntegralInRange<int>(1, 40);
    const int maxPwd = in.ConsumeIntegralInRange<int>(1, 300);
    const int maxDate = in.ConsumeIntegralInRange<int>(1, 40);
    fuzzsupport::BufferedPeer server(in.ConsumeRemainingBytesAsString());

    // Everything the server says is already there: no wait is needed.
    if (FtpConnection* c = greeted(server.take())) {
        FtpLogin("anonymous", "guest", c);
        auto syst = exact(maxSyst);
        if (FtpSysType(syst.get(), maxSyst, c) == 1) checkText(syst.get(), maxSyst);
        auto pwd = exact(maxPwd);
        if (FtpPwd(pwd.get(), maxPwd, c) == 1) checkText(pwd.get(), maxPwd);
        int size = -12345;
        if (FtpSize("MAIN.JBI", &size, 'I', c) != 1 && size != -12345)
            fail("size stored on failure");
        auto date = exact(maxDate);
        FtpModDate("MAIN.JBI", date.get(), maxDate, c);
        FtpRename("A.JBI", "B.JBI", c);
        FtpSite("CHMOD 644 A.JBI", c);
        FtpChdir("/jobs", c);
        vc::hooks::failAfter(vc::hooks::Site::Connect, 0, -1);
        FtpConnection* data = nullptr;
        if (FtpAccess("MAIN.JBI", FTP_ACCESS_RETR, 'A', c, &data) == 1)
            fail("data connection without connect");
        vc::hooks::reset();
        checkText(FtpLastResponse(c), FTP_RESPONSE_SIZE);
        FtpQuit(c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vc::useSettings(vc::Settings{});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0 || size > 12000) return 0;
    const long liveBefore = vc::hooks::liveAllocations();
    if (bytes[0] % 3 != 2) {
        fuzzPassive(std::string(reinterpret_cast<const char*>(bytes + 1), size - 1));
    } else {
        FuzzedDataProvider in(bytes + 1, size - 1);
        fuzzSession(in);
    }
    if (vc::hooks::liveAllocations() != liveBefore) fail("memory left allocated");
    return 0;
}

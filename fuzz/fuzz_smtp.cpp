// The mail client's reply handling: the final-line search and the EHLO
// keyword search against reference versions; the collection of one reply
// from arbitrary bytes; and a whole session (greeting, EHLO, authentication,
// mail) read from arbitrary server text. The server's bytes wait in an
// in-process socket pair (no network, no peer thread), so a session costs
// microseconds. Nothing may be left allocated afterwards.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "fuzzSupport.h"
#include "smtpClient.h"
#include "smtpInternal.h"

// The greeting and authentication steps are private to the connection half of
// the client; this target compiles that half itself to reach them (its other
// definitions then come from here instead of the library).
#include "../smtpClient/smtpConnect.cpp"

namespace {

[[noreturn]] void fail(const char* what, long a = 0, long b = 0) {
    std::fprintf(stderr, "%s (%ld, %ld)\n", what, a, b);
    std::abort();
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// The first line ended by CR LF that reads "ddd CR LF" or "ddd ...".
int referenceReplyCode(const std::string& text) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) return -1;
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line.size() >= 3 && digit(line[0]) && digit(line[1]) && digit(line[2]) &&
            (line.size() == 3 || line[3] == ' '))
            return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    }
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// keyword after '-', ' ' or '=' and before ' ', '=' or CR LF, any letter case.
bool referenceKeyword(const std::string& reply, const std::string& keyword) {
    for (std::size_t p = 1; p + keyword.size() <= reply.size(); ++p) {
        bool same = true;
        for (std::size_t k = 0; k < keyword.size() && same; ++k)
            same = fold(reply[p + k]) == fold(keyword[k]);
        if (!same) continue;
        const char before = reply[p - 1];
        if (before != '-' && before != ' ' && before != '=') continue;
        const std::size_t after = p + keyword.size();
        if (after >= reply.size()) continue;
        if (reply[after] == ' ' || reply[after] == '=' || reply.compare(after, 2, "\r\n") == 0)
            return true;
    }
    return false;
}

void fuzzText(FuzzedDataProvider& in) {
    const std::string keyword = in.ConsumeRandomLengthString(12);
    const std::string reply = in.ConsumeRemainingBytesAsString();

    // Exactly as long as the text: a read past the end is caught.
    std::unique_ptr<char[]> exact(new char[reply.size() ? reply.size() : 1]);
    std::memcpy(exact.get(), reply.data(), reply.size());
    const int code = Smtp_FindReplyCode(exact.get(), reply.size());
    if (code != referenceReplyCode(reply))
        fail("reply code differs", code, referenceReplyCode(reply));

    const std::string replyText(reply.c_str());
    const std::string keywordText(keyword.c_str());
    const bool found = Smtp_IsKeywordSupported(replyText.c_str(), keywordText.c_str()) == 1;
    if (found != referenceKeyword(replyText, keywordText)) fail("keyword verdict differs", found);
}

// One reply collected from a peer that sends its bytes and closes.
void fuzzCollect(FuzzedDataProvider& in) {
    const std::string all = in.ConsumeRemainingBytesAsString();
    fuzzsupport::BufferedPeer server(all);
    const int s = server.take();
    std::unique_ptr<char[]> buf(new char[SMTP_BUFFER_SIZE]);
    const int code = Smtp_ReceiveResponse(s, buf.get());
    ctlClose(s);
    // Well below the collecting limit, so the outcome does not depend on how
    // the pieces arrive.
    const int want = referenceReplyCode(all);
    if (code != (want < 0 ? 0 : want)) fail("collected code differs", code, want);
    if (code > 0 && std::strlen(buf.get()) > all.size()) fail("reply text longer than received");
}

// A whole session on a connected socket, as Smtp_ConnectRemoteServer runs it
// once connected, then the mail.
void fuzzSession(FuzzedDataProvider& in) {
    const std::string user = in.ConsumeRandomLengthString(40);
    const std::string password = in.ConsumeRandomLengthString(40);
    fuzzsupport::BufferedPeer server(in.ConsumeRemainingBytesAsString());
    const int s = server.take();
    SmtpBuffer work(SMTP_BUFFER_SIZE);
    if (!work) fail("no work buffer");
    const CtlTlsSettings plain{};  // TLS off, as by default
    int rc = greetAndAuthenticate(s, work.get(), user.c_str(), password.c_str(), plain,
                                  "127.0.0.1");
    if (rc == SMTP_OK)
        rc = Smtp_SendMail(s, "robot@cell.example", "line@plant.example", "Arvo KOR mail",
                           "part done\r\n.\r\nnext\r\n");  // closes the socket
    else ctlClose(s);
    const bool known = rc == SMTP_OK ||
                       (rc >= SMTP_ERR_CONNECT && rc <= SMTP_ERR_NO_BUFFER && rc != 247);
    if (!known) fail("unknown result", rc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vc::useSettings(vc::Settings{});
    Smtp_clock = [] { return static_cast<std::int64_t>(1700000000); };
    // Console lines of failed sessions would drown the fuzzer's own output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0 || size > 8192) return 0;
    const long liveBefore = vc::hooks::liveAllocations();
    FuzzedDataProvider in(bytes + 1, size - 1);
    switch (bytes[0] % 4) {
        case 0:
        case 1: fuzzText(in); break;
        case 2: fuzzCollect(in); break;
        default: fuzzSession(in); break;
    }
    if (vc::hooks::liveAllocations() != liveBefore) fail("memory left allocated");
    return 0;
}

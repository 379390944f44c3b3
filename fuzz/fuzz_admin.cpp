// Admin request frames: arbitrary bytes as one received request, handled by
// kor_adminHandleRequest against a live controller state (B variables, a job
// directory) and a channel that a task of its own serves (an echo peer on the
// other end), as the admin server would. The reply must fit the reply buffer
// (exactly its documented size here), allocated replies are freed, and the
// request buffer is the zero-padded 2048 bytes the server receives into.
// Memory a request leaves unreachable is found by the leak checker.
//
// A transfer request names its remote server in the payload; the fuzzer
// rewrites that field to a loopback address, so nothing leaves the machine.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "fuzzSupport.h"
#include "korApp.h"
#include "korHandleTable.h"
#include "korObserve.h"
#include "korPPComm.h"
#include "korTransport.h"
#include "receiveTasks.h"

namespace {

constexpr int kReplySize = KOR_ADMIN_LIST_MAX + 1;  // the server's reply buffer

fuzzsupport::PeerListener& echoPeer() {
    static fuzzsupport::PeerListener l;
    return l;
}

// Echoes everything of every connection it accepts (one thread per
// connection). The channel's receive task keeps reading while a send waits
// (sends do not hold the channel table), so the echo never fills both ways.
void runEchoPeer() {
    std::thread([] {
        for (;;) {
            const int c = ::accept4(echoPeer().fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            std::thread([c] {
                char buf[4096];
                for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;)
                    ::send(c, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL);
                ::close(c);
            }).detach();
        }
    }).detach();
}

// The owner of a channel, as the TCPCONNECT command is: allocates it, serves
// it until it is asked to close, releases it.
std::atomic<int> servedHandle{-1};

void ownerTask(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg) {
    int s = -1;
    if (kor_startTCPConnect("127.0.0.1", echoPeer().port(), &s) != 0) return;
    const int h = KORHDLTBL_GetHandle(&korHandleTable, KORHDLTYPE_TCPCLIENT, s);
    if (h == -1) {
        ctlClose(s);
        return;
    }
    servedHandle = h;
    kor_startTCPClientReceive(h);
    KORHDLTBL_CloseHandle(&korHandleTable, h);
    servedHandle = -1;
}

// Keeps one served channel open between requests (a close request ends it).
void ensureChannel() {
    const int h = servedHandle.load();
    if (h > 0 && KORHDLTBL_GetActiveHandle(&korHandleTable, h) == 0) return;
    servedHandle = -1;
    if (ctlCreateTask(3, 0, ownerTask, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) == -1) std::abort();
    for (int i = 0; i < 2000 && servedHandle.load() <= 0; ++i) ctlTaskDelay(1);
}

// An extension reply carries its own length: the header echoes the command
// and gives exactly the bytes that follow.
void checkExtensionFrame(const char* request, const KorAdminReply& r) {
    if (r.length == 0) return;  // a malformed frame gets no reply at all
    const std::string field(request, strnlen(request, KOR_ADMIN_CMD_SIZE));
    for (const char* ext :
         {KOR_ADMIN_JOURNAL, KOR_ADMIN_CONSOLE, KOR_ADMIN_COUNTERS, KOR_ADMIN_CAPTURE}) {
        if (field != ext || (r.length == 2 && std::memcmp(r.data, "-1", 2) == 0)) continue;
        if (r.length < KOR_ADMIN_HEADER_SIZE || std::strncmp(r.data, ext, KOR_ADMIN_CMD_SIZE) != 0)
            std::abort();
        const auto* b = reinterpret_cast<const unsigned char*>(r.data + KOR_ADMIN_CMD_SIZE);
        const std::uint32_t n = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                (std::uint32_t{b[2]} << 8) | b[3];
        if (n != static_cast<std::uint32_t>(r.length - KOR_ADMIN_HEADER_SIZE) ||
            n > static_cast<std::uint32_t>(KOR_ADMIN_EXT_BODY_MAX))
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vc::Settings s;
    s.bCount = 2000;
    s.ftpServer = "off";
    s = fuzzsupport::openScratchState(s);
    for (const char* name : {"MAIN.JBI", "WELD-01.JBI", "PICK.JBI"})
        std::ofstream(s.jobsDir + "/" + name) << "/JOB\r\n";
    korSysClkRate = vx::sysClkRateGet() / 1000;
    KORHDLTBL_Init(&korHandleTable);
    // Small rings, so that the journal and console replies wrap too.
    kor_observeConfigure(KorObserveConfig{16, true, 1024});
    kor_observeStart();
    runEchoPeer();
    // Console lines of the handlers would drown the fuzzer's own output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    ensureChannel();

    // The server's receive buffer: cleared, then at most 2047 bytes.
    std::unique_ptr<char[]> request(new char[KOR_ADMIN_BUF_SIZE]);
    std::memset(request.get(), 0, KOR_ADMIN_BUF_SIZE);
    const bool fixLength = (bytes[0] & 1) != 0;
    const int received = static_cast<int>(std::min<std::size_t>(size - 1, KOR_ADMIN_BUF_SIZE - 1));
    std::memcpy(request.get(), bytes + 1, static_cast<std::size_t>(received));
    if (fixLength && received >= KOR_ADMIN_HEADER_SIZE) {
        // Mostly a length field that matches, so that the commands are reached.
        const std::uint32_t n = static_cast<std::uint32_t>(received - KOR_ADMIN_HEADER_SIZE);
        request[12] = static_cast<char>(n >> 24);
        request[13] = static_cast<char>(n >> 16);
        request[14] = static_cast<char>(n >> 8);
        request[15] = static_cast<char>(n);
    }
    // Transfers go to loopback only.
    if (std::strstr(std::string(request.get(), KOR_ADMIN_CMD_SIZE).c_str(), ":ftp") != nullptr)
        std::snprintf(request.get() + KOR_ADMIN_HEADER_SIZE + KOR_XFER_ADDR_OFF, KOR_XFER_ADDR_SIZE,
                      "127.0.0.1");

    std::unique_ptr<char[]> reply(new char[kReplySize]);
    const KorAdminReply r = kor_adminHandleRequest(request.get(), received, reply.get(),
                                                   kReplySize);
    if (r.length < 0 || (r.length > 0 && r.data == nullptr)) std::abort();
    if (!r.allocated && r.length > 0 &&
        (r.data < reply.get() || r.data + r.length > reply.get() + kReplySize))
        std::abort();
    if (r.length > 0) {
        // Touch every byte of the reply, as the send does.
        volatile char sink = 0;
        for (int i = 0; i < r.length; ++i) sink = static_cast<char>(sink ^ r.data[i]);
    }
    checkExtensionFrame(request.get(), r);
    if (r.allocated) ctlFree(r.data);

    return 0;
}

// Sockets and select: address translation, the controller's own address,
// pipes and sockets in one select, deletion and closing of blocked calls.
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "platformTest.h"

using namespace platformtest;

namespace {

class Sockets : public PlatformTest {};

TEST_F(Sockets, InetAddrAndNtoaRoundTrip) {
    for (const char* text : {"127.0.0.1", "0.0.0.0", "192.168.10.254", "10.1.2.3"}) {
        std::uint32_t a = ctlInetAddr(text);
        char* back = ctlInetNtoa(a);
        ASSERT_NE(back, nullptr);
        EXPECT_STREQ(back, text);
        ctlFree(back);
    }
    // Network byte order: the first number is the first byte.
    std::uint32_t a = ctlInetAddr("1.2.3.4");
    EXPECT_EQ(ctlNtohl(a), 0x01020304u);
    for (const char* bad : {"", "1.2.3", "256.1.1.1", "1.2.3.4.5", "a.b.c.d", "-1.2.3.4"})
        EXPECT_EQ(ctlInetAddr(bad), CTL_INADDR_NONE) << bad;
    EXPECT_EQ(ctlInetAddr(nullptr), CTL_INADDR_NONE);
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 0);
    EXPECT_EQ(ctlInetNtoa(a), nullptr);
}

TEST_F(Sockets, AnyAddressAndUnboundSendersUseTheControllersAddress) {
    vc::useSettings(controllerAt("127.0.60.7"));
    int port = 0;
    int listener = listenOn("0.0.0.0", &port);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(localOf(listener).first, "127.0.60.7");

    // An unbound client connecting is bound to the controller's address first.
    int client = connectTo("127.0.60.7", port);
    ASSERT_GE(client, 0);
    CtlSockAddr peer{};
    int peerLen = sizeof peer;
    int accepted = ctlAccept(listener, &peer, &peerLen);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(peerLen, 16);
    EXPECT_EQ(asIn(peer).family, CTL_AF_INET);
    EXPECT_EQ(asIn(peer).addr, ctlInetAddr("127.0.60.7"));
    EXPECT_EQ(ctlNtohs(asIn(peer).port), localOf(client).second);

    // Data both ways; a peer that closes gives 0.
    char buf[16] = {};
    EXPECT_EQ(ctlSend(client, "hello", 5, 0), 5);
    EXPECT_EQ(ctlRecv(accepted, buf, sizeof buf, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(ctlClose(client), 0);
    EXPECT_EQ(ctlRecv(accepted, buf, sizeof buf, 0), 0);
    EXPECT_EQ(ctlClose(accepted), 0);
    EXPECT_EQ(ctlClose(listener), 0);
    EXPECT_EQ(ctlClose(listener), -1);

    // An unbound UDP sender is bound to the controller's address too.
    int udp = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    CtlSockAddr to = makeAddr("127.0.60.8", 9);
    EXPECT_EQ(ctlSendTo(udp, "x", 1, 0, &to, sizeof to), 1);
    EXPECT_EQ(localOf(udp).first, "127.0.60.7");
    EXPECT_EQ(ctlClose(udp), 0);
}

TEST_F(Sockets, ConnectToOwnFtpPortGoesWhereTheFtpServerListens) {
    vc::Settings s = controllerAt("127.0.60.9");
    s.altAddress = "127.0.60.10";
    int port = 0;
    int ftp = listenOn("127.0.60.9", &port);
    ASSERT_GE(ftp, 0);
    s.ftpPort = port;
    vc::useSettings(s);
    int c = connectTo("127.0.60.9", 21);
    ASSERT_GE(c, 0);
    int a = ctlAccept(ftp, nullptr, nullptr);
    EXPECT_GE(a, 0);
    ctlClose(a);
    ctlClose(c);
    ctlClose(ftp);

    // The second interface address is the controller's own as well.
    ftp = listenOn("127.0.60.10", &port);
    ASSERT_GE(ftp, 0);
    s.ftpPort = port;
    vc::useSettings(s);
    c = connectTo("127.0.60.10", 21);
    EXPECT_GE(c, 0);
    ctlClose(c);
    ctlClose(ftp);
}

TEST_F(Sockets, ClosedListenersPortCanBeListenedOnAgain) {
    vc::useSettings(controllerAt("127.0.60.11"));
    int port = 0;
    int listener = listenOn("127.0.60.11", &port);
    ASSERT_GE(listener, 0);
    int client = connectTo("127.0.60.11", port);
    int accepted = ctlAccept(listener, nullptr, nullptr);
    ASSERT_GE(client, 0);
    ASSERT_GE(accepted, 0);
    // The server side closes first, leaving its end in TIME_WAIT.
    ctlClose(accepted);
    ctlClose(listener);
    char c;
    EXPECT_EQ(ctlRecv(client, &c, 1, 0), 0);
    ctlClose(client);

    int again = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    CtlSockAddr addr = makeAddr("0.0.0.0", static_cast<std::uint16_t>(port));
    EXPECT_EQ(ctlBind(again, &addr, sizeof addr), 0);
    EXPECT_EQ(ctlListen(again, 5), 0);
    ctlClose(again);
}

TEST_F(Sockets, SendToAPeerThatStopsReadingGivesUpAfterAStall) {
    vc::useSettings(controllerAt("127.0.60.16"));
    int port = 0;
    int listener = listenOn("127.0.60.16", &port);
    ASSERT_GE(listener, 0);
    int client = connectTo("127.0.60.16", port);
    int accepted = ctlAccept(listener, nullptr, nullptr);
    ASSERT_GE(client, 0);
    ASSERT_GE(accepted, 0);
    // Far more than the socket buffers of both ends hold; nobody reads.
    std::vector<char> big(64 << 20, 'x');
    errno = 0;
    int sent = ctlSend(client, big.data(), static_cast<int>(big.size()), 0);
    EXPECT_GT(sent, 0);
    // It returns (instead of waiting for ever) with what went out before the stall.
    EXPECT_LT(sent, static_cast<int>(big.size()));
    ctlClose(accepted);
    ctlClose(client);
    ctlClose(listener);
}

// Shutdown wakes a send blocked on a peer that stopped reading, and later
// sends fail, but the descriptor stays the caller's until it closes it.
TEST_F(Sockets, ShutdownWakesABlockedSendAndKeepsTheDescriptor) {
    vc::useSettings(controllerAt("127.0.60.17"));
    int port = 0;
    int listener = listenOn("127.0.60.17", &port);
    ASSERT_GE(listener, 0);
    int client = connectTo("127.0.60.17", port);
    int accepted = ctlAccept(listener, nullptr, nullptr);
    ASSERT_GE(client, 0);
    ASSERT_GE(accepted, 0);
    std::vector<char> big(64 << 20, 'x');
    std::atomic<int> sent{-5};
    Event done;
    ASSERT_GT(startTask([&] {
                  sent = ctlSend(client, big.data(), static_cast<int>(big.size()), 0);
                  done.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(ctlShutdown(client), 0);
    ASSERT_TRUE(done.waitFor(std::chrono::seconds(2))) << "the send was not woken";
    EXPECT_LT(sent.load(), static_cast<int>(big.size()));
    EXPECT_EQ(ctlSend(client, big.data(), 1, 0), -1);
    CtlSockAddr local{};
    int len = sizeof local;
    EXPECT_EQ(ctlGetsockname(client, &local, &len), 0) << "the descriptor was released";
    EXPECT_EQ(ctlClose(client), 0);

    // A datagram socket's blocked receive wakes too.
    int udp = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    std::atomic<int> got{-5};
    Event woken;
    ASSERT_GT(startTask([&] {
                  char c;
                  got = ctlRecv(udp, &c, 1, 0);
                  woken.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(ctlShutdown(udp), 0);
    ASSERT_TRUE(woken.waitFor(std::chrono::seconds(2)));
    EXPECT_LE(got.load(), 0);
    EXPECT_EQ(ctlClose(udp), 0);
    ctlClose(accepted);
    ctlClose(listener);
}

TEST_F(Sockets, PipeAndSocketInOneSelect) {
    vc::useSettings(controllerAt("127.0.60.12"));
    ASSERT_EQ(vx::pipeDevCreate("/pipe/tSelect", 1, 1), 0);
    int pipeFd = vx::open("/pipe/tSelect", vx::O_RDWR_, 0);
    int udp = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    CtlSockAddr addr = makeAddr("0.0.0.0", 0);
    ASSERT_EQ(ctlBind(udp, &addr, sizeof addr), 0);
    int port = localOf(udp).second;
    int width = std::max(pipeFd, udp) + 1;
    auto select = [&](CtlFdSet* set, CtlTimeval* timeout) {
        ctlFdZero(set);
        ctlFdSet(pipeFd, set);
        ctlFdSet(udp, set);
        return ctlSelect(width, set, nullptr, nullptr, timeout);
    };

    CtlFdSet set;
    CtlTimeval poll{0, 0};
    EXPECT_EQ(select(&set, &poll), 0);
    EXPECT_FALSE(ctlFdIsSet(pipeFd, &set));
    CtlTimeval shortWait{0, 20000};
    EXPECT_EQ(select(&set, &shortWait), 0);

    EXPECT_EQ(vx::write(pipeFd, "x", 1), 1);
    EXPECT_EQ(select(&set, nullptr), 1);
    EXPECT_TRUE(ctlFdIsSet(pipeFd, &set));
    EXPECT_FALSE(ctlFdIsSet(udp, &set));

    int sender = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    CtlSockAddr to = makeAddr("127.0.60.12", static_cast<std::uint16_t>(port));
    EXPECT_EQ(ctlSendTo(sender, "abc", 3, 0, &to, sizeof to), 3);
    EXPECT_EQ(select(&set, nullptr), 2);
    EXPECT_TRUE(ctlFdIsSet(pipeFd, &set));
    EXPECT_TRUE(ctlFdIsSet(udp, &set));

    char c;
    EXPECT_EQ(vx::read(pipeFd, &c, 1), 1);
    EXPECT_EQ(select(&set, nullptr), 1);
    EXPECT_TRUE(ctlFdIsSet(udp, &set));
    // A descriptor at or beyond width is not watched.
    ctlFdZero(&set);
    ctlFdSet(udp, &set);
    EXPECT_EQ(ctlSelect(udp, &set, nullptr, nullptr, &poll), 0);
    char buf[8];
    EXPECT_EQ(ctlRecv(udp, buf, sizeof buf, 0), 3);

    // Write readiness, and a bad descriptor fails.
    ctlFdZero(&set);
    ctlFdSet(sender, &set);
    EXPECT_EQ(ctlSelect(sender + 1, nullptr, &set, nullptr, nullptr), 1);
    ctlClose(sender);
    EXPECT_EQ(ctlSelect(sender + 1, nullptr, &set, nullptr, &poll), -1);

    ctlClose(udp);
    vx::close(pipeFd);
    vx::pipeDevDelete("/pipe/tSelect", true);
}

// Every blocking socket call ends with its task when the task is deleted.
TEST_F(Sockets, DeletingATaskBlockedInSelectAcceptOrRecv) {
    vc::useSettings(controllerAt("127.0.60.13"));
    int port = 0;
    int listener = listenOn("127.0.60.13", &port);
    ASSERT_GE(listener, 0);
    int client = connectTo("127.0.60.13", port);
    int accepted = ctlAccept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    std::function<void()> blockers[] = {
        [&] {
            CtlFdSet set;
            ctlFdZero(&set);
            ctlFdSet(accepted, &set);
            ctlSelect(CTL_FD_SETSIZE, &set, nullptr, nullptr, nullptr);
        },
        [&] { ctlAccept(listener, nullptr, nullptr); },
        [&] {
            char c;
            ctlRecv(accepted, &c, 1, 0);
        },
    };
    for (auto& block : blockers) expectDeleteEndsTaskBlockedIn(block);
    // The sockets are still usable (and closable) afterwards.
    char c = 0;
    EXPECT_EQ(ctlSend(client, "y", 1, 0), 1);
    EXPECT_EQ(ctlRecv(accepted, &c, 1, 0), 1);
    EXPECT_EQ(ctlClose(accepted), 0);
    EXPECT_EQ(ctlClose(client), 0);
    EXPECT_EQ(ctlClose(listener), 0);
}

// Closing a socket another task waits on wakes that task, and the port is
// free once it has left.
TEST_F(Sockets, ClosingASocketWakesItsBlockedCalls) {
    vc::useSettings(controllerAt("127.0.60.14"));
    int port = 0;
    int listener = listenOn("127.0.60.14", &port);
    ASSERT_GE(listener, 0);
    std::atomic<int> acceptResult{0};
    Event done;
    ASSERT_GT(startTask([&] {
                  acceptResult = ctlAccept(listener, nullptr, nullptr);
                  done.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(ctlClose(listener), 0);
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(acceptResult.load(), -1);
    int again = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    CtlSockAddr addr = makeAddr("127.0.60.14", static_cast<std::uint16_t>(port));
    EXPECT_EQ(ctlBind(again, &addr, sizeof addr), 0);
    ctlClose(again);

    int udp = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    std::atomic<int> recvResult{-5};
    ASSERT_GT(startTask([&] {
                  char c;
                  recvResult = ctlRecv(udp, &c, 1, 0);
                  done.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(ctlClose(udp), 0);
    ASSERT_TRUE(done.waitFor());
    EXPECT_LE(recvResult.load(), 0);
    char c;
    EXPECT_EQ(ctlRecv(udp, &c, 1, 0), -1);  // closed for good
}

TEST_F(Sockets, EveryCallHonoursItsFailureHook) {
    using vc::hooks::Site;
    vc::useSettings(controllerAt("127.0.60.15"));
    int port = 0;
    int listener = listenOn("127.0.60.15", &port);
    int client = connectTo("127.0.60.15", port);
    int accepted = ctlAccept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    CtlSockAddr addr = makeAddr("127.0.60.15", static_cast<std::uint16_t>(port));
    CtlSockAddr any = makeAddr("0.0.0.0", 0);
    int fresh = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    char c = 0;
    CtlFdSet set;
    ctlFdZero(&set);
    ctlFdSet(client, &set);
    CtlTimeval poll{0, 0};
    struct Case {
        Site site;
        std::function<int()> call;
    } cases[] = {
        {Site::Socket, [] { return ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0); }},
        {Site::Bind, [&] { return ctlBind(fresh, &any, sizeof any); }},
        {Site::Listen, [&] { return ctlListen(fresh, 5); }},
        {Site::Accept, [&] { return ctlAccept(listener, nullptr, nullptr); }},
        {Site::Connect, [&] { return ctlConnect(fresh, &addr, sizeof addr); }},
        {Site::Send, [&] { return ctlSend(client, "x", 1, 0); }},
        {Site::Recv, [&] { return ctlRecv(accepted, &c, 1, 0); }},
        {Site::SendTo, [&] { return ctlSendTo(client, "x", 1, 0, &addr, sizeof addr); }},
        {Site::Select, [&] { return ctlSelect(client + 1, nullptr, &set, nullptr, &poll); }},
    };
    for (auto& k : cases) {
        vc::hooks::failAfter(k.site, 0, 1, ECONNREFUSED);
        errno = 0;
        EXPECT_EQ(k.call(), -1) << static_cast<int>(k.site);
        EXPECT_EQ(errno, ECONNREFUSED) << static_cast<int>(k.site);
    }
    // Nothing was sent by the failed calls; nothing is pending.
    EXPECT_EQ(ctlSelect(accepted + 1, (ctlFdZero(&set), ctlFdSet(accepted, &set), &set), nullptr,
                        nullptr, &poll),
              0);
    for (int s : {fresh, accepted, client, listener}) EXPECT_EQ(ctlClose(s), 0);
}

TEST_F(Sockets, BadArgumentsFailCleanly) {
    EXPECT_EQ(ctlSocket(1, CTL_SOCK_STREAM, 0), -1);
    EXPECT_EQ(ctlSocket(CTL_AF_INET, 7, 0), -1);
    int s = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    CtlSockAddr addr = makeAddr("127.0.0.1", 0);
    EXPECT_EQ(ctlBind(s, &addr, 8), -1);  // shorter than an address
    addr.family = 10;
    EXPECT_EQ(ctlBind(s, &addr, sizeof addr), -1);
    EXPECT_EQ(ctlSend(s, nullptr, 4, 0), -1);
    EXPECT_EQ(ctlRecv(12345, nullptr, 0, 0), -1);
    CtlTimeval negative{-1, 0};
    EXPECT_EQ(ctlSelect(1, nullptr, nullptr, nullptr, &negative), -1);
    EXPECT_EQ(ctlClose(s), 0);
}

}  // namespace

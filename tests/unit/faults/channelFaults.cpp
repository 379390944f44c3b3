// Channels under failing platform calls: every call of a site that a channel's
// life reaches (open, send, match, read, close) is failed in turn; every
// command of each run must end in one of its documented results (no result
// only where the failed call may be the result's own write, see lost()), and
// the run must release every channel and give back every byte of memory.
// Single failures with their console messages follow.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>

#include <string>

#include "faultPeers.h"
#include "faultSupport.h"
#include "korChQue.h"

namespace faults {
namespace {

constexpr int TCPCONNECT = 1, SENDDATA = 2, TCPLISTEN = 3, CLOSEHANDLE = 4, READDATA = 5,
              CLEARDATA = 6, RS232OPEN = 7, CHECKPATTERN = 9, TCPISACCEPTED = 11, UDPBIND = 12,
              WAITPATTERN = 30, CLOSEALL = 31;

class ChannelFaults : public FaultTest {
protected:
    static constexpr int kLateVar = kResultVar + 30;  // result of a send that meets the close

    // Open a TCP channel, send, check and wait for a pattern, read, close.
    void tcpLife(const std::function<void()>& arm) {
        baseline();
        setBytes(kBlockVar, "hello");
        const int h = run(TCPCONNECT,
                          Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())), arm,
                          kStep);
        ASSERT_TRUE(oneOf(h, {251, 254, lost()}) || isHandle(h)) << h;
        expectMessage(h, 251, "Error - TCPCONNECT: no free handle\r\n");
        expectMessage(h, 254, "Error - ");
        if (isHandle(h)) {
            const int sent = run(SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 5), {},
                                 kStep);
            EXPECT_TRUE(oneOf(sent, {5, 254, 252, lost()})) << sent;
            expectMessage(sent, 252,
                          "Error - sending data " + std::to_string(h) + ": no active handle");
            // Variables that cannot be read are documented to fail without a message.
            if (sweptSite != Site::VarRead) expectMessage(sent, 254, "Error - ctlSend()");
            if (sent == 5) waitFor([&] { return queued(h) >= 5 || !inUse(h); }, 300ms);

            setBytes(kBlockVar + 10, "h*o");
            const int match = run(CHECKPATTERN,
                                  Params().handle(h).set(1, kBlockVar + 10).set(2, 3).set(4, 1), {},
                                  kStep);
            EXPECT_TRUE(oneOf(match, {3, 253, 254, 252, lost()})) << match;
            expectMessage(match, 252,
                          "Error - CHECKPATTERN " + std::to_string(h) + ": no active handle");
            expectMessage(match, 254, "Error - CHECKPATTERN " + std::to_string(h) + ": ");
            if (match == 3) {
                EXPECT_EQ(bytes(kBlockVar + 10, 3), "ell");
            }

            setBytes(kBlockVar + 20, "*ll*");  // capture 2 is the "o" after "ll"
            const int waited =
                run(WAITPATTERN,
                    Params().handle(h).set(1, kBlockVar + 20).set(2, 4).set(4, 2).set(6, -1), {},
                    kStep);
            EXPECT_TRUE(oneOf(waited, {1, 253, 254, 252, lost()})) << waited;
            if (waited == 1) {  // 0 stands for an empty capture (bytes lost to a failed allocation)
                EXPECT_TRUE(oneOf(b(kResultVar + 1), {'o', 0})) << b(kResultVar + 1);
            }

            const int got = run(READDATA, Params().handle(h).set(1, kBlockVar + 40).set(2, 20), {},
                                kStep);
            EXPECT_TRUE(oneOf(got, {253, 254, 252, lost()}) || (got >= 1 && got <= 5)) << got;
            expectMessage(got, 252, "Error - READDATA " + std::to_string(h) + ": no active handle");
            expectMessage(got, 254, "Error - READDATA " + std::to_string(h) + ": writing to vars");
            if (got >= 1 && got <= 5) {
                for (char c : bytes(kBlockVar + 40, got))
                    EXPECT_NE(std::string("helo").find(c), std::string::npos);
            }

            // A send still on its way while the channel closes: the release
            // wakes it (shutdown) and waits for it to leave.
            vc::hooks::delaySends(150);
            start(SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 5), {}, true, kLateVar);
            ctlTaskDelay(ctlMsToTicks(50));
            int closed = run(CLOSEHANDLE, Params().handle(h), {}, kStep);
            EXPECT_TRUE(oneOf(closed, {255, 254, 252, lost()})) << closed;
            expectMessage(closed, 254, "Error - channel table: no lock");
            if (closed == 254) closed = run(CLOSEHANDLE, Params().handle(h), {}, kStep);
            expectMessage(closed, 252,
                          "Error - closing handle " + std::to_string(h) + ": no active handle");
            EXPECT_TRUE(waitFor([&] { return !inUse(h); }, 5000ms))
                << "channel " << h << " not released";
            waitFor([&] { return b(kLateVar) != kNoResult; }, kStep);
            EXPECT_TRUE(oneOf(b(kLateVar), {5, 254, 252, lost()})) << b(kLateVar);
            vc::hooks::delaySends(0);
        }
        settle();
    }

    // A pattern waited for on a channel that receives nothing: the wait ends
    // with nothing found, whether its second runs out or the wait fails.
    void waitLife(const std::function<void()>& arm) {
        baseline();
        const int h = run(TCPCONNECT,
                          Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())), arm,
                          kStep);
        ASSERT_TRUE(oneOf(h, {251, 254, lost()}) || isHandle(h)) << h;
        if (isHandle(h)) {
            setBytes(kBlockVar, "*ll*");
            const int waited =
                run(WAITPATTERN,
                    Params().handle(h).set(1, kBlockVar).set(2, 4).set(4, 2).set(6, -1), {}, kStep);
            EXPECT_TRUE(oneOf(waited, {253, lost()})) << waited;
            EXPECT_TRUE(oneOf(run(CLOSEHANDLE, Params().handle(h), {}, kStep), {255, lost()}));
            EXPECT_TRUE(waitFor([&] { return !inUse(h); })) << "channel not released";
        }
        settle();
    }

    // Listen, let a client connect and talk, find its channel, read, close both.
    void listenLife(const std::function<void()>& arm) {
        baseline();
        const int port = freePort(settings.address);
        const int hl = run(TCPLISTEN, Params().set(0, portParam(port)), arm, kStep);
        ASSERT_TRUE(oneOf(hl, {254, lost()}) || isHandle(hl)) << hl;
        expectMessage(hl, 254, "Error - ");
        if (isHandle(hl)) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            ::inet_pton(AF_INET, settings.address.c_str(), &a.sin_addr);
            if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                ::send(c, "ping", 4, MSG_NOSIGNAL);
                sockaddr_in local{};
                socklen_t len = sizeof local;
                ::getsockname(c, reinterpret_cast<sockaddr*>(&local), &len);
                const std::uint32_t ip = ntohl(local.sin_addr.s_addr);
                Params who = Params().handle(hl).address(static_cast<int>(ip >> 24),
                                                         static_cast<int>(ip >> 16 & 255),
                                                         static_cast<int>(ip >> 8 & 255),
                                                         static_cast<int>(ip & 255));
                int ha = 249;
                waitFor(
                    [&] {
                        ha = run(TCPISACCEPTED, who, {}, kStep);
                        return ha != 249;
                    },
                    1000ms);
                EXPECT_TRUE(oneOf(ha, {249, 252, lost()}) || isHandle(ha)) << ha;
                if (isHandle(ha)) {
                    waitFor([&] { return queued(ha) >= 4 || !inUse(ha); }, 300ms);
                    const int got = run(READDATA, Params().handle(ha).set(1, kBlockVar).set(2, 10),
                                        {}, kStep);
                    EXPECT_TRUE(oneOf(got, {253, 254, 252, lost()}) || (got >= 1 && got <= 4))
                        << got;
                    EXPECT_TRUE(oneOf(run(CLOSEHANDLE, Params().handle(ha), {}, kStep),
                                      {255, 252, lost()}));
                    EXPECT_TRUE(waitFor([&] { return !inUse(ha); }))
                        << "accepted channel not released";
                }
            }
            ::close(c);
            EXPECT_TRUE(
                oneOf(run(CLOSEHANDLE, Params().handle(hl), {}, kStep), {255, 252, lost()}));
            EXPECT_TRUE(waitFor([&] { return !inUse(hl); })) << "listening channel not released";
        }
        settle();
    }

    // A UDP channel to an echo peer: send one datagram, read the answer, close.
    void udpLife(const std::function<void()>& arm) {
        baseline();
        setBytes(kBlockVar, "hello");
        const int local = freePort(settings.address, SOCK_DGRAM);
        const int h = run(
            UDPBIND,
            Params().address(127, 0, 0, 1).set(0, portParam(udpEchoPort_)).set(1, portParam(local)),
            arm, kStep);
        ASSERT_TRUE(oneOf(h, {251, 254, lost()}) || isHandle(h)) << h;
        expectMessage(h, 251, "Error - UDPBIND: no free handle\r\n");
        expectMessage(h, 254, "Error - ");
        if (isHandle(h)) {
            const int sent = run(SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 5), {},
                                 kStep);
            EXPECT_TRUE(oneOf(sent, {5, 254, 252, lost()})) << sent;
            if (sent == 5) waitFor([&] { return queued(h) >= 5 || !inUse(h); }, 300ms);
            const int got = run(READDATA, Params().handle(h).set(1, kBlockVar + 40).set(2, 20), {},
                                kStep);
            EXPECT_TRUE(oneOf(got, {253, 254, 252, lost()}) || (got >= 1 && got <= 5)) << got;
            EXPECT_TRUE(oneOf(run(CLOSEHANDLE, Params().handle(h), {}, kStep), {255, 252, lost()}));
            EXPECT_TRUE(waitFor([&] { return !inUse(h); })) << "channel not released";
        }
        settle();
    }

    void SetUp() override {
        FaultTest::SetUp();
        udpEcho_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(::bind(udpEcho_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::getsockname(udpEcho_, reinterpret_cast<sockaddr*>(&a), &len);
        udpEchoPort_ = ntohs(a.sin_port);
        udpThread_ = std::thread([fd = udpEcho_] {
            char buf[2048];
            for (;;) {
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0,
                                             reinterpret_cast<sockaddr*>(&from), &fl);
                if (n <= 0) return;
                ::sendto(fd, buf, static_cast<std::size_t>(n), 0,
                         reinterpret_cast<sockaddr*>(&from), fl);
            }
        });
    }
    void TearDown() override {
        FaultTest::TearDown();
        ::shutdown(udpEcho_, SHUT_RDWR);
        udpThread_.join();
        ::close(udpEcho_);
    }

    TcpPeer echo_{echo};
    int udpEcho_ = -1;
    int udpEchoPort_ = 0;
    std::thread udpThread_;
};

// ---- sweeps: every call of the site fails once, in turn

class TcpChannelSweep : public ChannelFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(TcpChannelSweep, EveryCallFailsInTurn) {
    sweepSite(GetParam(), [&](const auto& arm) { tcpLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, TcpChannelSweep,
                         ::testing::Values(Site::Malloc, Site::VarRead, Site::VarWrite,
                                           Site::Socket, Site::Connect, Site::Send, Site::Recv,
                                           Site::Select, Site::SemCreate, Site::MsgQCreate,
                                           Site::PipeCreate, Site::PipeOpen, Site::Close,
                                           Site::SemTake, Site::MsgQSend, Site::MsgQDelete,
                                           Site::PipeRead, Site::PipeWrite, Site::MutexCreate,
                                           Site::MutexTake, Site::Shutdown),
                         [](const auto& info) { return std::string(siteName(info.param)); });

class WaitSweep : public ChannelFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(WaitSweep, EveryCallFailsInTurn) {
    sweepSite(GetParam(), [&](const auto& arm) { waitLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, WaitSweep, ::testing::Values(Site::MsgQReceive),
                         [](const auto& info) { return std::string(siteName(info.param)); });

class ListenSweep : public ChannelFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(ListenSweep, EveryCallFailsInTurn) {
    sweepSite(GetParam(), [&](const auto& arm) { listenLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, ListenSweep,
                         ::testing::Values(Site::Malloc, Site::Socket, Site::Bind, Site::Listen,
                                           Site::Accept, Site::Select, Site::Recv, Site::TaskCreate,
                                           Site::SemCreate, Site::PipeCreate, Site::VarWrite,
                                           Site::Close, Site::PipeRead, Site::PipeWrite),
                         [](const auto& info) { return std::string(siteName(info.param)); });

class UdpSweep : public ChannelFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(UdpSweep, EveryCallFailsInTurn) {
    sweepSite(GetParam(), [&](const auto& arm) { udpLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, UdpSweep,
                         ::testing::Values(Site::Malloc, Site::Socket, Site::Bind, Site::SendTo,
                                           Site::Recv, Site::Select, Site::VarRead, Site::Close),
                         [](const auto& info) { return std::string(siteName(info.param)); });

// ---- single failures: result and console message

TEST_F(ChannelFaults, NoSocketOrNoConnectionGives254) {
    Console console;
    const Params to = Params().address(127, 0, 0, 1).set(0, portParam(echo_.port()));
    EXPECT_EQ(run(TCPCONNECT, to, [] { vc::hooks::failAfter(Site::Socket, 0); }), 254);
    EXPECT_TRUE(console.awaits("Error - Could not create TCP socket"));
    EXPECT_EQ(run(TCPCONNECT, to, [] { vc::hooks::failAfter(Site::Connect, 0); }), 254);
    EXPECT_TRUE(console.awaits("Error - ctlConnect()"));
    EXPECT_EQ(run(TCPLISTEN, Params().set(0, portParam(freePort(settings.address))),
                  [] { vc::hooks::failAfter(Site::Bind, 0); }),
              254);
    EXPECT_TRUE(console.awaits("Error - ctlBind()"));
    EXPECT_EQ(run(UDPBIND, Params().address(127, 0, 0, 1).set(0, 9).set(1, 0),
                  [] { vc::hooks::failAfter(Site::Socket, 0); }),
              254);
    EXPECT_TRUE(console.awaits("Error - Could not create UDP socket"));
    EXPECT_EQ(openChannels(), 0);
}

TEST_F(ChannelFaults, FailedSendGives254AndTheChannelGoesOn) {
    Console console;
    const int h = run(TCPCONNECT, Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())));
    ASSERT_TRUE(isHandle(h));
    setBytes(kBlockVar, "abc");
    const Params send = Params().handle(h).set(1, kBlockVar).set(2, 3);
    EXPECT_EQ(run(SENDDATA, send, [] { vc::hooks::failAfter(Site::Send, 0); }), 254);
    EXPECT_TRUE(console.awaits("Error - ctlSend()"));
    EXPECT_EQ(run(SENDDATA, send), 3);
    EXPECT_TRUE(waitFor([&] { return queued(h) == 3; }));
    // Variables that cannot be read are not sent.
    EXPECT_EQ(run(SENDDATA, send,
                  [] { vc::hooks::failVar(false, CTL_VAR_B, kBlockVar, kBlockVar); }),
              254);
    EXPECT_EQ(run(CLOSEHANDLE, Params().handle(h)), 255);
    EXPECT_TRUE(waitFor([&] { return !inUse(h); }));
}

TEST_F(ChannelFaults, FailedSelectOrReceiveEndsTheChannel) {
    Console console;
    const Params to = Params().address(127, 0, 0, 1).set(0, portParam(echo_.port()));
    // The first select is the receive loop's.
    const int h1 = run(TCPCONNECT, to, [] { vc::hooks::failAfter(Site::Select, 0); });
    ASSERT_TRUE(isHandle(h1));
    EXPECT_TRUE(waitFor([&] { return !inUse(h1); })) << "channel kept after a failed select";
    EXPECT_TRUE(console.awaits("Error: ctlSelect"));
    EXPECT_EQ(run(READDATA, Params().handle(h1).set(1, kBlockVar).set(2, 5)), 252);
    EXPECT_TRUE(console.awaits("Error - READDATA " + std::to_string(h1) + ": no active handle"));

    const int h2 = run(TCPCONNECT, to, [] { vc::hooks::failAfter(Site::Recv, 0); });
    ASSERT_TRUE(isHandle(h2));
    setBytes(kBlockVar, "x");
    EXPECT_EQ(run(SENDDATA, Params().handle(h2).set(1, kBlockVar).set(2, 1)), 1);
    EXPECT_TRUE(waitFor([&] { return !inUse(h2); })) << "channel kept after a failed receive";
    EXPECT_TRUE(console.awaits("Error - ctlRevc()"));
}

TEST_F(ChannelFaults, ChannelWithoutWakeUpPipeStillCloses) {
    Console console;
    const Params to = Params().address(127, 0, 0, 1).set(0, portParam(echo_.port()));
    const int h = run(TCPCONNECT, to, [] { vc::hooks::failAfter(Site::PipeCreate, 0); });
    ASSERT_TRUE(isHandle(h));
    EXPECT_TRUE(console.awaits("Error - pipeDevCreate()"));
    EXPECT_EQ(run(CLOSEHANDLE, Params().handle(h)), 255);
    EXPECT_TRUE(console.awaits("No pipe defined in Handle " + std::to_string(h) + "\r\n"));
    EXPECT_TRUE(waitFor([&] { return !inUse(h); })) << "channel without pipe not released";
    EXPECT_TRUE(console.awaits("Error - Closing pipe"));

    const int h2 = run(TCPCONNECT, to, [] { vc::hooks::failAfter(Site::PipeOpen, 0); });
    ASSERT_TRUE(isHandle(h2));
    EXPECT_TRUE(console.awaits("Error - Open()"));
    EXPECT_EQ(run(CLOSEALL, Params()), 255);
    EXPECT_TRUE(waitFor([&] { return !inUse(h2); }));
}

// A channel without its arrival signal, lock or queue would lose what it
// receives: the open is refused as when no record is free, and the
// connection is closed.
TEST_F(ChannelFaults, ChannelMissingAPartIsRefused) {
    Console console;
    const Params to = Params().address(127, 0, 0, 1).set(0, portParam(echo_.port()));
    const std::pair<Site, const char*> parts[] = {{Site::MsgQCreate, "Error - ctlMsgQCreate()"},
                                                  {Site::SemCreate, "Error - ctlSemBCreate()"},
                                                  {Site::MutexCreate, "Error - ctlMutexCreate()"}};
    for (const auto& [site, message] : parts) {
        SCOPED_TRACE(siteName(site));
        const long before = vc::hooks::liveAllocations();
        EXPECT_EQ(run(TCPCONNECT, to, [site] { vc::hooks::failAfter(site, 0); }), 251);
        EXPECT_TRUE(console.awaits(message));
        EXPECT_TRUE(console.awaits("Error - TCPCONNECT: no free handle"));
        EXPECT_EQ(openChannels(), 0);
        EXPECT_TRUE(waitFor([&] { return vc::hooks::liveAllocations() == before; }));
    }
    // The queue's header is the first allocation of the open.
    EXPECT_EQ(run(UDPBIND, Params().address(127, 0, 0, 1).set(0, 9).set(1, 0),
                  [] { vc::hooks::failAfter(Site::Malloc, 0); }),
              251);
    EXPECT_TRUE(console.awaits("Error - channel input queue: out of memory"));
    EXPECT_EQ(openChannels(), 0);
}

// A command that cannot lock the channel table fails with 254 and the lock's
// message; it neither acts unlocked nor takes the channel for free or closed.
TEST_F(ChannelFaults, CommandWithoutTheTableLockFailsAndLeavesTheChannel) {
    Console console;
    const int h = run(TCPCONNECT, Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())));
    ASSERT_TRUE(isHandle(h));
    setBytes(kBlockVar, "hello");
    ASSERT_EQ(run(SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 5)), 5);
    ASSERT_TRUE(waitFor([&] { return queued(h) == 5; }));
    setBytes(kBlockVar + 10, "h*o");
    const std::pair<int, Params> commands[] = {
        {SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 5)},
        {READDATA, Params().handle(h).set(1, kBlockVar + 40).set(2, 20)},
        {CLEARDATA, Params().handle(h)},
        {CHECKPATTERN, Params().handle(h).set(1, kBlockVar + 10).set(2, 3).set(4, 1)},
        {WAITPATTERN, Params().handle(h).set(1, kBlockVar + 10).set(2, 3).set(6, -1)},
        {TCPISACCEPTED, Params().handle(h).address(127, 0, 0, 1)},
        {CLOSEHANDLE, Params().handle(h)},
        {CLOSEALL, Params()},
    };
    const auto failTake = [] { vc::hooks::failAfter(Site::MutexTake, 0); };
    for (const auto& [id, params] : commands) {
        SCOPED_TRACE("command " + std::to_string(id));
        const std::size_t mark = console.text().size();
        EXPECT_EQ(run(id, params, failTake), 254);
        EXPECT_NE(console.text().find("Error - channel table: no lock", mark), std::string::npos);
        EXPECT_TRUE(inUse(h));
        EXPECT_EQ(queued(h), 5) << "the bytes were touched";
    }
    EXPECT_EQ(run(CLOSEHANDLE, Params().handle(h)), 255);
    EXPECT_TRUE(waitFor([&] { return !inUse(h); }));
}

TEST_F(ChannelFaults, EmptyQueueGives253BeforeThePatternIsRead) {
    Console console;
    const int h = run(TCPCONNECT, Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())));
    ASSERT_TRUE(isHandle(h));
    setBytes(kBlockVar, "h*o");
    EXPECT_EQ(run(CHECKPATTERN, Params().handle(h).set(1, kBlockVar).set(2, 3),
                  [] { vc::hooks::failVar(false, CTL_VAR_B, kBlockVar, kBlockVar + 2); }),
              253);
    EXPECT_EQ(console.text().find("reading pattern"), std::string::npos);
}

TEST_F(ChannelFaults, ResultsThatCannotBeWrittenAreReported) {
    Console console;
    const int h = run(TCPCONNECT, Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())));
    ASSERT_TRUE(isHandle(h));
    setBytes(kBlockVar, "hello");
    EXPECT_EQ(run(SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 5)), 5);
    ASSERT_TRUE(waitFor([&] { return queued(h) == 5; }));

    setBytes(kBlockVar + 10, "h*o");
    const Params check = Params().handle(h).set(1, kBlockVar + 10).set(2, 3).set(4, 1);
    EXPECT_EQ(run(CHECKPATTERN, check,
                  [] { vc::hooks::failVar(true, CTL_VAR_B, kBlockVar + 10, kBlockVar + 12); }),
              254);
    EXPECT_TRUE(console.awaits("Error - CHECKPATTERN " + std::to_string(h) + ": writing to vars"));
    start(CHECKPATTERN, check, [] {
        vc::hooks::failVar(true, CTL_VAR_B, kBlockVar + 10, kBlockVar + 12);
        vc::hooks::failVar(true, CTL_VAR_B, kResultVar, kResultVar);
    });
    EXPECT_TRUE(
        console.awaits("Error - CHECKPATTERN " + std::to_string(h) + ": writing retval to vars"));

    EXPECT_EQ(run(READDATA, Params().handle(h).set(1, kBlockVar + 40).set(2, 2),
                  [] { vc::hooks::failVar(true, CTL_VAR_B, kBlockVar + 40, kBlockVar + 41); }),
              254);
    EXPECT_TRUE(console.awaits("Error - READDATA " + std::to_string(h) + ": writing to vars"));
    EXPECT_EQ(queued(h), 3) << "the bytes taken are gone, the rest stays";

    EXPECT_EQ(run(CLEARDATA, Params().handle(h), [] { vc::hooks::failAfter(Site::Malloc, 0); }),
              254);
    EXPECT_EQ(queued(h), 3) << "a failed clear leaves the queue as it was";
    EXPECT_EQ(run(CLEARDATA, Params().handle(h)), 255);
    EXPECT_EQ(queued(h), 0);
}

// The clear flag removes only what is left of the matched bytes: another
// reader may take some of them while the match runs, and bytes that arrived
// since then are not the match's.
TEST_F(ChannelFaults, ClearFlagKeepsBytesThatCameAfterTheCopy) {
    const int h = run(TCPCONNECT, Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())));
    ASSERT_TRUE(isHandle(h));
    const auto push = [h](const std::string& text) {
        KORHDLTBL_PushInput(&korHandleTable, h, text.data(), static_cast<int>(text.size()));
    };
    push("abc");
    setBytes(kBlockVar, "a*c");
    setB(kResultVar, kNoResult);
    {
        const auto held = holdVariables();
        // The command copies the queue, then waits for the pattern's variables.
        start(CHECKPATTERN, Params().handle(h).set(1, kBlockVar).set(2, 3).set(6, 1), {}, false);
        std::this_thread::sleep_for(300ms);
        {
            const KorChannelId id = KorTableLock(&korHandleTable).idOf(h);
            char taken[2];
            ASSERT_EQ(KORHDLTBL_PopInput(&korHandleTable, id, taken, 2), 2);  // as READDATA would
        }
        push("XYZ");
    }
    EXPECT_EQ(awaitResult(), 3) << "the copy must be taken before the bytes were";
    char left[16] = {};
    {
        const KorTableLock lock(&korHandleTable);
        const int n = KORHDLTBL_PeekInput(lock, lock.idOf(h), left).len;
        EXPECT_EQ(std::string(left, static_cast<std::size_t>(n)), "XYZ");
    }
    // The clear needs no memory: once the command's buffers are had, no
    // allocation may fail it (it reported a match and left the bytes queued).
    setBytes(kBlockVar, "X*Z");
    EXPECT_EQ(run(CHECKPATTERN, Params().handle(h).set(1, kBlockVar).set(2, 3).set(6, 1),
                  [] { vc::hooks::failAfter(Site::Malloc, 3, -1); }),
              3);
    vc::hooks::reset();
    EXPECT_EQ(queued(h), 0);
}

// The release must give back a channel's queue even when no memory is left
// at that moment.
TEST_F(ChannelFaults, ChannelReleasedWithoutMemoryFreesItsQueue) {
    const long before = vc::hooks::liveAllocations();
    const int h = run(TCPCONNECT, Params().address(127, 0, 0, 1).set(0, portParam(echo_.port())));
    ASSERT_TRUE(isHandle(h));
    setBytes(kBlockVar, "queued bytes");
    EXPECT_EQ(run(SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 12)), 12);
    ASSERT_TRUE(waitFor([&] { return queued(h) == 12; }));
    vc::hooks::failAfter(Site::Malloc, 0, -1);
    EXPECT_EQ(run(CLOSEHANDLE, Params().handle(h)), 255);
    EXPECT_TRUE(waitFor([&] { return !inUse(h); }));
    vc::hooks::reset();
    EXPECT_EQ(vc::hooks::liveAllocations(), before);
}

// A task deleted while it serves an accepted connection (as a stop of the
// controller deletes every task) must not leave the peer's address behind.
TEST_F(ChannelFaults, DeletedClientTaskFreesThePeerAddress) {
    const long before = vc::hooks::liveAllocations();
    const int port = freePort(settings.address);
    const int hl = run(TCPLISTEN, Params().set(0, portParam(port)));
    ASSERT_TRUE(isHandle(hl));
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, settings.address.c_str(), &a.sin_addr);
    ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int accepted = -1, task = -1;
    ASSERT_TRUE(waitFor([&] {
        KorTableLock lock(&korHandleTable);
        for (int h = 1; h < KORHDLTBL_SIZE; ++h) {
            const KORHANDLE& r = KORHDLTBL_Record(&korHandleTable, h);
            if (r.inUse == 1 && r.type == KORHDLTYPE_TCPACCEPTED && r.listenHandle == hl) {
                accepted = h;
                task = r.taskId;
            }
        }
        return accepted != -1;
    }));
    EXPECT_EQ(ctlDeleteTask(task), 0);
    // Nobody serves the channel any more: release it here.
    KORHDLTBL_CloseHandle(&korHandleTable, accepted);
    ::close(c);
    EXPECT_EQ(run(CLOSEHANDLE, Params().handle(hl)), 255);
    EXPECT_TRUE(waitFor([&] { return !inUse(hl); }));
    EXPECT_TRUE(waitFor([&] { return vc::hooks::liveAllocations() == before; }, 2000ms))
        << vc::hooks::liveAllocations() - before << " blocks left";
}

// A connection aborted before the accept took it leaves the listening
// channel serving (it ended the channel), and its loop still hears a close
// request.
TEST_F(ChannelFaults, AnAbortedConnectionLeavesTheListenerServing) {
    const int port = freePort(settings.address);
    const int hl = run(TCPLISTEN, Params().set(0, portParam(port)),
                       [] { vc::hooks::failAfter(Site::Accept, 0, 1, ECONNABORTED); });
    ASSERT_TRUE(isHandle(hl));
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, settings.address.c_str(), &a.sin_addr);
    ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_TRUE(waitFor([&] {
        KorTableLock lock(&korHandleTable);
        for (int h = 1; h < KORHDLTBL_SIZE; ++h) {
            const KORHANDLE& r = KORHDLTBL_Record(&korHandleTable, h);
            if (r.inUse == 1 && r.type == KORHDLTYPE_TCPACCEPTED && r.listenHandle == hl)
                return true;
        }
        return false;
    })) << "taken at the next try";
    EXPECT_TRUE(inUse(hl));
    ::close(c);
    EXPECT_EQ(run(CLOSEHANDLE, Params().handle(hl)), 255);
    EXPECT_TRUE(waitFor([&] { return !inUse(hl); }));
}

// ---- the serial port over a pty pair

class SerialFaults : public ChannelFaults {
protected:
    void configure(vc::Settings& s) override {
        char name[128];
        ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        s.com1 = name;
    }
    void TearDown() override {
        ChannelFaults::TearDown();
        ::close(master_);
        ::close(slave_);
    }
    // Open the port, send, let the line answer, read, close.
    void serialLife(const std::function<void()>& arm) {
        baseline();
        setBytes(kBlockVar, "ping");
        const int h = run(RS232OPEN, Params().set(0, 1).set(4, 960).set(5, 8), arm, kStep);
        ASSERT_TRUE(oneOf(h, {251, 254, lost()}) || isHandle(h)) << h;
        expectMessage(h, 251, "Error - RS232OPEN: no free handle\r\n");
        expectMessage(h, 254, "Error - ");
        if (isHandle(h)) {
            const int sent = run(SENDDATA, Params().handle(h).set(1, kBlockVar).set(2, 4), {},
                                 kStep);
            EXPECT_TRUE(oneOf(sent, {4, 254, 252, lost()})) << sent;
            pollfd p{master_, POLLIN, 0};
            if (sent == 4 && ::poll(&p, 1, 1000) > 0) {
                char buf[64];
                const ssize_t n = ::read(master_, buf, sizeof buf);
                if (n > 0) ::write(master_, "pong", 4);
                waitFor([&] { return queued(h) >= 4 || !inUse(h); }, 500ms);
            }
            const int got = run(READDATA, Params().handle(h).set(1, kBlockVar + 40).set(2, 20), {},
                                kStep);
            EXPECT_TRUE(oneOf(got, {253, 254, 252, lost()}) || (got >= 1 && got <= 4)) << got;
            EXPECT_TRUE(oneOf(run(CLOSEHANDLE, Params().handle(h), {}, kStep), {255, 252, lost()}));
            EXPECT_TRUE(waitFor([&] { return !inUse(h); })) << "serial channel not released";
        }
        // Whatever is left on the line is not the next run's.
        ::tcflush(master_, TCIOFLUSH);
        settle();
    }
    int master_ = -1, slave_ = -1;
};

class SerialSweep : public SerialFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(SerialSweep, EveryCallFailsInTurn) {
    sweepSite(GetParam(), [&](const auto& arm) { serialLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, SerialSweep,
                         ::testing::Values(Site::RsInit, Site::RsOpen, Site::RsSend, Site::RsRecv,
                                           Site::Malloc, Site::PipeCreate),
                         [](const auto& info) { return std::string(siteName(info.param)); });

}  // namespace
}  // namespace faults

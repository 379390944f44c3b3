// Receive, accept and per-client tasks against loopback peers.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "channelSupport.h"
#include "korTransport.h"
#include "peers.h"
#include "receiveTasks.h"
#include "schedule.h"

namespace {

using namespace chantest;

std::string queued(int handle) {
    std::string out(KORCHQUE_CAPACITY, '\0');
    const KorTableLock lock(&korHandleTable);
    const KorPeek copy = KORHDLTBL_PeekInput(lock, lock.idOf(handle), out.data());
    if (copy.len < 0) return "<released>";
    out.resize(static_cast<std::size_t>(copy.len));
    return out;
}

bool queuedBecomes(int handle, const std::string& expected) {
    return waitFor([&] { return queued(handle) == expected; });
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU the process uses while the test sleeps for `wall`: an idle channel must
// not make it busy (a spinning loop uses a whole core).
double cpuWhileIdle(std::chrono::milliseconds wall) {
    const double before = processCpuSeconds();
    std::this_thread::sleep_for(wall);
    return processCpuSeconds() - before;
}

// A TCP client channel served by its receive loop, connected to a peer.
struct TcpChannel {
    Fd listener;
    Fd peer;
    std::unique_ptr<OwnedChannel> owner;
    int handle = -1;

    explicit TcpChannel(bool withPipe = true) {
        int port = 0;
        listener.reset(listenOn("127.0.0.1", &port));
        int s = -1;
        EXPECT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(port), &s), 0);
        peer.reset(::accept(listener.get(), nullptr, nullptr));
        if (!withPipe) vc::hooks::failAfter(vc::hooks::Site::PipeCreate, 0);
        owner = std::make_unique<OwnedChannel>(KORHDLTYPE_TCPCLIENT, s, kor_startTCPClientReceive);
        handle = owner->handle();
    }
};

class ReceiveTest : public ChannelTest {};

TEST_F(ReceiveTest, BytesArriveInOrderWithOnePendingSignalAndCloseEndsTheLoop) {
    TcpChannel ch;
    ASSERT_GT(ch.handle, 0);
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i));
    ASSERT_TRUE(sendAll(ch.peer.get(), data));
    EXPECT_TRUE(queuedBecomes(ch.handle, data));

    char signal[2] = {};
    EXPECT_EQ(ctlMsgQReceive(record(ch.handle).msgQ, signal, 1, CTL_NO_WAIT), 1);
    EXPECT_EQ(signal[0], '1');
    EXPECT_EQ(ctlMsgQReceive(record(ch.handle).msgQ, signal, 1, CTL_NO_WAIT), -1);

    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, ch.handle), 0);
    ASSERT_TRUE(ch.owner->released());
    EXPECT_EQ(ch.owner->result(), 0);
    bool closed = false;
    readFor(ch.peer.get(), 1000, 1, &closed);
    EXPECT_TRUE(closed);  // the release closed the socket
}

TEST_F(ReceiveTest, APeerThatClosesLeavesTheChannelOpenAndIdle) {
    TcpChannel ch;
    ASSERT_TRUE(sendAll(ch.peer.get(), "last words"));
    EXPECT_TRUE(queuedBecomes(ch.handle, "last words"));
    ch.peer.reset();
    EXPECT_LT(cpuWhileIdle(1000ms), 0.05);
    EXPECT_TRUE(inUse(ch.handle));
    EXPECT_EQ(queued(ch.handle), "last words");
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, ch.handle), 0);
    EXPECT_TRUE(ch.owner->released(1000ms));
}

TEST_F(ReceiveTest, AChannelWithoutPipeStillEndsOnACloseRequest) {
    testing::internal::CaptureStdout();
    TcpChannel ch(false);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(record(ch.handle).pipeFd, -1);
    ASSERT_TRUE(sendAll(ch.peer.get(), "abc"));
    EXPECT_TRUE(queuedBecomes(ch.handle, "abc"));

    testing::internal::CaptureStdout();
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, ch.handle), 0);
    // A second request waits for the release instead of for ever.
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, ch.handle), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("No pipe defined in Handle " + std::to_string(ch.handle)),
              std::string::npos);
    EXPECT_TRUE(ch.owner->released(3000ms));
}

TEST_F(ReceiveTest, APeerClosedChannelWithoutPipeEndsOnACloseRequest) {
    testing::internal::CaptureStdout();
    TcpChannel ch(false);
    testing::internal::GetCapturedStdout();
    ch.peer.reset();
    std::this_thread::sleep_for(100ms);
    testing::internal::CaptureStdout();
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, ch.handle), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ch.owner->released(3000ms));
}

TEST_F(ReceiveTest, UdpDatagramsAreQueuedCutTo128Bytes) {
    int s = -1;
    const int localPort = unusedPort("127.0.0.1");
    ASSERT_EQ(kor_startUDPBind(localPort, &s), 0);
    OwnedChannel owner(KORHDLTYPE_UDP, s, kor_startTCPClientReceive);
    const int handle = owner.handle();
    int peerPort = 0;
    Fd peer(udpOn("127.0.0.1", &peerPort));
    const sockaddr_in to = loopback("127.0.0.1", localPort);
    const std::string big(200, 'u');
    for (const std::string& d : {big, std::string(), std::string("tail")}) {
        ::sendto(peer.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }
    EXPECT_TRUE(queuedBecomes(handle, std::string(128, 'u') + "tail"));
    EXPECT_TRUE(inUse(handle));  // an empty datagram does not end a UDP channel
    KORHDLTBL_RequestClose(&korHandleTable, handle);
    EXPECT_TRUE(owner.released());
}

// A listening channel served by its accept loop, as TCPLISTEN runs it.
struct Listener {
    int port = 0;
    std::unique_ptr<OwnedChannel> owner;
    int handle = -1;

    explicit Listener(int wantedPort = 0) {
        int s = -1;
        EXPECT_EQ(kor_startTCPListen(static_cast<unsigned>(wantedPort), &s), 0);
        port = boundPortOf(s);
        owner = std::make_unique<OwnedChannel>(KORHDLTYPE_NONE, -1, [s](int h) {
            KORHDLTBL_SetTransport(&korHandleTable, h, {KORHDLTYPE_TCPSERVER, s});
            return kor_startTCPAccept(h);
        });
        handle = owner->handle();
    }
    static int boundPortOf(int s) {
        CtlSockAddrIn a{};
        int len = sizeof a;
        ctlGetsockname(s, reinterpret_cast<CtlSockAddr*>(&a), &len);
        return ctlNtohs(a.port);
    }
    int acceptedFrom(const char* ip) const {
        return KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, handle, ip);
    }
};

TEST_F(ReceiveTest, AcceptedConnectionsGetChannelsOfTheirOwnPerPeerAddress) {
    Listener l;
    ASSERT_GT(l.handle, 0);
    Fd a(connectFrom("127.0.0.2", "127.0.0.1", l.port));
    Fd b(connectFrom("127.0.0.3", "127.0.0.1", l.port));
    ASSERT_TRUE(waitFor(
        [&] { return l.acceptedFrom("127.0.0.2") > 0 && l.acceptedFrom("127.0.0.3") > 0; }));
    const int ha = l.acceptedFrom("127.0.0.2");
    const int hb = l.acceptedFrom("127.0.0.3");
    EXPECT_NE(ha, hb);
    EXPECT_EQ(record(ha).type, KORHDLTYPE_TCPACCEPTED);
    EXPECT_EQ(record(ha).listenHandle, l.handle);
    ASSERT_TRUE(sendAll(a.get(), "from a"));
    ASSERT_TRUE(sendAll(b.get(), "from b"));
    EXPECT_TRUE(queuedBecomes(ha, "from a"));
    EXPECT_TRUE(queuedBecomes(hb, "from b"));

    // Closing an accepted channel releases it and closes the connection.
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, ha), 0);
    EXPECT_TRUE(waitFor([&] { return l.acceptedFrom("127.0.0.2") == -1; }));
    bool closed = false;
    readFor(a.get(), 1000, 1, &closed);
    EXPECT_TRUE(closed);

    // Closing the listener ends its loop and frees its port; the accepted
    // channel of b lives on.
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, l.handle), 0);
    EXPECT_TRUE(l.owner->released());
    EXPECT_EQ(l.owner->result(), 0);
    EXPECT_FALSE(inUse(l.handle));
    EXPECT_TRUE(inUse(hb));
    b.reset();
    int again = -1;
    EXPECT_EQ(kor_startTCPListen(static_cast<unsigned>(l.port), &again), 0);
    ctlClose(again);
    KORHDLTBL_RequestClose(&korHandleTable, hb);
    EXPECT_TRUE(waitFor([&] { return !inUse(hb); }));
}

TEST_F(ReceiveTest, AListenerWithoutPipeEndsOnACloseRequestAndFreesItsPort) {
    testing::internal::CaptureStdout();
    vc::hooks::failAfter(vc::hooks::Site::PipeCreate, 0);
    Listener l;
    testing::internal::GetCapturedStdout();
    ASSERT_GT(l.handle, 0);
    ASSERT_EQ(record(l.handle).pipeFd, -1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, l.handle), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(l.owner->released(3000ms));
    int again = -1;
    EXPECT_EQ(kor_startTCPListen(static_cast<unsigned>(l.port), &again), 0);
    ctlClose(again);
}

TEST_F(ReceiveTest, AClientAcceptedWithoutAFreeChannelIsRefusedAndTheNextOneServed) {
    Listener l;
    ASSERT_GT(l.handle, 0);
    // Fill the table with channels of this thread.
    std::vector<int> fillers;
    testing::internal::CaptureStdout();
    for (int h; (h = KORHDLTBL_GetHandle(&korHandleTable, KORHDLTYPE_NONE, -1)) != -1;) {
        fillers.push_back(h);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fillers.size(), 18u);

    testing::internal::CaptureStdout();
    Fd refused(connectFrom("127.0.0.4", "127.0.0.1", l.port));
    bool closed = false;
    readFor(refused.get(), 2000, 1, &closed);
    EXPECT_TRUE(closed);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error - no free handle available\r\n"), std::string::npos);

    testing::internal::CaptureStdout();
    // Not the last one allocated: that record is skipped by the next allocation.
    KORHDLTBL_CloseHandle(&korHandleTable, fillers.front());
    fillers.erase(fillers.begin());
    Fd served(connectFrom("127.0.0.5", "127.0.0.1", l.port));
    EXPECT_TRUE(waitFor([&] { return l.acceptedFrom("127.0.0.5") > 0; }));
    for (int h : fillers) KORHDLTBL_CloseHandle(&korHandleTable, h);
    testing::internal::GetCapturedStdout();

    KORHDLTBL_RequestCloseAll(&korHandleTable);
    EXPECT_TRUE(l.owner->released());
    EXPECT_TRUE(waitFor([&] { return l.acceptedFrom("127.0.0.5") == -1; }));
}

TEST_F(ReceiveTest, TwoClientServerLoopQueuesIntoTheListeningChannel) {
    int s = -1;
    ASSERT_EQ(kor_startTCPListen(0, &s), 0);
    const int port = Listener::boundPortOf(s);
    OwnedChannel owner(KORHDLTYPE_TCPSERVER, s, kor_startTCPServerReceive);
    const int handle = owner.handle();
    Fd a(connectFrom("127.0.0.2", "127.0.0.1", port));
    Fd b(connectFrom("127.0.0.3", "127.0.0.1", port));
    ASSERT_TRUE(sendAll(a.get(), "A1"));
    EXPECT_TRUE(queuedBecomes(handle, "A1"));
    ASSERT_TRUE(sendAll(b.get(), "B1"));
    EXPECT_TRUE(queuedBecomes(handle, "A1B1"));
    // A third client waits in the backlog while both slots are taken; the
    // loop must not spin on it.
    Fd c(connectFrom("127.0.0.4", "127.0.0.1", port));
    ASSERT_TRUE(sendAll(c.get(), "C1"));
    EXPECT_LT(cpuWhileIdle(500ms), 0.05);
    EXPECT_EQ(queued(handle), "A1B1");
    a.reset();  // frees a slot: c is taken in
    EXPECT_TRUE(queuedBecomes(handle, "A1B1C1"));
    KORHDLTBL_RequestClose(&korHandleTable, handle);
    EXPECT_TRUE(owner.released());
    EXPECT_EQ(owner.result(), 0);
}

// The calling thread and the tasks it starts from now on share one core.
class OneCore {
public:
    OneCore() {
        pthread_getaffinity_np(pthread_self(), sizeof saved_, &saved_);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    }
    ~OneCore() { pthread_setaffinity_np(pthread_self(), sizeof saved_, &saved_); }

private:
    cpu_set_t saved_{};
};

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A connection waits while every accept fails, so the listener stays ready.
// The serving loop runs at real-time priority: unless it blocks between its
// passes it holds the core, and a normal thread beside it gets only what the
// kernel's real-time throttling leaves (5%).
TEST_F(ReceiveTest, ARealTimeLoopOverAFailingAcceptLeavesTheCoreToNormalThreads) {
    if (!vc::sched::inEffect())
        GTEST_SKIP() << "real-time scheduling is not permitted here (root, CAP_SYS_NICE or "
                        "RLIMIT_RTPRIO >= 30 needed)";
    OneCore pinned;
    int s = -1;
    ASSERT_EQ(kor_startTCPListen(0, &s), 0);
    const int port = Listener::boundPortOf(s);
    vc::hooks::failAfter(vc::hooks::Site::Accept, 0, -1);
    OwnedChannel owner(KORHDLTYPE_TCPSERVER, s, kor_startTCPServerReceive);
    const int handle = owner.handle();
    Fd waiting(connectFrom("127.0.0.2", "127.0.0.1", port));

    constexpr double kWall = 1.0;
    const double processBefore = processCpuSeconds();
    double normalCpu = 0;
    std::thread normal([&] {
        const double start = threadCpuSeconds();
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWall);
        while (std::chrono::steady_clock::now() < end) {
        }
        normalCpu = threadCpuSeconds() - start;
    });
    normal.join();
    const double loopCpu = processCpuSeconds() - processBefore - normalCpu;
    EXPECT_LT(loopCpu, 0.25 * kWall) << "the serving loop spins";
    EXPECT_GT(normalCpu, 0.1 * kWall) << "the normal thread was starved";

    vc::hooks::reset();
    KORHDLTBL_RequestClose(&korHandleTable, handle);
    EXPECT_TRUE(owner.released());
}

}  // namespace

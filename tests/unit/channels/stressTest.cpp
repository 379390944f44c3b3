// Many tasks on one channel at once, and open/close cycles that must leave no
// descriptor or task behind.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "channelSupport.h"
#include "korTransport.h"
#include "peers.h"
#include "receiveTasks.h"

namespace {

using namespace chantest;

class StressTest : public ChannelTest {};

TEST_F(StressTest, ReadersSendersAndACloseRequestOnOneChannelAtOnce) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    int s = -1;
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(port), &s), 0);
    Fd peer(::accept(listener.get(), nullptr, nullptr));
    OwnedChannel owner(KORHDLTYPE_TCPCLIENT, s, kor_startTCPClientReceive);
    const int h = owner.handle();
    ASSERT_GT(h, 0);
    const KorChannelId id = KorTableLock(&korHandleTable).idOf(h);

    // The peer sends a counter 0..250 repeated; every pop must come out as one
    // unbroken run of it, whoever pops. The feeder keeps at most half a queue
    // ahead of the readers: a full queue drops bytes by design, and a slow
    // machine (or a sanitizer) must not turn that into a failure here.
    constexpr int kBytes = 60000;
    constexpr int kMostAhead = 4000;
    std::atomic<bool> stop{false};
    std::atomic<int> popped{0}, broken{0}, sent{0};
    std::thread feeder([&] {
        std::string chunk;
        for (int i = 0; i < kBytes; ++i) {
            chunk.push_back(static_cast<char>(i % 251));
            if (chunk.size() == 500) {
                if (!waitFor([&] { return i + 1 - popped.load() <= kMostAhead; })) return;
                sendAll(peer.get(), chunk);
                chunk.clear();
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    std::vector<std::unique_ptr<PlatformTask>> tasks;
    for (int r = 0; r < 4; ++r) {
        tasks.push_back(std::make_unique<PlatformTask>([&] {
            char buf[128];
            while (!stop) {
                int n;
                n = KORHDLTBL_PopInput(&korHandleTable, id, buf, 128);
                if (n < 0) break;
                for (int i = 1; i < n; ++i) {
                    if (static_cast<unsigned char>(buf[i]) !=
                        (static_cast<unsigned char>(buf[i - 1]) + 1) % 251) {
                        ++broken;
                    }
                }
                popped += n;
                ctlTaskDelay(n == 0 ? 1 : 0);
            }
        }));
    }
    for (int w = 0; w < 2; ++w) {
        tasks.push_back(std::make_unique<PlatformTask>([&] {
            char out[129] = "ping";
            while (!stop) {
                const int rc = KORHDLTBL_Send(&korHandleTable, h, out, 4, 0);
                if (rc == -1 && !inUse(h)) break;
                if (rc == 4) sent += 4;
                ctlTaskDelay(1);  // the peer reads only at the end: keep its buffer small
            }
        }));
    }
    feeder.join();
    EXPECT_TRUE(waitFor([&] { return popped.load() == kBytes; }));
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, h), 0);
    EXPECT_TRUE(owner.released());
    stop = true;
    for (auto& t : tasks) EXPECT_TRUE(t->waitDone());
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(popped.load(), kBytes);
    EXPECT_GT(sent.load(), 0);
    EXPECT_EQ(readFor(peer.get(), 1000).size(), static_cast<std::size_t>(sent.load()));
}

// A close against a pinned send: the release waits until the send has left
// before it closes the socket, so the number is not handed out again under
// the send and a channel opened meanwhile never gets the closing one's bytes.
// (The host's send delay holds the send between its look-up and the socket.)
TEST_F(StressTest, ACloseWaitsForThePinnedSendWhoseBytesNeverReachANewChannel) {
    int portA = 0, portB = 0;
    Fd listenerA(listenOn("127.0.0.1", &portA));
    Fd listenerB(listenOn("127.0.0.1", &portB));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        int s = -1;
        ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(portA), &s), 0);
        Fd peerA(::accept(listenerA.get(), nullptr, nullptr));
        OwnedChannel owner(KORHDLTYPE_TCPCLIENT, s, kor_startTCPClientReceive);
        const int h = owner.handle();
        ASSERT_GT(h, 0);
        vc::hooks::delaySends(300);
        std::atomic<int> sent{-100};
        PlatformTask sender([&] {
            char out[8] = "SECRET";
            sent = KORHDLTBL_Send(&korHandleTable, h, out, 6, 0);
        });
        ASSERT_TRUE(waitFor([&] {
            const KorTableLock lock(&korHandleTable);
            return record(h).sendsInFlight == 1;
        }));
        ASSERT_EQ(KORHDLTBL_RequestClose(&korHandleTable, h), 0);
        ctlTaskDelay(ctlMsToTicks(50));  // the owner is releasing now
        int s2 = -1;
        ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(portB), &s2), 0);
        Fd peerB(::accept(listenerB.get(), nullptr, nullptr));
        EXPECT_NE(s2, s) << "the socket number was handed out again under the send";
        EXPECT_TRUE(owner.released());
        EXPECT_TRUE(sender.waitDone());
        EXPECT_EQ(sent.load(), -1) << "the send went out on a closed channel's socket";
        vc::hooks::delaySends(0);
        EXPECT_EQ(readFor(peerB.get(), 200).find("SECRET"), std::string::npos);
        ctlClose(s2);
    }
}

TEST_F(StressTest, OpenCloseCyclesLeaveNoDescriptorsOrTasksBehind) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    auto cycle = [&] {
        int s = -1;
        ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(port), &s), 0);
        Fd peer(::accept(listener.get(), nullptr, nullptr));
        OwnedChannel owner(KORHDLTYPE_TCPCLIENT, s, kor_startTCPClientReceive);
        ASSERT_GT(owner.handle(), 0);
        ASSERT_EQ(KORHDLTBL_RequestClose(&korHandleTable, owner.handle()), 0);
        ASSERT_TRUE(owner.released());
    };
    cycle();  // first use sets up what the platform keeps for good
    const int fds = entriesIn("/proc/self/fd");
    const int threads = entriesIn("/proc/self/task");
    for (int i = 0; i < 300; ++i) cycle();
    // Ended owner tasks are gone (their threads may take a moment to exit).
    EXPECT_TRUE(waitFor([&] { return entriesIn("/proc/self/task") <= threads; }));
    EXPECT_EQ(entriesIn("/proc/self/fd"), fds);
}

}  // namespace

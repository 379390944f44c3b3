// Transport operations against loopback peers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "channelSupport.h"
#include "korTransport.h"
#include "peers.h"

namespace {

using namespace chantest;

class TransportTest : public kortest::LeakCheckedTest {
protected:
    void TearDown() override {
        vc::hooks::reset();
        if (socket_ != -1) ctlClose(socket_);
        LeakCheckedTest::TearDown();
    }
    int socket_ = -1;
};

TEST_F(TransportTest, TcpConnectSendsAndReceivesTheBytesUnchanged) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(port) | 0x70000u, &socket_),
              0);  // only the low 16 bits of the port count
    Fd peer(::accept(listener.get(), nullptr, nullptr));
    ASSERT_GE(peer.get(), 0);

    char out[8] = {'a', '\0', 'b', '\xff', 'c', '#', '#', '#'};
    EXPECT_EQ(kor_startTCPSend(socket_, out, 5), 5);
    EXPECT_EQ(out[5], '\0');  // terminated behind the data, not sent
    EXPECT_EQ(readFor(peer.get(), 500, 5), std::string("a\0b\xff"
                                                       "c",
                                                       5));

    ASSERT_TRUE(sendAll(peer.get(), "hello"));
    char in[129];
    EXPECT_EQ(kor_doTCPClientReceive(socket_, -1, in, 128, 0), 5);
    EXPECT_EQ(std::string(in, 5), "hello");

    peer.reset();  // the peer's orderly close reads as 0, not as an error
    EXPECT_EQ(kor_doTCPClientReceive(socket_, -1, in, 128, 2), KOR_RECV_NOTHING);
}

TEST_F(TransportTest, FailedConnectAndListenReportAndCloseTheirSocket) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(unusedPort("127.0.0.1")),
                                  &socket_),
              -1);
    socket_ = -1;  // already closed
    int port = 0;
    Fd taken(listenOn("127.0.0.1", &port));
    int s = -1;
    EXPECT_EQ(kor_startTCPListen(static_cast<unsigned>(port), &s), -1);
    const std::string err = testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find("Error - ctlConnect()"), std::string::npos) << err;
    EXPECT_NE(err.find("Error - ctlBind()"), std::string::npos) << err;
}

TEST_F(TransportTest, ASendCutShortByAStalledPeerIsAFailure) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    const int small = 4096;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(port), &socket_), 0);
    ::setsockopt(socket_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    Fd peer(::accept(listener.get(), nullptr, nullptr));  // and never reads

    // Part of the block fits into the buffers, then the send stalls until the
    // platform's send limit (10 s) gives up.
    std::string block(1 << 20, 'b');
    testing::internal::CaptureStdout();
    EXPECT_EQ(kor_startTCPSend(socket_, block.data(), static_cast<int>(block.size()) - 1), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error - ctlSend(): only "), std::string::npos) << out;
}

TEST_F(TransportTest, ReceiveTimesOutOnASilentPeer) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(port), &socket_), 0);
    Fd peer(::accept(listener.get(), nullptr, nullptr));
    char in[129];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kor_doTCPClientReceive(socket_, -1, in, 128, 1), KOR_RECV_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(TransportTest, ACloseByteWinsOverWaitingDataWhichStaysUnread) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(port), &socket_), 0);
    Fd peer(::accept(listener.get(), nullptr, nullptr));
    ASSERT_EQ(vx::pipeDevCreate("/pipe/transportTestWake", 1, 1), 0);
    const int pipeFd = vx::open("/pipe/transportTestWake", vx::O_RDWR_, 0);
    ASSERT_NE(pipeFd, -1);

    ASSERT_TRUE(sendAll(peer.get(), "data"));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(vx::write(pipeFd, "x", 1), 1);
    char in[129];
    EXPECT_EQ(kor_doTCPClientReceive(socket_, pipeFd, in, 128, 0), KOR_RECV_CLOSE);
    // The byte was consumed, the data is still there.
    EXPECT_EQ(kor_doTCPClientReceive(socket_, pipeFd, in, 128, 1), 4);
    EXPECT_EQ(std::string(in, 4), "data");

    vx::close(pipeFd);
    vx::pipeDevDelete("/pipe/transportTestWake", true);
}

TEST_F(TransportTest, UdpSendsOneDatagramPerCallAndReceivesCutToTheBuffer) {
    ASSERT_EQ(kor_startUDPBind(0, &socket_), 0);  // unbound: the platform picks the port
    int peerPort = 0;
    Fd peer(udpOn("127.0.0.1", &peerPort));
    char out[130];
    for (int i = 0; i < 3; ++i) {
        std::snprintf(out, sizeof out, "dgram%d", i);
        EXPECT_EQ(kor_startUDPSend(socket_, "127.0.0.1", static_cast<unsigned>(peerPort), out, 6),
                  6);
    }
    for (int i = 0; i < 3; ++i) {
        char got[64];
        const ssize_t n = ::recv(peer.get(), got, sizeof got, 0);
        EXPECT_EQ(std::string(got, static_cast<std::size_t>(n)), "dgram" + std::to_string(i));
    }

    int bound = -1;
    const int localPort = unusedPort("127.0.0.1");
    ASSERT_EQ(kor_startUDPBind(localPort, &bound), 0);
    const sockaddr_in to = loopback("127.0.0.1", localPort);
    const std::string big(200, 'q');
    ASSERT_EQ(::sendto(peer.get(), big.data(), big.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              200);
    ASSERT_EQ(::sendto(peer.get(), "next", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              4);
    char in[129];
    EXPECT_EQ(kor_doTCPClientReceive(bound, -1, in, 128, 2), 128);
    EXPECT_EQ(kor_doTCPClientReceive(bound, -1, in, 128, 2), 4);  // the rest was dropped
    EXPECT_EQ(std::string(in, 4), "next");

    int again = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(kor_startUDPBind(localPort, &again), -3);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error - ctlBind()"), std::string::npos);
    ctlClose(bound);
}

}  // namespace

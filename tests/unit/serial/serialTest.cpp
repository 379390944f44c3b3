// Serial ports over a pty pair made by socat: the test holds one end, the
// platform's "\COM1" is the other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korTest.h"
#include "vc.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Serial : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        char tmpl[] = "/tmp/arvokor-serial-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ptys_ = std::make_unique<kortest::PtyPair>(dir_ + "/ttyA", dir_ + "/ttyB");
        ASSERT_TRUE(ptys_->ready()) << "socat made no ptys";
        a_ = ptys_->a();
        b_ = ptys_->b();
        vc::Settings s;
        s.com1 = a_;
        vc::useSettings(s);
        peer_ = ::open(b_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(peer_, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(peer_, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(peer_, TCSANOW, &t), 0);
    }
    void TearDown() override {
        if (port_ >= 0) ctlRsClose(port_);
        if (peer_ >= 0) ::close(peer_);
        ptys_.reset();
        vc::useSettings(vc::Settings{});
        std::system(("rm -rf " + dir_).c_str());
        LeakCheckedTest::TearDown();
    }
    void openPort(CtlRsConfig config = {11520, 8, 0, 1}) {
        ASSERT_EQ(ctlRsInit("\\COM1", &config), 0);
        port_ = ctlRsOpen("\\COM1");
        ASSERT_GE(port_, 0);
    }
    // Reads from the test's end until n bytes or a generous bound.
    std::string peerRead(std::size_t n) {
        std::string got;
        auto deadline = Clock::now() + 10s;
        while (got.size() < n && Clock::now() < deadline) {
            pollfd p{peer_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            ssize_t r = ::read(peer_, buf, sizeof buf);
            if (r > 0) got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }
    std::string dir_, a_, b_;
    std::unique_ptr<kortest::PtyPair> ptys_;
    int peer_ = -1;
    int port_ = -1;
};

std::string allBytes() {
    std::string s;
    for (int v = 0; v < 256; ++v) s.push_back(static_cast<char>(v));
    return s;
}

TEST_F(Serial, EveryByteValuePassesBothWays) {
    openPort();
    const std::string bytes = allBytes();
    ASSERT_EQ(ctlRsSend(port_, bytes.data(), static_cast<int>(bytes.size())), 0);
    EXPECT_EQ(peerRead(bytes.size()), bytes);

    ASSERT_EQ(::write(peer_, bytes.data(), bytes.size()), 256);
    std::string got;
    char buf[100];
    for (int calls = 0; got.size() < bytes.size() && calls < 100; ++calls) {
        int n = ctlRsRecv(port_, buf, sizeof buf);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, static_cast<int>(sizeof buf));  // never more than asked for
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, bytes);
}

TEST_F(Serial, AnIdleReceiveWaitsUntilDataArrives) {
    openPort();
    char buf[16];
    std::atomic<int> got{-100};
    std::thread receiver([&] { got = ctlRsRecv(port_, buf, sizeof buf); });
    // Silence is waited through, not reported as an empty receive: a task
    // looping over receives would otherwise wake for nothing.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(got.load(), -100);
    ASSERT_EQ(::write(peer_, "z", 1), 1);
    receiver.join();
    ASSERT_EQ(got.load(), 1);
    EXPECT_EQ(buf[0], 'z');
}

TEST_F(Serial, ClosingFromAnotherTaskEndsAWaitingReceive) {
    openPort();
    const int port = port_;
    port_ = -1;
    std::atomic<int> last{1};
    std::atomic<bool> started{false};
    std::thread receiver([&] {
        char buf[16];
        int n;
        started = true;
        while ((n = ctlRsRecv(port, buf, sizeof buf)) >= 0) {
        }
        last = n;
    });
    while (!started) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ctlRsClose(port), 0);
    receiver.join();
    EXPECT_EQ(last.load(), -1);
    // The closed number is dead for good, even after the line is opened again.
    char c = 'x';
    EXPECT_EQ(ctlRsSend(port, &c, 1), -1);
    EXPECT_EQ(ctlRsClose(port), -1);
    port_ = ctlRsOpen("");  // the empty name is the first port too
    ASSERT_GE(port_, 0);
    EXPECT_NE(port_, port);
    EXPECT_EQ(ctlRsRecv(port, &c, 1), -1);
}

TEST_F(Serial, ConfigurationReachesTheDevice) {
    openPort({1920, 7, 2, 2 + 16});
    termios t{};
    int fd = ::open(a_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    // (A pty always reports 8 data bits without parity, whatever was set.)
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));  // raw

    // Zeros pick 9600 baud, 8 data bits, 1 stop bit.
    CtlRsConfig zeros{0, 0, 0, 0};
    ASSERT_EQ(ctlRsInit("\\COM1", &zeros), 0);
    fd = ::open(a_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_FALSE(t.c_cflag & (CSTOPB | CRTSCTS));

    // XON/XOFF flow control, and every common rate up to 115200.
    CtlRsConfig xon{5760, 8, 1, 1 + 32};
    ASSERT_EQ(ctlRsInit("\\COM1", &xon), 0);
    fd = ::open(a_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_TRUE((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF));
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    for (int rate : {30, 60, 120, 240, 480, 960, 1920, 3840, 5760, 11520}) {
        CtlRsConfig c{rate, 8, 0, 1};
        EXPECT_EQ(ctlRsInit("\\COM1", &c), 0) << rate;
    }

    for (CtlRsConfig bad :
         {CtlRsConfig{961, 8, 0, 1}, CtlRsConfig{960, 9, 0, 1}, CtlRsConfig{960, 8, 3, 1},
          CtlRsConfig{960, 8, 0, 3}, CtlRsConfig{960, 8, 0, 1 + 16 + 32}})
        EXPECT_EQ(ctlRsInit("\\COM1", &bad), -1) << bad.config0 << " " << bad.config1;
}

TEST_F(Serial, NamesOpeningsAndFailures) {
    openPort();
    EXPECT_EQ(ctlRsOpen(""), -1);  // the same line, already open
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(ctlRsOpen("\\COM2"), -1);  // no device configured for it
    EXPECT_EQ(ctlRsOpen("\\COM3"), -1);
    CtlRsConfig c{960, 8, 0, 1};
    EXPECT_EQ(ctlRsInit("COM9", &c), -1);
    char buf[4];
    EXPECT_EQ(ctlRsRecv(12345, buf, sizeof buf), -1);

    vc::hooks::failAfter(vc::hooks::Site::RsSend, 0);
    EXPECT_EQ(ctlRsSend(port_, "a", 1), -1);
    EXPECT_EQ(ctlRsSend(port_, "a", 1), 0);
    EXPECT_EQ(peerRead(1), "a");

    // A device that goes away: the receive fails instead of reporting silence.
    ptys_->stop();
    int n = 0;
    for (int k = 0; k < 50 && n == 0; ++k) n = ctlRsRecv(port_, buf, sizeof buf);
    EXPECT_EQ(n, -1);
}

}  // namespace

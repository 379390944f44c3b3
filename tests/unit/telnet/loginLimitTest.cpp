// The telnet log-in against a peer that never falls silent: one that echoes
// every byte, so that each option reply comes back as a new request. The
// log-in must give up after its overall limit instead of negotiating for ever.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ctl.h"
#include "korTelnet.h"
#include "vc.h"

namespace {

using namespace std::chrono_literals;

// Accepts one connection, asks for option 1 and then echoes everything.
class EchoingServer {
public:
    EchoingServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            const int c = ::accept(listener_, nullptr, nullptr);
            if (c < 0) return;
            const char doEcho[] = {'\xff', '\xfd', '\x01'};
            ::send(c, doEcho, sizeof doEcho, MSG_NOSIGNAL);
            char buf[512];
            for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;) {
                echoed_ += static_cast<int>(n);
                ::send(c, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
            ::close(c);
        });
    }
    ~EchoingServer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    unsigned short port() const { return port_; }
    int echoed() const { return echoed_.load(); }

private:
    int listener_ = -1;
    unsigned short port_ = 0;
    std::atomic<int> echoed_{0};
    std::thread thread_;
};

TEST(TelnetLoginLimit, EndlessNegotiationEndsTheLogIn) {
    vc::useSettings(vc::Settings{});
    const int limit = kor_telnetLoginLimitSec;
    kor_telnetLoginLimitSec = 2;
    EchoingServer server;
    // The log-in runs in a thread of its own, so that a log-in that never ends
    // fails the test instead of hanging it.
    auto result = std::make_shared<std::atomic<int>>(1);
    std::thread([result, port = server.port()] {
        int s = -1;
        result->store(kor_telnetConnect("127.0.0.1", port, "operator", "secret", "$ ", &s));
    }).detach();
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (result->load() == 1 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    kor_telnetLoginLimitSec = limit;
    ASSERT_EQ(result->load(), -1) << "the log-in did not end";
    EXPECT_GT(server.echoed(), 3) << "the peer was to keep the negotiation going";
}

// Floods IAC DO for every option in turn and never reads: each request
// answered (and each answer a send that waits for room) kept the log-in far
// beyond its limit. Counts what the client sent once the client is gone.
class FloodingServer {
public:
    FloodingServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;  // a full receive buffer soon: sends then wait
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            const int c = ::accept(listener_, nullptr, nullptr);
            if (c < 0) return;
            std::string flood;
            for (int round = 0; round < 64; ++round)
                for (int option = 0; option < 256; ++option)
                    flood += std::string{'\xff', '\xfd', static_cast<char>(option)};
            // Until the client closes (the send then fails), at most 4.7 MB.
            for (int sent = 0; sent < 4700000 && !stop_.load();) {
                const ssize_t n = ::send(c, flood.data(), flood.size(), MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<int>(n);
            }
            char buf[4096];
            timeval wait{5, 0};
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;)
                answers_.append(buf, static_cast<std::size_t>(n));
            ::close(c);
            done_.store(true);
        });
    }
    ~FloodingServer() {
        stop_.store(true);
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    unsigned short port() const { return port_; }
    bool done() const { return done_.load(); }
    const std::string& answers() const { return answers_; }  // once done()

private:
    int listener_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::string answers_;
    std::thread thread_;
};

TEST(TelnetLoginLimit, OptionFloodFromAServerThatNeverReads) {
    vc::useSettings(vc::Settings{});
    const int limit = kor_telnetLoginLimitSec;
    kor_telnetLoginLimitSec = 2;
    FloodingServer server;
    auto result = std::make_shared<std::atomic<int>>(1);
    std::thread([result, port = server.port()] {
        int s = -1;
        result->store(kor_telnetConnect("127.0.0.1", port, "operator", "secret", "$ ", &s));
    }).detach();
    const auto start = std::chrono::steady_clock::now();
    while (result->load() == 1 && std::chrono::steady_clock::now() < start + 15s)
        std::this_thread::sleep_for(10ms);
    const auto took = std::chrono::steady_clock::now() - start;
    kor_telnetLoginLimitSec = limit;
    ASSERT_EQ(result->load(), -1) << "the log-in did not end";
    EXPECT_LT(took, 6s) << "the 2 s limit bounds the sends too";
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!server.done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(server.done());
    // One answer per option: WILL SUPPRESS-GO-AHEAD, WONT for the rest.
    std::string expected;
    for (int option = 0; option < 256; ++option)
        expected += std::string{'\xff', option == 3 ? '\xfb' : '\xfc', static_cast<char>(option)};
    ASSERT_EQ(server.answers().size(), expected.size()) << "one answer per option";
    EXPECT_TRUE(server.answers() == expected);
}

}  // namespace

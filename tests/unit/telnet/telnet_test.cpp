// Telnet client against scripted loopback peers (exact negotiation bytes,
// prompts, windows, silence) and against a real telnet server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korTelnet.h"
#include "korTransport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// One accepted connection of the scripted peer, seen from the peer's side.
class PeerConn {
public:
    explicit PeerConn(int fd) : fd_(fd) {}
    void send(const std::string& data) { ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL); }
    // Reads until what has been received ends with (or contains) `want`, or
    // until `limit` passes. Everything received stays in received().
    bool waitFor(const std::string& want, std::chrono::milliseconds limit = 3000ms) {
        const auto end = Clock::now() + limit;
        while (received_.find(want) == std::string::npos) {
            if (!readSome(end)) return false;
        }
        return true;
    }
    // True when the client closes the connection within `limit`.
    bool waitClosed(std::chrono::milliseconds limit = 3000ms) {
        const auto end = Clock::now() + limit;
        while (readSome(end)) {
        }
        return closed_;
    }
    const std::string& received() const { return received_; }

private:
    bool readSome(Clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0 || closed_) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buf[2048];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        received_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    int fd_;
    std::string received_;
    bool closed_ = false;
};

// A loopback server that serves one connection with a script on a thread of
// its own; the script's EXPECTs run there and are reported by gtest.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(PeerConn&)> script) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listenFd_, 1) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ADD_FAILURE() << "peer cannot listen";
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script] {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) return;
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) return;
            PeerConn conn(fd);
            script(conn);
            ::close(fd);
        });
    }
    ~ScriptedPeer() {
        finish();
        ::close(listenFd_);
    }
    // Waits until the script has run to its end.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }
    unsigned short port() const { return port_; }

private:
    int listenFd_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
};

int login(const ScriptedPeer& peer, const char* prompt, int* socket, const char* user = "robot",
          const char* password = "secret") {
    return kor_telnetConnect("127.0.0.1", peer.port(), user, password, prompt, socket);
}

// ---------------------------------------------------------------- log-in

TEST(TelnetLogin, AnswersOptionRequestsAsTheyArriveBeforeAnyPrompt) {
    // Like a server that withholds its prompt until its requests are answered.
    const std::string requests = bytes(
        {255, 253, 1, 255, 251, 3, 255, 252, 5, 255, 254, 6, 255, 251, 7, 255, 253, 3});
    const std::string replies = bytes(
        {255, 252, 1, 255, 253, 3, 255, 254, 5, 255, 252, 6, 255, 254, 7, 255, 251, 3});
    ScriptedPeer peer([&](PeerConn& c) {
        c.send(requests);
        ASSERT_TRUE(c.waitFor(replies));
        c.send("host login: ");
        ASSERT_TRUE(c.waitFor("robot\r\n"));
        c.send("Password: ");
        ASSERT_TRUE(c.waitFor("secret\r\n"));
        // Each request answered exactly once, all before the user name.
        EXPECT_EQ(c.received(), replies + "robot\r\nsecret\r\n");
        c.send("Last login: never\r\n$ ");
        c.waitClosed(1000ms);
    });
    int s = -1;
    ASSERT_EQ(login(peer, "$ ", &s), 0);
    EXPECT_EQ(kor_telnetClose(s), 0);
}

TEST(TelnetLogin, CommandsSplitOverReceivesAreAnsweredOnce) {
    ScriptedPeer peer([](PeerConn& c) {
        c.send(bytes({255}));
        std::this_thread::sleep_for(150ms);
        c.send(bytes({253}));
        std::this_thread::sleep_for(150ms);
        c.send(bytes({24, 255, 250, 24}));  // subnegotiation begins
        std::this_thread::sleep_for(150ms);
        c.send(bytes({1, 255, 240}) + "login:");
        std::this_thread::sleep_for(150ms);
        c.send(" ");
        ASSERT_TRUE(c.waitFor("robot\r\n"));
        EXPECT_EQ(c.received(), bytes({255, 252, 24}) + "robot\r\n");
        c.send("Password: ");
        ASSERT_TRUE(c.waitFor("secret\r\n"));
        c.send("ok> ");
        c.waitClosed(1000ms);
    });
    int s = -1;
    ASSERT_EQ(login(peer, "ok>", &s), 0);
    kor_telnetClose(s);
}

TEST(TelnetLogin, SubnegotiationAndEscapedIacInPromptText) {
    // "login:" IAC SB ... SE " " is a prompt only when the subnegotiation is
    // removed; the shell prompt holds a data byte 255 sent as IAC IAC.
    ScriptedPeer peer([](PeerConn& c) {
        c.send("login:" + bytes({255, 250, 31, 0, 80, 0, 24, 255, 240}) + " ");
        ASSERT_TRUE(c.waitFor("robot\r\n"));
        c.send("Password: ");
        ASSERT_TRUE(c.waitFor("secret\r\n"));
        c.send("ab" + bytes({255, 255}) + "$");
        c.waitClosed(1000ms);
    });
    int s = -1;
    const std::string prompt = "ab" + bytes({255}) + "$";
    ASSERT_EQ(login(peer, prompt.c_str(), &s), 0);
    kor_telnetClose(s);
}

TEST(TelnetLogin, LongBannerAndPromptInTheLastWindow) {
    ScriptedPeer peer([](PeerConn& c) {
        c.send(std::string(3000, 'b') + "\r\nlogin: ");
        ASSERT_TRUE(c.waitFor("robot\r\n"));
        c.send("Password: ");
        ASSERT_TRUE(c.waitFor("secret\r\n"));
        c.send(std::string(700, 'm') + "$ ");
        c.waitClosed(1000ms);
    });
    int s = -1;
    ASSERT_EQ(login(peer, "$ ", &s), 0);
    kor_telnetClose(s);
}

TEST(TelnetLogin, ShellPromptSplitOverReceives) {
    ScriptedPeer peer([](PeerConn& c) {
        c.send("login: ");
        ASSERT_TRUE(c.waitFor("robot\r\n"));
        c.send("Password: ");
        ASSERT_TRUE(c.waitFor("secret\r\n"));
        c.send("robot@cell:~");
        std::this_thread::sleep_for(150ms);
        c.send("$ ");
        c.waitClosed(1000ms);
    });
    int s = -1;
    ASSERT_EQ(login(peer, "~$ ", &s), 0);
    kor_telnetClose(s);
}

TEST(TelnetLogin, FailuresCloseTheConnection) {
    struct Case {
        const char* name;
        std::function<void(PeerConn&)> script;
        bool peerCloses;
    };
    const std::vector<Case> cases = {
        {"silent server", [](PeerConn&) {}, false},
        {"banner cut short", [](PeerConn& c) { c.send("wel"); }, false},
        {"password prompt without blank",
         [](PeerConn& c) {
             c.send("login: ");
             c.waitFor("robot\r\n");
             c.send("Password:");
         },
         false},
        {"wrong shell prompt",
         [](PeerConn& c) {
             c.send("login: ");
             c.waitFor("robot\r\n");
             c.send("Password: ");
             c.waitFor("secret\r\n");
             c.send("Login incorrect\r\n");
         },
         false},
        {"server closes",
         [](PeerConn& c) {
             c.send("login: ");
             c.waitFor("robot\r\n");
         },
         true},
    };
    for (const Case& k : cases) {
        bool closedByClient = false;
        ScriptedPeer peer([&](PeerConn& c) {
            k.script(c);
            if (!k.peerCloses) closedByClient = c.waitClosed(4000ms);
        });
        int s = -1;
        const auto start = Clock::now();
        EXPECT_EQ(login(peer, "$ ", &s), -1) << k.name;
        EXPECT_LT(Clock::now() - start, 3500ms) << k.name;
        peer.finish();
        if (!k.peerCloses) {
            EXPECT_TRUE(closedByClient) << k.name;
        }
    }
}

TEST(TelnetLogin, EmptyPromptSucceedsAfterOneReceiveWhateverTheAnswer) {
    ScriptedPeer peer([](PeerConn& c) {
        c.send("login: ");
        c.waitFor("robot\r\n");
        c.send("Password: ");
        c.waitFor("secret\r\n");
        c.send("Login incorrect\r\n");
        c.waitClosed(1000ms);
    });
    int s = -1;
    ASSERT_EQ(login(peer, "", &s), 0);
    kor_telnetClose(s);
}

// The log-in limit counts ticks: setting the calendar clock during a log-in
// neither ends it at once nor lets it run on.
TEST(TelnetLogin, CalendarClockStepsDoNotEndTheLogIn) {
    for (const std::int64_t step : {std::int64_t{3600}, std::int64_t{-3600}}) {
        SCOPED_TRACE(step);
        ScriptedPeer peer([step](PeerConn& c) {
            c.send("login: ");
            ASSERT_TRUE(c.waitFor("robot\r\n"));
            vc::hooks::stepCalendar(step);
            c.send("Password: ");
            ASSERT_TRUE(c.waitFor("secret\r\n"));
            c.send("$ ");
            c.waitClosed(1000ms);
        });
        int s = -1;
        EXPECT_EQ(login(peer, "$ ", &s), 0);
        kor_telnetClose(s);
        vc::hooks::reset();
    }
}

TEST(TelnetLogin, ConnectionRefused) {
    int probe = -1;
    unsigned short port = 0;
    {
        ScriptedPeer peer([](PeerConn&) {});
        port = peer.port();
        kor_startTCPConnect("127.0.0.1", port, &probe);
        ctlClose(probe);
    }
    int s = -1;
    EXPECT_EQ(kor_telnetConnect("127.0.0.1", port, "u", "p", "$", &s), -1);
}

// ---------------------------------------------------------------- parse

TEST(TelnetParse, DataRepliesAndIncompleteCommands) {
    std::string fromClient;
    ScriptedPeer peer([&](PeerConn& c) {
        c.waitFor(bytes({255, 252, 9}), 2000ms);
        fromClient = c.received();
    });
    int s = -1;
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", peer.port(), &s), 0);

    const std::string in = "a" + bytes({255, 255}) + "b" + bytes({255, 241}) + "c" +
                           bytes({255, 250, 1, 2, 240}) + "d" + bytes({255, 254, 9}) +
                           bytes({255, 251});  // verb without option at the end
    std::vector<char> out(in.size());
    int n = -1;
    kor_parseTelnet(s, reinterpret_cast<const unsigned char*>(in.data()),
                    static_cast<int>(in.size()), out.data(), &n);
    EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(n)), "a" + bytes({255}) + "bcd");

    // A subnegotiation without its end swallows the rest; a lone IAC is dropped.
    const std::string open = "x" + bytes({255, 250, 1, 'y', 'z'});
    kor_parseTelnet(s, reinterpret_cast<const unsigned char*>(open.data()),
                    static_cast<int>(open.size()), out.data(), &n);
    EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(n)), "x");
    const std::string lone = "q" + bytes({255});
    kor_parseTelnet(s, reinterpret_cast<const unsigned char*>(lone.data()), 2, out.data(), &n);
    EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(n)), "q");
    kor_telnetClose(s);
    peer.finish();
    EXPECT_EQ(fromClient, bytes({255, 252, 9}));  // only DONT 9 was answered
}

// ---------------------------------------------------------------- command

TEST(TelnetCommand, CollectsUntilThePatternMatches) {
    ScriptedPeer peer([](PeerConn& c) {
        ASSERT_TRUE(c.waitFor("ls\r\n"));
        c.send("file1\r");
        std::this_thread::sleep_for(50ms);
        c.send(std::string("\0\nfile2\r\n$ ", 11));
        c.waitClosed(1000ms);
    });
    int s = -1;
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", peer.port(), &s), 0);
    std::vector<char> reply(64);
    EXPECT_EQ(kor_telnetCommand(s, "ls", reply.data(), 64, "*$ "), 0);
    EXPECT_STREQ(reply.data(), "file1\r\nfile2\r\n$ ");  // the NUL after CR is left out
    kor_telnetClose(s);
}

TEST(TelnetCommand, NeverWritesPastTheReplyBuffer) {
    ScriptedPeer peer([](PeerConn& c) {
        ASSERT_TRUE(c.waitFor("cat big\r\n"));
        c.send(std::string(1500, 'z'));
        c.waitClosed(2000ms);
    });
    int s = -1;
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", peer.port(), &s), 0);
    const long before = vc::hooks::liveAllocations();
    std::vector<char> reply(32);  // exact size: a write past it is caught by ASan
    EXPECT_EQ(kor_telnetCommand(s, "cat big", reply.data(), 32, "*$ "), TELNET_REPLY_FULL);
    EXPECT_EQ(std::string(reply.data()), std::string(31, 'z'));
    EXPECT_EQ(vc::hooks::liveAllocations(), before);
    kor_telnetClose(s);
}

TEST(TelnetCommand, ConnectionEndsFirstOrLineCannotBeSent) {
    ScriptedPeer peer([](PeerConn& c) {
        ASSERT_TRUE(c.waitFor("x\r\n"));
        c.send("partial");
    });
    int s = -1;
    ASSERT_EQ(kor_startTCPConnect("127.0.0.1", peer.port(), &s), 0);
    std::vector<char> reply(64);
    EXPECT_EQ(kor_telnetCommand(s, "x", reply.data(), 64, "*$ "), -1);
    EXPECT_STREQ(reply.data(), "partial");
    kor_telnetClose(s);
    // A closed socket: the line cannot be sent.
    EXPECT_EQ(kor_telnetCommand(s, "x", reply.data(), 64, "*"), -2);
    EXPECT_EQ(kor_telnetClose(s), -1);
}

// ---------------------------------------------------------------- real server

// inetutils telnetd under socat with the test account, started by the peer
// script of the black-box tests (tests/peers/telnetd_peer.py).
class RealTelnetServer {
public:
    static constexpr const char* ACCOUNT = "kortel";  // as in telnetd_peer.py
    static constexpr const char* PASSWORD = "Kor-tel-42";

    explicit RealTelnetServer(bool busybox = false) {
        std::string script = __FILE__;
        script = script.substr(0, script.rfind("/unit/")) + "/peers/telnetd_peer.py";
        const std::string cmd = "/usr/bin/python3 " + script + " --host 127.0.0.1" +
                                (busybox ? " --busybox" : "");
        pipe_ = ::popen(cmd.c_str(), "r");
        char line[128] = {};
        if (pipe_ != nullptr && std::fgets(line, sizeof line, pipe_) != nullptr) {
            unavailable_ = std::string(line).rfind("unavailable", 0) == 0;
            std::sscanf(line, "ready %hu %d", &port_, &pid_);
        }
        if (!unavailable_ && port_ == 0) ADD_FAILURE() << "telnet server did not start: " << line;
    }
    bool unavailable() const { return unavailable_; }
    ~RealTelnetServer() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        if (pipe_ != nullptr) ::pclose(pipe_);
    }
    unsigned short port() const { return port_; }

private:
    FILE* pipe_ = nullptr;
    bool unavailable_ = false;
    unsigned short port_ = 0;
    int pid_ = -1;
};

TEST(TelnetRealServer, InetutilsLogInCommandAndWrongPassword) {
    if (::geteuid() != 0 || ::access("/usr/sbin/telnetd", X_OK) != 0) {
        GTEST_SKIP() << "needs root (test account) and inetutils telnetd";
    }
    RealTelnetServer server;
    ASSERT_NE(server.port(), 0);
    int s = -1;
    ASSERT_EQ(kor_telnetConnect("127.0.0.1", server.port(), RealTelnetServer::ACCOUNT,
                                RealTelnetServer::PASSWORD, "$ ", &s),
              0);
    std::vector<char> reply(4096);
    EXPECT_EQ(kor_telnetCommand(s, "echo hel''lo", reply.data(), 4096, "*hello\r\n*$ "), 0);
    EXPECT_EQ(kor_telnetClose(s), 0);

    EXPECT_EQ(kor_telnetConnect("127.0.0.1", server.port(), RealTelnetServer::ACCOUNT, "wrong",
                                "$ ", &s),
              -1);
}

TEST(TelnetRealServer, BusyboxLogInAndCommand) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (test account)";
    RealTelnetServer server(true);
    if (server.unavailable()) GTEST_SKIP() << "busybox with telnetd not installed";
    int s = -1;
    ASSERT_EQ(kor_telnetConnect("127.0.0.1", server.port(), RealTelnetServer::ACCOUNT,
                                RealTelnetServer::PASSWORD, "$ ", &s),
              0);
    std::vector<char> reply(4096);
    EXPECT_EQ(kor_telnetCommand(s, "echo hel''lo", reply.data(), 4096, "*hello\r\n*$ "), 0);
    kor_telnetClose(s);
}

}  // namespace

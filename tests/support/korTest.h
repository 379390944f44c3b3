// What every unit test program shares: the leak-checked base fixture, bounded
// waits, free loopback ports, scratch directories and the peer processes of
// tests/peers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ctlTestHooks.h"
#include "korObserve.h"
#include "vc.h"

extern char** environ;

namespace kortest {

using namespace std::chrono_literals;

// Polls pred every `step` until it holds or the limit has passed.
template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 5000ms,
             std::chrono::milliseconds step = 1ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// A port that is free on `address` right now (bound once and released).
inline int freePort(const std::string& address, int type = SOCK_STREAM) {
    const int s = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// The ctlMalloc leak check of every test: the main of every unit test program
// (korTestMain.cpp) starts it when a test starts and ends it when the test has
// ended, so each test must give back every block it took. Armed failures are
// cleared at both points.
class LeakCheck {
public:
    // Whether a test starts the core's journal, console and capture rings,
    // which then live as long as the process; the platform's own test program
    // clears it before any test runs.
    static inline bool startsCore = true;

    static void start() {
        vc::hooks::reset();
        // The journal's, console's and capture's rings and locks live as long
        // as the process (the platform's own tests run without them).
        if (startsCore) kor_observeStart();
        blocksAtStart_ = vc::hooks::liveAllocations();
    }
    // Nothing is compared when the check was not started (or ended already).
    static void end() {
        vc::hooks::reset();
        if (blocksAtStart_ < 0) return;
        EXPECT_EQ(vc::hooks::liveAllocations(), blocksAtStart_)
            << "ctlMalloc blocks left allocated by the test";
        blocksAtStart_ = -1;
    }
    static void handOver() { blocksAtStart_ = -1; }

private:
    static inline long blocksAtStart_ = -1;
};

// A fixture whose set-up leaves things that outlive the test (a fresh channel
// table) derives from this one: it calls SetUp once those are in place, which
// starts the check anew, and releases what it owns in its TearDown before
// calling this one's, which ends it. Set-up that fails before SetUp checks
// nothing.
class LeakCheckedTest : public ::testing::Test {
protected:
    LeakCheckedTest() { LeakCheck::handOver(); }
    void SetUp() override { LeakCheck::start(); }
    void TearDown() override { LeakCheck::end(); }
};

// Settings of a virtual controller for one test program: state file and job
// directory under /tmp/<name>-<pid>, no FTP server, and a loopback address
// 127.<addressBase + pid % 100>.<pid / 100 % 250 + 1>.1 of its own, so that
// programs running at once do not meet.
inline vc::Settings ownController(const std::string& name, int addressBase,
                                  std::filesystem::path* dir) {
    const unsigned pid = static_cast<unsigned>(::getpid());
    *dir = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(pid));
    // One left by an earlier process that had this pid (a test that crashed,
    // or a cross-built run, whose state file has the other byte order) is stale.
    std::filesystem::remove_all(*dir);
    std::filesystem::create_directories(*dir / "jobs");
    vc::Settings s;
    s.statePath = (*dir / "test.state").string();
    s.jobsDir = (*dir / "jobs").string();
    s.ftpServer = "off";
    s.address = "127." + std::to_string(addressBase + pid % 100) + "." +
                std::to_string(pid / 100 % 250 + 1) + ".1";
    return s;
}

// How often `what` occurs in text (overlapping occurrences count).
inline int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A scratch directory, removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const char* prefix = "kor") {
        std::string name = std::string("/tmp/") + prefix + "-XXXXXX";
        if (::mkdtemp(name.data()) != nullptr) path_ = name;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string peersDir() {
    return (std::filesystem::path(__FILE__).parent_path().parent_path() / "peers").string();
}

// A script of tests/peers run with Debian's python3. It prints "ready <port>"
// (in any case) once it listens; the constructor waits for that line (at most
// 10 s). Killed at destruction.
class PeerProcess {
public:
    PeerProcess(const std::string& script, const std::vector<std::string>& args) {
        std::vector<std::string> words{"/usr/bin/python3", peersDir() + "/" + script};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        port_ = readReadyLine(out[0]);
        ::close(out[0]);
    }
    ~PeerProcess() { stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // The port it listens on, 0 when it did not start.
    int port() const { return port_; }

private:
    static int readReadyLine(int fd) {
        std::string line;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) return 0;
            char c;
            if (::read(fd, &c, 1) != 1) return 0;
            if (c == '\n') break;
            line += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        int port = 0;
        return std::sscanf(line.c_str(), "ready %d", &port) == 1 ? port : 0;
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

// Two linked ptys made by socat, reached through the links a and b (at most
// 10 s to appear). socat ends at stop() or with the object.
class PtyPair {
public:
    PtyPair(std::string a, std::string b) : a_(std::move(a)), b_(std::move(b)) {
        const std::string left = "pty,raw,echo=0,link=" + a_, right = "pty,raw,echo=0,link=" + b_;
        const char* argv[] = {"socat", left.c_str(), right.c_str(), nullptr};
        if (::posix_spawnp(&pid_, "socat", nullptr, nullptr, const_cast<char**>(argv), environ) !=
            0) {
            pid_ = -1;
            return;
        }
        struct stat st;
        ready_ =
            waitFor([&] { return ::stat(a_.c_str(), &st) == 0 && ::stat(b_.c_str(), &st) == 0; },
                    10000ms, 10ms);
    }
    ~PtyPair() { stop(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ready() const { return ready_; }
    const std::string& a() const { return a_; }
    const std::string& b() const { return b_; }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string a_, b_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace kortest

// Helpers shared by the fuzz targets: a virtual controller state in a scratch
// directory, loopback connections made with the controller's socket calls,
// and a peer that plays a server's side of one connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "vc.h"
#include "vcState.h"

namespace fuzzsupport {

// A peer inside the process: the reader's socket is served from memory (see
// vc::hooks::memorySocket): it reads as the peer's bytes, then as closed, so a
// reader runs through them without the network and without waiting. What the
// reader sends is dropped.
class BufferedPeer {
public:
    explicit BufferedPeer(const std::string& bytes)
        : socket_(vc::hooks::memorySocket(bytes.data(), bytes.size())) {
        if (socket_ < 0) {
            std::perror("memory socket");
            std::abort();
        }
    }
    ~BufferedPeer() {
        if (!taken_) ctlClose(socket_);
    }
    BufferedPeer(const BufferedPeer&) = delete;
    BufferedPeer& operator=(const BufferedPeer&) = delete;
    // The reader's socket; the caller closes it from now on.
    int take() {
        taken_ = true;
        return socket_;
    }

private:
    int socket_;
    bool taken_ = false;
};

// Opens a fresh state file (variables, I/O, robot) in a scratch directory that
// is removed when the program ends. Call once, from the fuzzer's set-up.
inline vc::Settings openScratchState(vc::Settings settings = {}) {
    static std::string dir;
    char tmpl[] = "/tmp/arvokor-fuzz-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    dir = tmpl;
    std::atexit([] { std::filesystem::remove_all(dir); });
    settings.statePath = dir + "/fuzz.state";
    settings.jobsDir = dir + "/jobs";
    std::filesystem::create_directories(settings.jobsDir);
    vc::useSettings(settings);
    std::string error;
    if (vc::openState(settings, &error) != 0) {
        std::fprintf(stderr, "state file: %s\n", error.c_str());
        std::abort();
    }
    return settings;
}

inline CtlSockAddr loopbackAddr(std::uint16_t port) {
    CtlSockAddrIn in{};
    in.len = sizeof in;
    in.family = CTL_AF_INET;
    in.port = ctlHtons(port);
    in.addr = ctlInetAddr("127.0.0.1");
    CtlSockAddr out;
    std::memcpy(&out, &in, sizeof out);
    return out;
}

// A TCP connection on loopback whose both ends are controller sockets. Made
// once and kept: `near` is the end the code under test uses, `far` the peer.
struct SocketPair {
    int near = -1;
    int far = -1;
};

inline SocketPair makeSocketPair() {
    SocketPair pair;
    const int listener = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    CtlSockAddr addr = loopbackAddr(0);
    int len = sizeof addr;
    if (listener < 0 || ctlBind(listener, &addr, sizeof addr) != 0 || ctlListen(listener, 1) != 0 ||
        ctlGetsockname(listener, &addr, &len) != 0) {
        std::perror("loopback listener");
        std::abort();
    }
    pair.near = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    if (pair.near < 0 || ctlConnect(pair.near, &addr, sizeof addr) != 0) {
        std::perror("loopback connect");
        std::abort();
    }
    pair.far = ctlAccept(listener, nullptr, nullptr);
    if (pair.far < 0) {
        std::perror("loopback accept");
        std::abort();
    }
    ctlClose(listener);
    return pair;
}

// Everything that has arrived on a controller socket by now (no waiting
// beyond a short grace for bytes still in flight on loopback).
inline std::string drain(int socket) {
    std::string got;
    for (;;) {
        CtlFdSet set;
        ctlFdZero(&set);
        ctlFdSet(socket, &set);
        CtlTimeval wait{0, got.empty() ? 0 : 1000};
        if (ctlSelect(socket + 1, &set, nullptr, nullptr, &wait) <= 0) return got;
        char buf[4096];
        const int n = ctlRecv(socket, buf, sizeof buf, 0);
        if (n <= 0) return got;
        got.append(buf, static_cast<std::size_t>(n));
    }
}

// A listening socket on a loopback port (plain Linux socket: the peer side is
// not part of the controller).
class PeerListener {
public:
    PeerListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::perror("peer listener");
            std::abort();
        }
        port_ = ntohs(a.sin_port);
    }
    ~PeerListener() { ::close(fd_); }
    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// How a scripted peer paces its chunks.
enum class Pace {
    Free,     // all at once
    Prompts,  // as a log-in server: after each of the first two chunks that end
              // in ": " (user name and password prompts), wait for the client's line
    Lines,    // as a command server: before every chunk but the first, wait for
              // one line from the client
};

// Serves one connection on `listener` in a thread: sends the chunks in order
// (one send each, paced as asked; a wait for the client gives up after 20 ms),
// ends its side, then reads and drops whatever the client sends until the
// client closes. join() waits for all of that.
class ScriptedPeer {
public:
    ScriptedPeer(const PeerListener& listener, std::vector<std::string> chunks,
                 Pace pace = Pace::Free)
        : thread_([fd = listener.fd(), chunks = std::move(chunks), pace] {
              const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
              if (c < 0) return;
              int prompts = pace == Pace::Prompts ? 2 : 0;
              for (std::size_t k = 0; k < chunks.size(); ++k) {
                  const std::string& chunk = chunks[k];
                  if (pace == Pace::Lines && k > 0) awaitLine(c);
                  if (::send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
                  if (prompts > 0 && chunk.size() >= 2 &&
                      chunk.compare(chunk.size() - 2, 2, ": ") == 0) {
                      --prompts;
                      awaitLine(c);
                  }
              }
              ::shutdown(c, SHUT_WR);
              char sink[4096];
              while (::recv(c, sink, sizeof sink, 0) > 0) {
              }
              ::close(c);
          }) {}
    void join() { thread_.join(); }

private:
    static void awaitLine(int c) {
        timeval limit{0, 20000};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char b;
        while (::recv(c, &b, 1, 0) == 1 && b != '\n') {
        }
        timeval none{0, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    }
    std::thread thread_;
};

}  // namespace fuzzsupport

// Loopback peers for the channel tests, on the host's own sockets.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "korTest.h"

namespace chantest {

inline sockaddr_in loopback(const char* ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

inline int boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A descriptor closed at the end of the scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A TCP listener on ip and an ephemeral port.
inline int listenOn(const char* ip, int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(ip, 0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::listen(fd, 8);
    *port = boundPort(fd);
    return fd;
}

// A TCP connection from the loopback address `from` to ip:port; -1 on failure.
inline int connectFrom(const char* from, const char* ip, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in src = loopback(from, 0);
    const sockaddr_in dst = loopback(ip, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&dst), sizeof dst) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline int udpOn(const char* ip, int* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = loopback(ip, 0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    *port = boundPort(fd);
    return fd;
}

// A port on ip that nobody listens on (just released).
inline int unusedPort(const char* ip) { return kortest::freePort(ip); }

// Reads what arrives within ms milliseconds (up to max bytes); stops early
// when the peer closes. closed is set when it did.
inline std::string readFor(int fd, int ms, std::size_t max = 65536, bool* closed = nullptr) {
    std::string got;
    if (closed) *closed = false;
    while (got.size() < max) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) break;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

inline bool sendAll(int fd, const std::string& s) {
    return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

}  // namespace chantest

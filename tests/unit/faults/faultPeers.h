// Peers of the fault tests on loopback: a TCP server whose connections are
// each served by a function in a thread of their own (echo, a telnet log-in,
// a mail server, a Modbus device), and a UDP echo.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace faults {

// One accepted connection as a peer sees it. Every wait ends after a bounded
// time or when the server stops.
class PeerConnection {
public:
    explicit PeerConnection(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    bool send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    // Some bytes (empty: closed, failed or nothing within the wait).
    std::string receive(int waitMs = 10000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) return {};
        char buf[2048];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    // One line ending in LF (without it); false when the client went away.
    bool line(std::string* out) {
        for (;;) {
            const auto nl = pending_.find('\n');
            if (nl != std::string::npos) {
                *out = pending_.substr(0, nl);
                if (!out->empty() && out->back() == '\r') out->pop_back();
                pending_.erase(0, nl + 1);
                return true;
            }
            const std::string more = receive();
            if (more.empty()) return false;
            pending_ += more;
        }
    }
    // Exactly n bytes; false when the client went away first.
    bool exactly(std::size_t n, std::string* out) {
        while (pending_.size() < n) {
            const std::string more = receive();
            if (more.empty()) return false;
            pending_ += more;
        }
        *out = pending_.substr(0, n);
        pending_.erase(0, n);
        return true;
    }

private:
    int fd_;
    std::string pending_;
};

class TcpPeer {
public:
    using Serve = std::function<void(PeerConnection&)>;

    explicit TcpPeer(Serve serve, const std::string& host = "127.0.0.1")
        : serve_(std::move(serve)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("peer listener");
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~TcpPeer() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        {
            std::lock_guard guard(lock_);
            for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& c : clients_) c.thread.join();
        ::close(listener_);
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }

private:
    void acceptLoop() {
        for (;;) {
            const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (stopping_) return;
                continue;
            }
            ++accepted_;
            std::lock_guard guard(lock_);
            joinFinishedClients();
            open_.push_back(c);
            Client& client = clients_.emplace_back();
            client.thread = std::thread([this, c, &client] {
                PeerConnection conn(c);
                serve_(conn);
                {
                    std::lock_guard g(lock_);
                    open_.remove(c);
                    ::close(c);
                }
                client.done = true;
            });
        }
    }

    // Threads of closed connections go as new ones come: a sweep of hundreds
    // of connections would otherwise keep every stack until the end (too many
    // for a 32-bit address space). Called with lock_ held.
    void joinFinishedClients() {
        clients_.remove_if([](Client& c) {
            if (!c.done) return false;
            c.thread.join();
            return true;
        });
    }

    struct Client {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    Serve serve_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::mutex lock_;
    std::list<int> open_;
    std::list<Client> clients_;
};

// Sends back what arrives until the client goes away.
inline void echo(PeerConnection& c) {
    for (std::string got; !(got = c.receive()).empty();) c.send(got);
}

// A telnet server's log-in: an option request, the two prompts, the shell prompt.
inline void telnetLogin(PeerConnection& c) {
    std::string line;
    if (!c.send("\xff\xfd\x01\xff\xfb\x03Welcome\r\nlogin: ") || !c.line(&line)) return;
    if (!c.send("Password: ") || !c.line(&line)) return;
    if (!c.send("Last login: today\r\n$ ")) return;
    echo(c);
}

// A mail server that accepts AUTH LOGIN and one mail.
inline void mailServer(PeerConnection& c) {
    std::string line;
    int authStep = 0;
    if (!c.send("220 mail.test ESMTP\r\n")) return;
    while (c.line(&line)) {
        const std::string verb = line.substr(0, 4);
        if (verb == "EHLO") c.send("250-mail.test\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n");
        else if (line == "AUTH LOGIN") c.send("334 VXNlcm5hbWU6\r\n");
        else if (verb == "MAIL" || verb == "RCPT") c.send("250 OK\r\n");
        else if (verb == "DATA") {
            c.send("354 go ahead\r\n");
            while (c.line(&line) && line != ".") {
            }
            c.send("250 queued\r\n");
        } else if (verb == "QUIT") {
            c.send("221 bye\r\n");
            return;
        } else if (line.rfind("AUTH PLAIN", 0) == 0) c.send("235 ok\r\n");
        else c.send(++authStep == 1 ? "334 UGFzc3dvcmQ6\r\n" : "235 ok\r\n");
    }
}

// A Modbus device: every request of function code 1..4 gets two registers
// (0x0102, 0x0304); writes are answered with their own first 12 bytes.
inline void modbusDevice(PeerConnection& c) {
    std::string head;
    while (c.exactly(7, &head)) {
        const int length = (static_cast<unsigned char>(head[4]) << 8) |
                           static_cast<unsigned char>(head[5]);
        std::string pdu;
        if (length < 1 || !c.exactly(static_cast<std::size_t>(length - 1), &pdu)) return;
        const int function = static_cast<unsigned char>(pdu[0]);
        if (function >= 1 && function <= 4)
            c.send(std::string("\x00\x01\x00\x00\x00\x07\x01", 7) + static_cast<char>(function) +
                   std::string("\x04\x01\x02\x03\x04", 5));
        else c.send((head + pdu).substr(0, 12));
    }
}

// An FTP server for the job transfers: log-in, passive data connections on
// `host`, RETR of a small job file, STOR (read and dropped), and a plain
// positive answer to everything else.
inline void ftpServer(PeerConnection& c, const std::string& host) {
    std::string line;
    int data = -1;
    auto closeData = [&] {
        if (data != -1) ::close(data);
        data = -1;
    };
    // The data connection of the pending PASV, or -1 when none comes in time.
    auto acceptData = [&]() -> int {
        if (data == -1) return -1;
        pollfd p{data, POLLIN, 0};
        const int d = ::poll(&p, 1, 1000) > 0 ? ::accept4(data, nullptr, nullptr, SOCK_CLOEXEC)
                                              : -1;
        closeData();
        return d;
    };
    if (!c.send("220 jobs FTP\r\n")) return;
    while (c.line(&line)) {
        const std::string verb = line.substr(0, line.find(' '));
        if (verb == "USER") c.send("331 password\r\n");
        else if (verb == "PASS") c.send("230 in\r\n");
        else if (verb == "QUIT") {
            c.send("221 bye\r\n");
            break;
        } else if (verb == "PASV") {
            closeData();
            data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
            socklen_t len = sizeof a;
            ::bind(data, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::listen(data, 1);
            ::getsockname(data, reinterpret_cast<sockaddr*>(&a), &len);
            const std::uint32_t ip = ntohl(a.sin_addr.s_addr);
            const int port = ntohs(a.sin_port);
            c.send("227 Entering Passive Mode (" + std::to_string(ip >> 24) + "," +
                   std::to_string(ip >> 16 & 255) + "," + std::to_string(ip >> 8 & 255) + "," +
                   std::to_string(ip & 255) + "," + std::to_string(port >> 8) + "," +
                   std::to_string(port & 255) + ")\r\n");
        } else if (verb == "RETR" || verb == "STOR") {
            c.send("150 data\r\n");
            const int d = acceptData();
            if (d == -1) {
                c.send("425 no data connection\r\n");
                continue;
            }
            if (verb == "RETR") {
                const std::string job = "/JOB\r\n//NAME A\r\nNOP\r\nEND\r\n";
                ::send(d, job.data(), job.size(), MSG_NOSIGNAL);
            } else {
                char sink[4096];
                pollfd p{d, POLLIN, 0};
                while (::poll(&p, 1, 5000) > 0 && ::recv(d, sink, sizeof sink, 0) > 0) {
                }
            }
            ::close(d);
            c.send("226 done\r\n");
        } else if (verb == "CWD" || verb == "RNTO" || verb == "DELE") c.send("250 ok\r\n");
        else if (verb == "RNFR") c.send("350 ready\r\n");
        else c.send("200 ok\r\n");
    }
    closeData();
}

// A UDP socket on loopback that collects datagrams.
class UdpSink {
public:
    UdpSink() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("udp sink");
        port_ = ntohs(a.sin_port);
    }
    ~UdpSink() { ::close(fd_); }
    UdpSink(const UdpSink&) = delete;
    UdpSink& operator=(const UdpSink&) = delete;
    int port() const { return port_; }
    // Datagrams that have arrived by now (taken).
    int take() {
        int n = 0;
        char buf[256];
        while (::recv(fd_, buf, sizeof buf, 0) >= 0) ++n;
        return n;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace faults

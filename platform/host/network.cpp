// Network identity and time of the virtual controller: interface addresses and
// host name from the settings, a real ICMP echo for ping, the real-time clock
// and perror on the console.
#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "taskInternal.h"
#include "vc.h"

namespace {

using vc::task::Clock;
using vc::task::Deadline;

constexpr auto kReplyWait = std::chrono::seconds(1);  // per echo request
constexpr std::size_t kPayload = 56;

struct EchoPacket {
    std::uint8_t type;
    std::uint8_t code;
    std::uint16_t checksum;
    std::uint16_t id;
    std::uint16_t sequence;
    std::uint8_t payload[kPayload];
};

std::uint16_t internetChecksum(const void* data, std::size_t len) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) {
        std::uint16_t word;
        std::memcpy(&word, bytes + i, 2);
        sum += word;
    }
    if (len % 2) sum += bytes[len - 1];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// An ICMP socket: raw when permitted (root), else the unprivileged datagram
// kind where the system allows it. `raw` tells which (replies then carry the
// IP header, and the echo id is ours).
int openIcmpSocket(bool* raw) {
    int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd >= 0) {
        *raw = true;
        icmp_filter filter{~(1u << ICMP_ECHOREPLY)};  // pass echo replies only
        ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
        return fd;
    }
    int rawErrno = errno;
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd >= 0) {
        *raw = false;
        return fd;
    }
    errno = rawErrno;
    return -1;
}

// Reads what arrived and tells whether it is the reply to (id, sequence) from target.
bool readReply(int fd, bool raw, in_addr_t target, std::uint16_t id, std::uint16_t sequence) {
    std::uint8_t buf[1500];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n <= 0 || from.sin_addr.s_addr != target) return false;
    std::size_t offset = raw ? static_cast<std::size_t>(buf[0] & 0x0f) * 4 : 0;
    if (static_cast<std::size_t>(n) < offset + 8) return false;
    EchoPacket reply;
    std::memcpy(&reply, buf + offset, 8);
    if (reply.type != ICMP_ECHOREPLY || reply.sequence != htons(sequence)) return false;
    return !raw || reply.id == htons(id);  // the datagram kind assigns its own id
}

// One echo request and up to a second's wait for its reply.
bool echo(int fd, bool raw, const sockaddr_in& target, std::uint16_t id, std::uint16_t sequence) {
    EchoPacket packet{};
    packet.type = ICMP_ECHO;
    packet.id = htons(id);
    packet.sequence = htons(sequence);
    for (std::size_t i = 0; i < kPayload; ++i) packet.payload[i] = static_cast<std::uint8_t>(i);
    packet.checksum = internetChecksum(&packet, sizeof packet);
    if (::sendto(fd, &packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&target),
                 sizeof target) < 0)
        return false;
    Deadline deadline = Deadline::after(kReplyWait);
    while (vc::task::pollOne(fd, POLLIN, deadline) > 0)
        if (readReply(fd, raw, target.sin_addr.s_addr, id, sequence)) return true;
    return false;
}

bool parseIPv4(const std::string& text, in_addr_t* out) {
    in_addr a;
    if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *out = a.s_addr;
    return true;
}

}  // namespace

namespace vx {

int ifAddrGet(const char* ifName, char* addrText) {
    if (vc::hooks::shouldFail(vc::hooks::Site::IfAddr)) return -1;
    if (!ifName || !addrText) {
        errno = EINVAL;
        return -1;
    }
    const vc::Settings& s = vc::settings();
    const std::string* address = nullptr;
    if (std::strcmp(ifName, "gei1") == 0) address = &s.address;
    if (std::strcmp(ifName, "motetsec0") == 0 && !s.altAddress.empty()) address = &s.altAddress;
    if (!address || address->size() > 15) {
        errno = ENXIO;
        return -1;
    }
    std::snprintf(addrText, 18, "%s", address->c_str());
    return 0;
}

// Sends numPackets echo requests (at least one), one a second, each answered
// or given up after a second. No name look-up: the host is dotted text.
// Options (such as quiet output) do not apply: nothing is printed.
int ping(const char* host, int numPackets, std::uint32_t /*options*/) {
    vc::task::checkDeleted();
    in_addr_t target;
    if (!host || !parseIPv4(host, &target)) {
        errno = EINVAL;
        return -1;
    }
    bool raw = false;
    int fd = openIcmpSocket(&raw);
    if (fd < 0) return -1;
    // Replies go back to the controller's own address, as from any of its sockets.
    in_addr_t own;
    if (parseIPv4(vc::settings().address, &own)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = own;
        // Unbound, the echo still goes out, from the host's own address.
        [[maybe_unused]] const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&local),
                                                  sizeof local);
    }
    static std::atomic<std::uint16_t> nextId{static_cast<std::uint16_t>(::getpid())};
    const std::uint16_t id = nextId.fetch_add(1);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = target;

    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }  // also when the task is deleted while waiting
    } closer{fd};
    bool answered = false;
    const int count = numPackets < 1 ? 1 : numPackets;
    for (int i = 0; i < count; ++i) {
        Clock::time_point sentAt = Clock::now();
        if (echo(fd, raw, to, id, static_cast<std::uint16_t>(i))) answered = true;
        if (i + 1 < count) vc::task::pollWait(nullptr, 0, Deadline::at(sentAt + kReplyWait));
    }
    if (!answered) errno = ETIMEDOUT;
    return answered ? 0 : -1;
}

int gethostname(char* name, int nameLen) {
    const std::string& host = vc::settings().hostname;
    if (!name || nameLen <= 0 || host.size() + 1 > static_cast<std::size_t>(nameLen)) {
        errno = name && nameLen > 0 ? ENAMETOOLONG : EINVAL;
        return -1;
    }
    std::memcpy(name, host.c_str(), host.size() + 1);
    return 0;
}

std::int64_t time() {
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) return -1;
    return static_cast<std::int64_t>(now) + vc::hooks::calendarOffset();
}

int clock_gettime(int clockId, Timespec* ts) {
    if (!ts || (clockId != 0 && clockId != 1)) {
        errno = EINVAL;
        return -1;
    }
    timespec now;
    if (::clock_gettime(clockId == 0 ? CLOCK_REALTIME : CLOCK_MONOTONIC, &now) != 0) return -1;
    ts->tv_sec = now.tv_sec + (clockId == 0 ? vc::hooks::calendarOffset() : 0);
    ts->tv_nsec = static_cast<std::int32_t>(now.tv_nsec);
    return 0;
}

void perror(const char* text, const char* detail) {
    int err = errno;
    std::string line = text && *text ? std::string(text) + ": " : std::string();
    char buf[128];
    line += ::strerror_r(err, buf, sizeof buf);  // the thread-safe (GNU) form
    if (detail && *detail) line += std::string(" (") + detail + ")";
    line += '\n';
    // The console is standard output: one stdio call keeps the line whole
    // among concurrent tasks and in order with what printf wrote before it.
    std::fwrite(line.data(), 1, line.size(), stdout);
    errno = err;
}

}  // namespace vx

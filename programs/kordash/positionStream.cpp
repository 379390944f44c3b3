#include "positionStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kordash {
namespace {

constexpr std::size_t kRecordSize = 32;
// A pause this long starts a new stream: sequence numbers start again at 0.
constexpr auto kRestartPause = std::chrono::seconds(1);
constexpr auto kRateSlot = std::chrono::milliseconds(100);

std::int32_t be32(const unsigned char* p) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 24 |
                                     static_cast<std::uint32_t>(p[1]) << 16 |
                                     static_cast<std::uint32_t>(p[2]) << 8 | p[3]);
}

}  // namespace

bool decodePositionRecord(const unsigned char* data, std::size_t size, PositionRecord* out) {
    if (size != kRecordSize) return false;
    out->seq = data[0];
    out->io = data[1];
    out->figure = data[2] << 8 | data[3];
    for (std::size_t k = 0; k < out->values.size(); ++k) out->values[k] = be32(data + 4 + 4 * k);
    return true;
}

void StreamTally::add(const PositionRecord& rec, Clock::time_point at) {
    bool restart = datagrams_ == 0 || at - lastAt_ > kRestartPause;
    // A repeated number is not a loss (the header datagram reads as number 0).
    if (!restart && rec.seq != last_.seq)
        gaps_ += static_cast<std::uint64_t>((rec.seq - last_.seq - 1) & 0xff);
    if (rateMarks_.empty() || at - rateMarks_.back().first >= kRateSlot)
        rateMarks_.emplace_back(at, datagrams_);
    ++datagrams_;
    last_ = rec;
    lastAt_ = at;
    if (points_.empty() || at - points_.back().at >= kPointInterval) {
        points_.push_back({at, rec.values[0], rec.values[1], rec.values[2]});
        ++plotted_;
    } else {
        points_.back() = {points_.back().at, rec.values[0], rec.values[1], rec.values[2]};
    }
    while (!points_.empty() && at - points_.front().at > kWindow) points_.pop_front();
    while (rateMarks_.size() > 1 && at - rateMarks_[1].first >= std::chrono::seconds(1))
        rateMarks_.pop_front();
}

nlohmann::json StreamTally::toJson(Clock::time_point now) const {
    using std::chrono::duration;
    double rate = 0;
    if (datagrams_ && now - lastAt_ < std::chrono::seconds(1) && !rateMarks_.empty()) {
        double span = duration<double>(now - rateMarks_.front().first).count();
        if (span > 0.05)
            rate = static_cast<double>(datagrams_ - rateMarks_.front().second) /
                   std::max(span, 1.0);
    }
    nlohmann::json xs = nlohmann::json::array(), ys = xs, zs = xs, ts = xs;
    for (const Point& p : points_) {
        double age = -duration<double>(now - p.at).count();
        if (age < -duration<double>(kWindow).count()) continue;
        ts.push_back(static_cast<double>(static_cast<long>(age * 1000)) / 1000);
        xs.push_back(p.x);
        ys.push_back(p.y);
        zs.push_back(p.z);
    }
    nlohmann::json last = nullptr;
    if (datagrams_)
        last = {{"seq", last_.seq},
                {"io", last_.io},
                {"figure", last_.figure},
                {"values", last_.values},
                {"ageSeconds", duration<double>(now - lastAt_).count()}};
    return {{"datagrams", datagrams_},
            {"gaps", gaps_},
            {"plotted", plotted_},
            {"rate", rate},
            {"t", ts},
            {"x", xs},
            {"y", ys},
            {"z", zs},
            {"last", last}};
}

PositionStream::~PositionStream() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        // An eventfd write of 1 cannot fail short of an overflow after 2^64 stops.
        [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (stopFd_ >= 0) close(stopFd_);
    if (fd_ >= 0) close(fd_);
}

bool PositionStream::open(const std::string& host, int port, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        *error = "'" + host + "' is not a dotted IPv4 address";
        return false;
    }
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int big = 1 << 20;  // a 1 kHz stream must survive a busy moment of this process
    if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot receive the position stream on " + host + ":" + std::to_string(port) +
                 ": " + std::generic_category().message(errno);
        return false;
    }
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) {
        *error = "cannot make the position stream's stop event: " +
                 std::generic_category().message(errno);
        return false;
    }
    port_ = port;
    return true;
}

void PositionStream::start() {
    thread_ = std::thread([this] { run(); });
}

void PositionStream::run() {
    for (;;) {
        std::array<pollfd, 2> p{{{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}}};
        if (poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents != 0) return;
        if (p[0].revents == 0) continue;
        unsigned char buf[64];
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        PositionRecord rec;
        if (n <= 0 || !decodePositionRecord(buf, static_cast<std::size_t>(n), &rec)) continue;
        std::lock_guard lock(mutex_);
        tally_.add(rec, StreamTally::Clock::now());
    }
}

nlohmann::json PositionStream::snapshot() const {
    std::lock_guard lock(mutex_);
    nlohmann::json j = tally_.toJson(StreamTally::Clock::now());
    j["port"] = port_;
    return j;
}

}  // namespace kordash

// Receives the controller's position datagrams (32 bytes each, one per clock
// tick) and keeps what the page plots: every datagram is counted, but only
// the last one of each display interval becomes a point, so a 1 kHz stream
// costs the browser no more than a slow one.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace kordash {

struct PositionRecord {
    int seq = 0, io = 0, figure = 0;
    std::array<std::int32_t, 7> values{};
};
// Big-endian 32-byte record; false for any other size.
bool decodePositionRecord(const unsigned char* data, std::size_t size, PositionRecord* out);

// Counting and decimation, without the socket (so it can be fed directly).
class StreamTally {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kPointInterval = std::chrono::milliseconds(20);
    static constexpr auto kWindow = std::chrono::seconds(10);

    void add(const PositionRecord& rec, Clock::time_point at);
    nlohmann::json toJson(Clock::time_point now) const;

private:
    struct Point {
        Clock::time_point at;
        std::int32_t x, y, z;
    };
    std::uint64_t datagrams_ = 0, gaps_ = 0, plotted_ = 0;
    PositionRecord last_;
    Clock::time_point lastAt_{};
    std::deque<Point> points_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> rateMarks_;
};

class PositionStream {
public:
    ~PositionStream();
    // Binds a UDP socket to host:port; false with *error.
    bool open(const std::string& host, int port, std::string* error);
    void start();
    nlohmann::json snapshot() const;

private:
    void run();
    int fd_ = -1;
    // Readable once the destructor asks the thread to end: the thread sleeps
    // on it and the socket alone, with no periodic wake.
    int stopFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    StreamTally tally_;
};

}  // namespace kordash

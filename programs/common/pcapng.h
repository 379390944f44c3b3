// Captured channel traffic (the ":capture read" reply) and its saving as a
// pcapng file for a protocol analyser. TCP and UDP conversations become IPv4
// packets with their real addresses and ports (TCP with a synthesized
// three-way handshake and consistent sequence numbers); serial traffic
// becomes one packet per chunk, marked inbound or outbound, for the plain
// data dissector.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kor::pcap {

struct CaptureRecord {
    std::uint64_t timeUs = 0;  // calendar time, µs since 1970
    char kind = 'R';           // 'R' received, 'S' sent, 'O' opened (data: the endpoints)
    bool cut = false;          // the chunk was longer than the ring could keep
    int conn = 0;              // the connection (its socket) within the stream
    std::string data;
};

struct CaptureStream {
    std::string name;  // "1".."19", "ftp", "smtp"
    bool on = false;
    std::uint64_t dropped = 0;  // bytes that made room for newer ones
    std::vector<CaptureRecord> records;
};

// False when the body is not a capture reply.
bool decodeCapture(const std::string& body, CaptureStream* out);

// A record of a capture reply in place: its data a view into the reply.
struct CaptureRecordView {
    std::uint64_t timeUs = 0;
    char kind = 'R';
    bool cut = false;
    int conn = 0;
    std::string_view data;
};
// The reply's head into *head (no records) and each record to visit, oldest
// first, without copying; false when the body is not a capture reply.
bool walkCapture(const std::string& body, CaptureStream* head,
                 const std::function<void(const CaptureRecordView&)>& visit);

// The pcapng file of one capture reply (records in time order), made piece
// by piece as it is read: the whole file is never held.
class PcapngStream {
public:
    explicit PcapngStream(std::string body);
    ~PcapngStream();
    PcapngStream(const PcapngStream&) = delete;
    PcapngStream& operator=(const PcapngStream&) = delete;
    // False when the body is not a capture reply.
    bool open();
    // Up to max bytes of the file into buf; 0 at its end.
    std::size_t read(char* buf, std::size_t max);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The pcapng file of the streams; *packets receives the number of packets.
std::string buildPcapng(std::vector<CaptureStream> streams, int* packets);

}  // namespace kor::pcap

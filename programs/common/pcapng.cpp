// pcapng from captured chunks. What is synthesized: the IPv4 and TCP/UDP
// headers (TTL 64, no options, window 65535, checksums computed), a TCP
// handshake before a connection's first chunk (each of its packets says so
// in a comment), sequence numbers counted from the chunks kept; no
// retransmissions, no segmentation as on the wire (a chunk is one packet, or
// several of at most 16000 bytes), no closing handshake. A connection whose
// opening the ring overwrote lost its oldest chunks: its sequence numbers jump
// after the handshake by the bytes overwritten, so that an analyser reports
// the segments not captured, and its first packet says so in a comment.
#include "pcapng.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "korCaptureRecord.h"

namespace kor::pcap {
namespace {

constexpr std::uint16_t kLinkIpv4 = 228;
constexpr std::uint16_t kLinkUpperPdu = 252;
constexpr std::size_t kMaxSegment = 16000;
constexpr std::uint8_t kSyn = 0x02, kAck = 0x10, kPsh = 0x08;

void put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v >> 16));
    put16(out, static_cast<std::uint16_t>(v));
}
// pcapng blocks are written in the host's (little-endian) order, as the
// section header's byte-order magic says.
void le16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v);
    out += static_cast<char>(v >> 8);
}
void le32(std::string& out, std::uint32_t v) {
    le16(out, static_cast<std::uint16_t>(v));
    le16(out, static_cast<std::uint16_t>(v >> 16));
}
void pad4(std::string& out) {
    while (out.size() % 4 != 0) out += '\0';
}

std::uint16_t checksum(const std::string& bytes, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum += (static_cast<unsigned char>(bytes[i]) << 8) |
               static_cast<unsigned char>(bytes[i + 1]);
    if (bytes.size() % 2 != 0) sum += static_cast<unsigned char>(bytes.back()) << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::uint32_t addressOf(const std::string& text) {
    std::uint32_t a = 0;
    std::istringstream in(text);
    for (int i = 0; i < 4; ++i) {
        unsigned part = 0;
        char dot = 0;
        in >> part;
        if (i < 3) in >> dot;
        a = (a << 8) | (part & 0xff);
    }
    return a;
}

struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

struct Conversation {
    bool udp = false;
    bool serial = false;
    Endpoint local, remote;
    std::uint32_t localSeq = 1000, remoteSeq = 50000;
    bool started = false;
    std::uint64_t lost = 0;  // bytes of the stream overwritten before this one's first chunk
};

struct Packet {
    std::uint64_t timeUs;
    std::uint32_t interface;
    bool outbound;
    std::string data;
    std::string comment;  // none when empty
};

std::string ipv4(const Endpoint& from, const Endpoint& to, std::uint8_t protocol,
                 const std::string& transport) {
    std::string ip;
    ip += '\x45';
    ip += '\0';
    put16(ip, static_cast<std::uint16_t>(20 + transport.size()));
    put16(ip, 0);       // identification
    put16(ip, 0x4000);  // don't fragment
    ip += '\x40';       // TTL 64
    ip += static_cast<char>(protocol);
    put16(ip, 0);
    put32(ip, from.address);
    put32(ip, to.address);
    const std::uint16_t sum = checksum(ip);
    ip[10] = static_cast<char>(sum >> 8);
    ip[11] = static_cast<char>(sum);
    return ip + transport;
}

std::uint32_t pseudoSum(const Endpoint& from, const Endpoint& to, std::uint8_t protocol,
                        std::size_t length) {
    return (from.address >> 16) + (from.address & 0xffff) + (to.address >> 16) +
           (to.address & 0xffff) + protocol + static_cast<std::uint32_t>(length);
}

std::string tcpPacket(const Endpoint& from, const Endpoint& to, std::uint32_t seq,
                      std::uint32_t ack, std::uint8_t flags, const std::string& payload) {
    std::string tcp;
    put16(tcp, from.port);
    put16(tcp, to.port);
    put32(tcp, seq);
    put32(tcp, ack);
    tcp += '\x50';  // 20-byte header
    tcp += static_cast<char>(flags);
    put16(tcp, 65535);
    put16(tcp, 0);
    put16(tcp, 0);
    tcp += payload;
    const std::uint16_t sum = checksum(tcp, pseudoSum(from, to, 6, tcp.size()));
    tcp[16] = static_cast<char>(sum >> 8);
    tcp[17] = static_cast<char>(sum);
    return ipv4(from, to, 6, tcp);
}

std::string udpPacket(const Endpoint& from, const Endpoint& to, const std::string& payload) {
    std::string udp;
    put16(udp, from.port);
    put16(udp, to.port);
    put16(udp, static_cast<std::uint16_t>(8 + payload.size()));
    put16(udp, 0);
    udp += payload;
    std::uint16_t sum = checksum(udp, pseudoSum(from, to, 17, udp.size()));
    if (sum == 0) sum = 0xffff;
    udp[6] = static_cast<char>(sum >> 8);
    udp[7] = static_cast<char>(sum);
    return ipv4(from, to, 17, udp);
}

// Serial bytes for the upper-PDU link type: the "data" dissector shows them.
std::string serialPacket(const std::string& payload) {
    std::string out;
    put16(out, 12);  // protocol name
    put16(out, 4);
    out += "data";
    put16(out, 0);  // end of tags
    put16(out, 0);
    return out + payload;
}

Conversation conversationOf(const std::string& endpoints) {
    Conversation c;
    std::istringstream in(endpoints);
    std::string proto, local, remote;
    unsigned localPort = 0, remotePort = 0;
    in >> proto >> local >> localPort >> remote >> remotePort;
    c.serial = proto == "serial";
    c.udp = proto == "udp";
    c.local = {addressOf(local), static_cast<std::uint16_t>(localPort)};
    c.remote = {addressOf(remote), static_cast<std::uint16_t>(remotePort)};
    return c;
}

constexpr const char* kMadeUp = "handshake synthesized by the capture, not captured";

void handshake(Conversation& c, std::uint64_t t, std::vector<Packet>& out) {
    out.push_back({t, 0, true, tcpPacket(c.local, c.remote, c.localSeq, 0, kSyn, ""), kMadeUp});
    out.push_back({t, 0, false,
                   tcpPacket(c.remote, c.local, c.remoteSeq, c.localSeq + 1, kSyn | kAck, ""),
                   kMadeUp});
    ++c.localSeq;
    ++c.remoteSeq;
    out.push_back(
        {t, 0, true, tcpPacket(c.local, c.remote, c.localSeq, c.remoteSeq, kAck, ""), kMadeUp});
    c.started = true;
    // Which side the lost bytes were on is not known: both jump.
    c.localSeq += static_cast<std::uint32_t>(c.lost);
    c.remoteSeq += static_cast<std::uint32_t>(c.lost);
}

std::string lossComment(std::uint64_t lost) {
    return "capture ring overflowed: the stream's oldest " + std::to_string(lost) +
           " bytes were overwritten, this connection's first chunks among them";
}

void chunkPackets(Conversation& c, const CaptureRecord& r, std::vector<Packet>& out) {
    const bool sent = r.kind == KOR_CAPTURE_SENT;
    if (c.serial) {
        out.push_back({r.timeUs, 1, sent, serialPacket(r.data), {}});
        return;
    }
    const Endpoint& from = sent ? c.local : c.remote;
    const Endpoint& to = sent ? c.remote : c.local;
    const std::size_t first = out.size() + (c.udp || c.started ? 0 : 3);  // after a handshake
    for (std::size_t at = 0; at < r.data.size(); at += kMaxSegment) {
        const std::string piece = r.data.substr(at, kMaxSegment);
        if (c.udp) {
            out.push_back({r.timeUs, 0, sent, udpPacket(from, to, piece), {}});
            continue;
        }
        if (!c.started) handshake(c, r.timeUs, out);
        std::uint32_t& seq = sent ? c.localSeq : c.remoteSeq;
        const std::uint32_t ack = sent ? c.remoteSeq : c.localSeq;
        out.push_back({r.timeUs, 0, sent, tcpPacket(from, to, seq, ack, kPsh | kAck, piece), {}});
        seq += static_cast<std::uint32_t>(piece.size());
    }
    if (c.lost > 0 && out.size() > first) {
        out[first].comment = lossComment(c.lost);
        c.lost = 0;
    }
}

// A connection's 'O' record: the reply names the last connections' endpoints
// before the ring's records, so a connection seen first there, in a stream
// that overwrote bytes, lost its opening (the ring's own 'O' record, when
// kept, comes again and starts it afresh).
void opened(std::map<int, Conversation>& conversations, const CaptureRecord& r,
            std::uint64_t dropped) {
    const bool again = conversations.count(r.conn) != 0;
    Conversation c = conversationOf(r.data);
    c.lost = again ? 0 : dropped;
    conversations[r.conn] = c;
}

void streamPackets(const CaptureStream& s, std::vector<Packet>& out) {
    std::map<int, Conversation> conversations;
    for (const CaptureRecord& r : s.records) {
        if (r.kind == KOR_CAPTURE_OPENED) {
            opened(conversations, r, s.dropped);
            continue;
        }
        auto it = conversations.find(r.conn);
        if (it == conversations.end()) continue;  // its endpoints are unknown
        chunkPackets(it->second, r, out);
    }
}

void block(std::string& file, std::uint32_t type, const std::string& body) {
    const auto length = static_cast<std::uint32_t>(12 + body.size());
    le32(file, type);
    le32(file, length);
    file += body;
    le32(file, length);
}

std::string sectionHeader() {
    std::string b;
    le32(b, 0x1A2B3C4D);
    le16(b, 1);
    le16(b, 0);
    le32(b, 0xffffffff);  // section length unknown
    le32(b, 0xffffffff);
    return b;
}

std::string interfaceDescription(std::uint16_t link) {
    std::string b;
    le16(b, link);
    le16(b, 0);
    le32(b, 262144);  // snap length
    return b;
}

std::string enhancedPacket(const Packet& p) {
    std::string b;
    le32(b, p.interface);
    le32(b, static_cast<std::uint32_t>(p.timeUs >> 32));
    le32(b, static_cast<std::uint32_t>(p.timeUs));
    le32(b, static_cast<std::uint32_t>(p.data.size()));
    le32(b, static_cast<std::uint32_t>(p.data.size()));
    b += p.data;
    pad4(b);
    le16(b, 2);  // epb_flags: the direction
    le16(b, 4);
    le32(b, p.outbound ? 2u : 1u);
    if (!p.comment.empty()) {
        le16(b, 1);  // opt_comment
        le16(b, static_cast<std::uint16_t>(p.comment.size()));
        b += p.comment;
        pad4(b);
    }
    le32(b, 0);  // end of options
    return b;
}

// The record at offset at of a capture reply into *r (its data a view into
// body) and the offset of the next one into *next; false when the body ends
// within the record.
bool recordAt(std::string_view body, std::size_t at, CaptureRecordView* r, std::size_t* next) {
    if (at > body.size() || body.size() - at < KOR_CAPTURE_HEADER) return false;
    const KorCaptureHeader h = korCaptureHeaderOf(body.data() + at);
    const auto length = static_cast<std::size_t>(h.length);
    if (body.size() - at - KOR_CAPTURE_HEADER < length) return false;
    r->timeUs = h.timeUs;
    r->kind = h.kind;
    r->cut = h.cut;
    r->conn = h.conn;
    r->data = body.substr(at + KOR_CAPTURE_HEADER, length);
    *next = at + KOR_CAPTURE_HEADER + length;
    return true;
}

}  // namespace

bool walkCapture(const std::string& body, CaptureStream* head,
                 const std::function<void(const CaptureRecordView&)>& visit) {
    const std::size_t lf = body.find('\n');
    if (lf == std::string::npos) return false;
    std::istringstream line(body.substr(0, lf));
    std::string tag, state;
    if (!(line >> tag >> head->name >> state >> head->dropped) || tag != "capture") return false;
    head->on = state == "on";
    head->records.clear();
    for (std::size_t at = lf + 1; at < body.size();) {
        CaptureRecordView r;
        if (!recordAt(body, at, &r, &at)) return false;
        visit(r);
    }
    return true;
}

bool decodeCapture(const std::string& body, CaptureStream* out) {
    std::vector<CaptureRecord> records;
    const bool ok = walkCapture(body, out, [&](const CaptureRecordView& v) {
        records.push_back({v.timeUs, v.kind, v.cut, v.conn, std::string(v.data)});
    });
    out->records = std::move(records);
    return ok;
}

struct PcapngStream::State {
    std::string body, pending;
    std::size_t at = 0, sent = 0;
    std::uint64_t dropped = 0;
    std::map<int, Conversation> conversations;

    // The blocks of the next record into pending; false at the end.
    bool more() {
        CaptureRecordView v;
        if (!recordAt(body, at, &v, &at)) return false;
        const CaptureRecord r{v.timeUs, v.kind, v.cut, v.conn, std::string(v.data)};
        if (r.kind == KOR_CAPTURE_OPENED) {
            opened(conversations, r, dropped);
            return true;
        }
        auto it = conversations.find(r.conn);
        if (it == conversations.end()) return true;  // its endpoints are unknown
        std::vector<Packet> packets;
        chunkPackets(it->second, r, packets);
        for (const Packet& p : packets) block(pending, 6, enhancedPacket(p));
        return true;
    }
};

PcapngStream::PcapngStream(std::string body) : state_(std::make_unique<State>()) {
    state_->body = std::move(body);
}

PcapngStream::~PcapngStream() = default;

bool PcapngStream::open() {
    CaptureStream head;
    if (!walkCapture(state_->body, &head, [](const CaptureRecordView&) {})) return false;
    state_->dropped = head.dropped;
    state_->at = state_->body.find('\n') + 1;
    block(state_->pending, 0x0A0D0D0A, sectionHeader());
    block(state_->pending, 1, interfaceDescription(kLinkIpv4));
    block(state_->pending, 1, interfaceDescription(kLinkUpperPdu));
    return true;
}

std::size_t PcapngStream::read(char* buf, std::size_t max) {
    State& st = *state_;
    while (st.sent >= st.pending.size()) {
        st.pending.clear();
        st.sent = 0;
        if (!st.more()) return 0;
    }
    const std::size_t n = std::min(max, st.pending.size() - st.sent);
    std::copy_n(st.pending.data() + st.sent, n, buf);
    st.sent += n;
    return n;
}

std::string buildPcapng(std::vector<CaptureStream> streams, int* packets) {
    // Each stage lets go of what the next one no longer needs: a capture of
    // many small chunks is several times its ring's size at every stage.
    std::vector<Packet> all;
    for (CaptureStream& s : streams) {
        streamPackets(s, all);
        std::vector<CaptureRecord>().swap(s.records);
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const Packet& a, const Packet& b) { return a.timeUs < b.timeUs; });
    std::size_t size = 256;
    for (const Packet& p : all)
        size += p.data.size() + p.comment.size() + 7 + 44;  // padded, with its block and options
    std::string file;
    file.reserve(size);
    block(file, 0x0A0D0D0A, sectionHeader());
    block(file, 1, interfaceDescription(kLinkIpv4));
    block(file, 1, interfaceDescription(kLinkUpperPdu));
    for (Packet& p : all) {
        block(file, 6, enhancedPacket(p));
        std::string().swap(p.data);
    }
    *packets = static_cast<int>(all.size());
    return file;
}

}  // namespace kor::pcap

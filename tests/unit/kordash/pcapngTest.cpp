// The pcapng writer behind `koradmin capture save` and kordash's download: a
// ":capture read" reply as the controller lays it out, decoded and written,
// then read back block by block.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "korCaptureRecord.h"
#include "pcapng.h"

namespace {

std::string record(char kind, int conn, std::uint64_t timeUs, const std::string& data) {
    KorCaptureHeader h;
    h.timeUs = timeUs;
    h.kind = kind;
    h.conn = conn;
    h.length = static_cast<int>(data.size());
    char header[KOR_CAPTURE_HEADER];
    korPutCaptureHeader(header, h);
    return std::string(header, sizeof header) + data;
}

std::uint32_t le32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
std::uint32_t be32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

struct Epb {
    std::uint32_t interface;
    std::uint64_t timeUs;
    bool outbound;
    std::string packet;
    std::string comment;
};

// The blocks' types in order, and every enhanced packet block.
std::vector<std::uint32_t> blocks(const std::string& file, std::vector<Epb>* packets) {
    std::vector<std::uint32_t> types;
    for (std::size_t at = 0; at + 12 <= file.size();) {
        const std::uint32_t type = le32(file, at), length = le32(file, at + 4);
        EXPECT_EQ(le32(file, at + length - 4), length) << "block " << types.size();
        types.push_back(type);
        if (type == 6) {
            const std::size_t body = at + 8;
            const std::uint32_t captured = le32(file, body + 12);
            const std::size_t options = body + 20 + (captured + 3) / 4 * 4;
            EXPECT_EQ(le32(file, options), 0x00040002u);  // epb_flags, 4 bytes
            std::string comment;
            if ((le32(file, options + 8) & 0xffff) == 1)  // opt_comment
                comment = file.substr(options + 12, le32(file, options + 8) >> 16);
            packets->push_back({le32(file, body),
                                (std::uint64_t{le32(file, body + 4)} << 32) | le32(file, body + 8),
                                le32(file, options + 4) == 2, file.substr(body + 20, captured),
                                comment});
        }
        at += length;
    }
    return types;
}

TEST(Pcapng, ACaptureReplyBecomesATcpConversationWithItsHandshake) {
    const std::string body = "capture 3 on 0\n" +
                             record(KOR_CAPTURE_OPENED, 7, 1000, "tcp 10.0.0.1 5000 10.0.0.2 502") +
                             record(KOR_CAPTURE_SENT, 7, 2000, "abc") +
                             record(KOR_CAPTURE_RECEIVED, 7, 3000, "hello") +
                             record(KOR_CAPTURE_RECEIVED, 9, 4000, "of a connection not seen");
    kor::pcap::CaptureStream stream;
    ASSERT_TRUE(kor::pcap::decodeCapture(body, &stream));
    EXPECT_EQ((std::vector{stream.name, std::string(stream.on ? "on" : "off")}),
              (std::vector<std::string>{"3", "on"}));
    ASSERT_EQ(stream.records.size(), 4u);
    EXPECT_EQ(stream.records[2].data, "hello");
    EXPECT_FALSE(kor::pcap::decodeCapture(body.substr(0, body.size() - 1), &stream));

    int count = 0;
    const std::string file = kor::pcap::buildPcapng({stream}, &count);
    std::vector<Epb> packets;
    EXPECT_EQ(blocks(file, &packets),
              (std::vector<std::uint32_t>{0x0A0D0D0A, 1, 1, 6, 6, 6, 6, 6}));
    ASSERT_EQ(count, 5);
    ASSERT_EQ(packets.size(), 5u);
    // SYN, SYN-ACK, ACK, the sent chunk, the received one: direction, TCP
    // sequence and acknowledgement numbers, flags and payload.
    struct Expected {
        bool outbound;
        std::uint32_t seq, ack;
        std::uint8_t flags;
        std::string payload;
    } expected[] = {{true, 1000, 0, 0x02, ""},
                    {false, 50000, 1001, 0x12, ""},
                    {true, 1001, 50001, 0x10, ""},
                    {true, 1001, 50001, 0x18, "abc"},
                    {false, 50001, 1004, 0x18, "hello"}};
    for (int k = 0; k < 5; ++k) {
        const Epb& p = packets[static_cast<std::size_t>(k)];
        const Expected& e = expected[k];
        EXPECT_EQ(p.interface, 0u) << k;
        EXPECT_EQ(p.outbound, e.outbound) << k;
        EXPECT_EQ(be32(p.packet, 12), e.outbound ? 0x0A000001u : 0x0A000002u) << k;  // source
        EXPECT_EQ(be32(p.packet, 20 + 4), e.seq) << k;
        EXPECT_EQ(be32(p.packet, 20 + 8), e.ack) << k;
        EXPECT_EQ(static_cast<std::uint8_t>(p.packet[20 + 13]), e.flags) << k;
        EXPECT_EQ(p.packet.substr(40), e.payload) << k;
    }
    EXPECT_EQ(packets[3].timeUs, 2000u);
    EXPECT_EQ(packets[4].timeUs, 3000u);
    EXPECT_EQ(packets[0].comment, "handshake synthesized by the capture, not captured");
    EXPECT_EQ(packets[2].comment, packets[0].comment);
    EXPECT_EQ(packets[3].comment + packets[4].comment, "");
}

// An overflowed ring: connection 7 is known only from the endpoints the reply
// names first (its opening was overwritten), 9 also from its own 'O' record.
// 7's sequence numbers jump after the handshake, so that an analyser sees the
// segments not captured; 9 lost nothing. The file read piece by piece is the
// same as the one built at once.
TEST(Pcapng, AnOverflowedRingShowsItsLossAsASequenceGap) {
    const std::string body = "capture 3 on 40\n" +
                             record(KOR_CAPTURE_OPENED, 7, 1000, "tcp 10.0.0.1 5000 10.0.0.2 502") +
                             record(KOR_CAPTURE_OPENED, 9, 1000, "tcp 10.0.0.1 5001 10.0.0.2 502") +
                             record(KOR_CAPTURE_OPENED, 9, 1500, "tcp 10.0.0.1 5001 10.0.0.2 502") +
                             record(KOR_CAPTURE_RECEIVED, 7, 2000, "def") +
                             record(KOR_CAPTURE_SENT, 9, 3000, "xy");
    kor::pcap::CaptureStream stream;
    ASSERT_TRUE(kor::pcap::decodeCapture(body, &stream));
    int count = 0;
    const std::string file = kor::pcap::buildPcapng({stream}, &count);
    std::vector<Epb> packets;
    blocks(file, &packets);
    ASSERT_EQ(packets.size(), 8u);
    const Epb& lost = packets[3];
    EXPECT_EQ(lost.packet.substr(40), "def");
    EXPECT_EQ((std::vector{be32(lost.packet, 24), be32(lost.packet, 28)}),
              (std::vector<std::uint32_t>{50001 + 40, 1001 + 40}));
    EXPECT_NE(lost.comment.find("oldest 40 bytes were overwritten"), std::string::npos);
    const Epb& kept = packets[7];
    EXPECT_EQ(kept.packet.substr(40), "xy");
    EXPECT_EQ((std::vector{be32(kept.packet, 24), be32(kept.packet, 28)}),
              (std::vector<std::uint32_t>{1001, 50001}));
    EXPECT_EQ(kept.comment, "");

    kor::pcap::PcapngStream piecewise(body);
    ASSERT_TRUE(piecewise.open());
    std::string read;
    char buf[7];
    for (std::size_t n; (n = piecewise.read(buf, sizeof buf)) > 0;) read.append(buf, n);
    EXPECT_EQ(read, file);
}

}  // namespace

// The layout of one record of a capture ring and of the ":capture read" reply:
// a 16-byte header (time in µs since 1970, 8 bytes big-endian; the kind; 1
// when the chunk was cut; the connection, 2 bytes: its socket; the data
// length, 4 bytes big-endian), then the data. The one owner of it: the core
// writes it, the tools (koradmin, kordash) read it, including this alone.
#pragma once

#include <cstdint>

inline constexpr int KOR_CAPTURE_HEADER = 16;
inline constexpr char KOR_CAPTURE_RECEIVED = 'R';
inline constexpr char KOR_CAPTURE_SENT = 'S';
inline constexpr char KOR_CAPTURE_OPENED = 'O';  // data: the endpoints as text

struct KorCaptureHeader {
    std::uint64_t timeUs = 0;
    char kind = KOR_CAPTURE_RECEIVED;
    bool cut = false;
    int conn = 0;    // 0..65535
    int length = 0;  // of the data that follows
};

inline void korPutCaptureHeader(char* out, const KorCaptureHeader& h) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(h.timeUs >> (56 - 8 * i));
    out[8] = h.kind;
    out[9] = h.cut ? 1 : 0;
    out[10] = static_cast<char>(h.conn >> 8);
    out[11] = static_cast<char>(h.conn);
    for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<char>(h.length >> (24 - 8 * i));
}

inline KorCaptureHeader korCaptureHeaderOf(const char* in) {
    const auto* b = reinterpret_cast<const unsigned char*>(in);
    KorCaptureHeader h;
    for (int i = 0; i < 8; ++i) h.timeUs = (h.timeUs << 8) | b[i];
    h.kind = static_cast<char>(b[8]);
    h.cut = b[9] != 0;
    h.conn = (b[10] << 8) | b[11];
    h.length = static_cast<int>((std::uint32_t{b[12]} << 24) | (std::uint32_t{b[13]} << 16) |
                                (std::uint32_t{b[14]} << 8) | b[15]);
    return h;
}

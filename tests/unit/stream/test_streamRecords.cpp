// The records of the position stream, the I/O delay of mode 1 and the speed
// register values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "posStream.h"

namespace {

std::uint32_t be32(const KorStreamRecord& r, int at) {
    return (std::uint32_t{r[at]} << 24) | (std::uint32_t{r[at + 1]} << 16) |
           (std::uint32_t{r[at + 2]} << 8) | r[at + 3];
}

TEST(StreamRecord, HeaderCarriesSixValuesBetweenZeroWords) {
    const std::int32_t header[6] = {1, -2, 0x01020304, 0, 5, 6};
    const KorStreamRecord r = korStreamHeaderRecord(header);
    EXPECT_EQ(be32(r, 0), 0u);
    EXPECT_EQ(be32(r, 4), 1u);
    EXPECT_EQ(be32(r, 8), 0xfffffffeu);
    EXPECT_EQ(r[12], 1);
    EXPECT_EQ(r[15], 4);
    EXPECT_EQ(be32(r, 24), 6u);
    EXPECT_EQ(be32(r, 28), 0u);
    EXPECT_TRUE(korStreamHeaderSet(header));
    const std::int32_t zero[6] = {};
    EXPECT_FALSE(korStreamHeaderSet(zero));
    const std::int32_t last[6] = {0, 0, 0, 0, 0, -1};
    EXPECT_TRUE(korStreamHeaderSet(last));
}

TEST(StreamRecord, PositionRecordCarriesSevenValuesAndTheFigure) {
    CtlCartPos pos{};
    for (int k = 0; k < 12; ++k) pos.value[k] = (k + 1) * 1000 * (k % 2 ? -1 : 1);
    pos.figure = 0xbeef;
    const KorStreamRecord r = korStreamPositionRecord(200, 0x5a, pos);
    EXPECT_EQ(r[0], 200);
    EXPECT_EQ(r[1], 0x5a);
    EXPECT_EQ(r[2], 0xbe);
    EXPECT_EQ(r[3], 0xef);
    for (int k = 0; k < 7; ++k)
        EXPECT_EQ(static_cast<std::int32_t>(be32(r, 4 + 4 * k)), pos.value[k]) << "value " << k;
}

TEST(StreamRecord, RegisterRecordPairsLowAndHighRegisters) {
    std::uint16_t regs[KOR_STREAM_REGISTERS];
    for (int i = 0; i < KOR_STREAM_REGISTERS; ++i) regs[i] = static_cast<std::uint16_t>(0x100 + i);
    regs[10] = 0xffff;
    regs[11] = 0xffff;
    const KorStreamRecord r = korStreamRegisterRecord(7, 3, regs);
    EXPECT_EQ(r[0], 7);
    EXPECT_EQ(r[1], 3);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[3], 0);
    EXPECT_EQ(be32(r, 4), 0x01010100u) << "register 501 high, 500 low";
    EXPECT_EQ(be32(r, 8), 0x01030102u);
    EXPECT_EQ(be32(r, 24), 0xffffffffu);
    EXPECT_EQ(be32(r, 28), 0u);
}

// Feeds ticks 1, 2, 3 ... and returns what comes out (-1: nothing sent).
std::vector<int> delayed(int delay, int ticks) {
    KorIoDelay d(delay);
    std::vector<int> out;
    for (int t = 1; t <= ticks; ++t) {
        std::uint8_t io = 0;
        out.push_back(d.tick(static_cast<std::uint8_t>(t), &io) ? io : -1);
    }
    return out;
}

TEST(StreamIoDelay, DelayedValuesAndSilentStart) {
    EXPECT_EQ(delayed(3, 7), (std::vector<int>{-1, -1, -1, 1, 2, 3, 4}));
    EXPECT_EQ(delayed(0, 3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(delayed(1, 3), (std::vector<int>{-1, 1, 2}));
    const std::vector<int> longest = delayed(50, 22);  // cut to 20
    EXPECT_EQ(longest[19], -1);
    EXPECT_EQ(longest[20], 1);
    EXPECT_EQ(delayed(-4, 2), (std::vector<int>{1, 2}));
}

TEST(StreamSpeed, MagnitudeSplitIntoLowAndHighRegisters) {
    const std::int32_t speeds[CTL_SERVO_AXES] = {-70000, 70000, 0,         65535,
                                                 65536,  -1,    INT32_MIN, INT32_MAX};
    const auto regs = korSpeedRegisterValues(speeds, true);
    EXPECT_EQ(regs[0], 4464);
    EXPECT_EQ(regs[1], 1);
    EXPECT_EQ(regs[2], 4464);
    EXPECT_EQ(regs[3], 1);
    EXPECT_EQ(regs[4], 0);
    EXPECT_EQ(regs[6], 65535);
    EXPECT_EQ(regs[7], 0);
    EXPECT_EQ(regs[8], 0);
    EXPECT_EQ(regs[9], 1);
    EXPECT_EQ(regs[10], 1);
    EXPECT_EQ(regs[12], 0);
    EXPECT_EQ(regs[13], 0x8000);
    EXPECT_EQ(regs[14], 0xffff);
    EXPECT_EQ(regs[15], 0x7fff);
    const auto failed = korSpeedRegisterValues(speeds, false);
    for (auto v : failed) EXPECT_EQ(v, 0);
}

}  // namespace

// The variable and I/O access layer against the virtual controller.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <numeric>

#include "../frame/vcFixture.h"
#include "funclib.h"

namespace {

class Funclib : public VirtualControllerTest {
protected:
    void configure(vc::Settings& s) override { s.bCount = 65536; }  // every 16-bit index
    std::int32_t d(int index) { return vc::StateFile::Access(*job)->d[index]; }
    std::uint16_t reg(int n) { return vc::StateFile::Access(*job)->reg[n]; }
};

TEST_F(Funclib, BlocksWrapAndAreRefusedBeyondTheirRequestArray) {
    const std::int32_t three[] = {1, 2, 3};
    ASSERT_EQ(SetMultiBVar(65535, three, 3), 0);
    EXPECT_EQ((std::array{b(65535), b(0), b(1)}), (std::array{1, 2, 3}));

    std::array<std::int32_t, 129> values{};
    std::iota(values.begin(), values.end(), 1);
    EXPECT_EQ(SetMultiBVar(1000, values.data(), 129), -1);
    EXPECT_EQ(b(1000), 0);  // nothing written
    ASSERT_EQ(SetMultiBVar(1000, values.data(), 128), 0);
    std::array<std::int32_t, 129> read{};
    EXPECT_EQ(GetMultiBVar(1000, read.data(), 129), -1);
    EXPECT_EQ(read[0], 0);  // nothing read
    ASSERT_EQ(GetMultiBVar(1000, read.data(), 128), 0);
    EXPECT_EQ(read[127], 128);
    EXPECT_EQ(GetMultiIVar(0, read.data(), 21), -1);
    EXPECT_EQ(GetMultiIVar(0, read.data(), 20), 0);
}

TEST_F(Funclib, DoubleBlocksAreCutTo64) {
    std::array<std::int32_t, 70> values{};
    std::iota(values.begin(), values.end(), 100000);
    EXPECT_EQ(SetMultiDVar(10, values.data(), 70), 0);
    EXPECT_EQ(d(10 + 63), 100063);
    EXPECT_EQ(d(10 + 64), 0);
    std::array<std::int32_t, 70> read{};
    read.fill(-1);
    EXPECT_EQ(ctlGetMultiDVar(10, read.data(), 70), 0);
    EXPECT_EQ(read[63], 100063);
    EXPECT_EQ(read[64], -1);
}

TEST_F(Funclib, RealsMoveByBitPattern) {
    // A signalling NaN: a conversion, or a pass through an x87 register, makes it quiet.
    constexpr std::uint32_t kSignallingNan = 0x7fa00001u;
    ASSERT_EQ(SetRVarBits(3, kSignallingNan), 0);
    float back = 0;
    ASSERT_EQ(GetRVar(3, &back), 0);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(back), kSignallingNan);
    std::uint32_t bits = 0;
    ASSERT_EQ(GetRVarBits(3, &bits), 0);
    EXPECT_EQ(bits, kSignallingNan);
    ASSERT_EQ(SetRVar(4, -2.5f), 0);
    EXPECT_TRUE(GetRVarBits(4, &bits) == 0 && bits == 0xc0200000u);

    back = 3.5f;  // a refused read reports the error and gives 0.0
    bits = 7;
    vc::hooks::failVar(false, CTL_VAR_R, 3, 4, 2);
    EXPECT_NE(GetRVar(3, &back), 0);
    EXPECT_EQ(back, 0.0f);
    EXPECT_NE(GetRVarBits(4, &bits), 0);
    EXPECT_EQ(bits, 0u);
}

TEST_F(Funclib, IoSignalsAndRegisters) {
    ASSERT_EQ(SetIo(10016, 0x12345), 0);
    std::uint16_t v = 0;
    ASSERT_EQ(ReadIO(10016, &v), 0);
    EXPECT_EQ(v, 0x2345);  // only the low 16 bits

    for (int i = 0; i < 3; ++i) ASSERT_EQ(WriteIO(CTL_REGISTER_BASE + 5 + i, 50 + i), 0);
    std::array<std::uint16_t, 21> regs{};
    ASSERT_EQ(ReadRegister(5, regs.data(), 3), 0);
    EXPECT_EQ((std::array{regs[0], regs[1], regs[2]}), (std::array<std::uint16_t, 3>{50, 51, 52}));
    EXPECT_EQ(ReadRegister(5, regs.data(), 21), -1);

    std::iota(regs.begin(), regs.end(), 1);
    EXPECT_EQ(WriteRegister(100, regs.data(), 21), -1);
    EXPECT_EQ(reg(100), 0);
    EXPECT_EQ(SetMultiIo(CTL_REGISTER_BASE + 100, regs.data(), 21), -1);
    EXPECT_EQ(reg(100), 0);
    EXPECT_EQ(SetMultiIo(CTL_REGISTER_BASE + 100, regs.data(), 20), 0);
    EXPECT_EQ(reg(119), 20);
}

}  // namespace

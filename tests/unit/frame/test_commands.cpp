// INFO, RVARTOBYTES, BYTESTORVAR and POSVARTYPE, run in the test's own task as
// a command task runs them.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "funclib.h"
#include "korCommands.h"
#include "vcFixture.h"

namespace {

constexpr int RESULT = 300;

class Commands : public VirtualControllerTest {
protected:
    // Runs a command with p3 = RESULT, preset to `preset`; returns the result.
    int run(int id, std::initializer_list<std::pair<int, int>> params, int preset = 0) {
        KorCommand cmd{id, {}};
        cmd.p[3] = RESULT;
        for (auto [index, value] : params) cmd.p[index] = value;
        setB(RESULT, preset);
        korRunCommand(cmd);
        return b(RESULT);
    }
    std::array<int, 4> four(int first) {
        return {b(first), b(first + 1), b(first + 2), b(first + 3)};
    }
};

TEST_F(Commands, Info) {
    EXPECT_EQ(run(8, {{8, 0}}), 255);
    EXPECT_EQ(run(8, {{8, 1}, {1, 400}}), 4);
    EXPECT_EQ(four(400), (std::array<int, 4>{'1', '.', '3', '2'}));
    EXPECT_EQ(run(8, {{8, 2}, {1, 400}}), 13);
    EXPECT_EQ(b(412), '!');
    EXPECT_EQ(run(8, {{8, 3}}, 77), 77);  // no result for other selectors
}

TEST_F(Commands, RealBytesInBothByteOrders) {
    ASSERT_EQ(SetRVar(5, 1.0f), 0);
    EXPECT_EQ(run(28, {{4, 5}, {5, 400}, {6, 0}}), 1);
    EXPECT_EQ(four(400), (std::array{0, 0, 128, 63}));
    EXPECT_EQ(run(28, {{4, 5}, {5, 410}, {6, 1}}), 1);
    EXPECT_EQ(four(410), (std::array{63, 128, 0, 0}));

    float back = 0;
    EXPECT_EQ(run(29, {{4, 6}, {5, 400}, {6, 0}}), 1);
    EXPECT_TRUE(GetRVar(6, &back) == 0 && back == 1.0f);
    back = 0;
    EXPECT_EQ(run(29, {{4, 7}, {5, 410}, {6, 1}}), 1);
    EXPECT_TRUE(GetRVar(7, &back) == 0 && back == 1.0f);
    for (int i = 0; i < 4; ++i) setB(420 + i, std::array{0x7f, 0xa0, 0x00, 0x01}[i]);
    EXPECT_EQ(run(29, {{4, 8}, {5, 420}, {6, 1}}), 1);  // a signalling NaN stays as it is
    std::uint32_t bits = 0;
    EXPECT_TRUE(GetRVarBits(8, &bits) == 0 && bits == 0x7fa00001u);

    vc::hooks::failVar(false, CTL_VAR_R, 5, 5);
    EXPECT_EQ(run(28, {{4, 5}, {5, 400}}), 254);
    vc::hooks::failVar(false, CTL_VAR_B, 402, 402);  // the R variable stays as it was
    EXPECT_EQ(run(29, {{4, 7}, {5, 400}, {6, 1}}), 254);
    EXPECT_TRUE(GetRVar(7, &back) == 0 && back == 1.0f);
}

TEST_F(Commands, PositionVariableType) {
    const std::pair<std::int32_t, int> cases[] = {{0, 1},  {16, 2},   {17, 3},
                                                  {18, 4}, {20, 253}, {16 | (5 << 22), 2}};
    for (auto [word0, result] : cases) {
        setP(3, word0);
        EXPECT_EQ(run(32, {{4, 3}}), result) << word0;
    }
    setP(3, 19 | (42 << 22) | (1 << 28));  // a user frame: its number next to the result
    EXPECT_EQ(run(32, {{4, 3}}), 5);
    EXPECT_EQ(b(RESULT + 1), 42);

    vc::hooks::failVar(true, CTL_VAR_B, RESULT + 1, RESULT + 1);
    EXPECT_EQ(run(32, {{4, 3}}), 254);  // the frame number did not arrive
    vc::hooks::failVar(false, CTL_VAR_P, 3, 3);
    EXPECT_EQ(run(32, {{4, 3}}), 254);
}

}  // namespace

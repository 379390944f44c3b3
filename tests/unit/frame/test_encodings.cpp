// The encodings commands share: ports, addresses, byte blocks, text fields.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "korParams.h"
#include "vcFixture.h"

namespace {

TEST(Encodings, PortsAddressesAndBlockLimit) {
    EXPECT_EQ(korDecodePort(8080), 8080u);
    EXPECT_EQ(korDecodePort(-1), 32768u);
    EXPECT_EQ(korDecodePort(-7233), 40000u);
    EXPECT_EQ(korDecodePort(-32768), 65535u);

    char text[KOR_ADDR_TEXT_SIZE];
    korFormatAddress(text, 10, 1, 2, 3);
    EXPECT_STREQ(text, "10.1.2.3");
    korFormatAddress(text, 300, 1, 2, 3);
    EXPECT_STREQ(text, "300.1.2.3");                             // passed on unchecked
    korFormatAddress(text, INT_MIN, INT_MIN, INT_MIN, INT_MIN);  // stays in the buffer
    EXPECT_EQ(std::strlen(text), std::size_t(KOR_ADDR_TEXT_SIZE - 1));

    EXPECT_TRUE(korBlockCountValid(128));
    EXPECT_FALSE(korBlockCountValid(129));
    EXPECT_FALSE(korBlockCountValid(-1));
    EXPECT_EQ(korReadByteBlock(0, 129, text), -1);  // refused before any access
}

class TextFields : public VirtualControllerTest {
protected:
    // Puts text into B 300 on; '|' stands for the field separator 13.
    int put(const std::string& text) {
        for (std::size_t i = 0; i < text.size(); ++i)
            setB(300 + int(i), text[i] == '|' ? 13 : text[i]);
        return int(text.size());
    }
    char f0[KOR_FIELD_SIZE], f1[KOR_FIELD_SIZE], f2[KOR_FIELD_SIZE];
};

TEST_F(TextFields, TwoFieldReader) {
    const int n = put("user|pw|");
    korReadTwoFields(300, n, f0, f1);
    EXPECT_STREQ(f0, "user");
    EXPECT_STREQ(f1, "pw");
    korReadTwoFields(300, 6, f0, f1);  // no final 13: the count ends the field
    EXPECT_STREQ(f1, "p");
}

TEST_F(TextFields, OverlongFieldStopsTheReading) {
    const int n = put(std::string(130, 'a') + "|pw|");
    std::memset(f1, 'x', sizeof f1);
    korReadTwoFields(300, n, f0, f1);
    EXPECT_EQ(std::string(f0), std::string(128, 'a'));
    EXPECT_STREQ(f1, "");
}

TEST_F(TextFields, ThreeFieldReaderSkipsOtherFields) {
    const int n = put("u|p|from@x|to@y|hello|extra");
    korReadThreeFields(300, n, 2, f0, f1, f2);  // the second pass of a mail
    EXPECT_STREQ(f0, "from@x");
    EXPECT_STREQ(f1, "to@y");
    EXPECT_STREQ(f2, "hello");

    vc::hooks::failVar(false, CTL_VAR_B, 302, 302);  // a failed read ends the reading
    korReadThreeFields(300, n, 0, f0, f1, f2);
    EXPECT_STREQ(f0, "u");
    EXPECT_STREQ(f1, "");
}

TEST_F(TextFields, ByteBlocksCarryAllByteValues) {
    char bytes[KOR_BLOCK_MAX], out[KOR_BLOCK_MAX + 1];
    for (int i = 0; i < KOR_BLOCK_MAX; ++i) bytes[i] = char(255 - i);
    ASSERT_EQ(korWriteBytes(500, bytes, KOR_BLOCK_MAX), 0);
    EXPECT_EQ(b(500), 255);
    ASSERT_EQ(korReadByteBlock(500, KOR_BLOCK_MAX, out), 0);
    EXPECT_EQ(std::memcmp(out, bytes, KOR_BLOCK_MAX), 0);
}

}  // namespace

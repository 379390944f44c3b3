// Modbus frames: request headers, byte order, read reply decoding and the
// pieces of write requests.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "korModbusFrame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A read reply: MBAP header, function code, byte count, data.
Bytes readReply(int functionCode, int byteCount, const Bytes& data) {
    Bytes r = {0,
               1,
               0,
               0,
               0,
               static_cast<std::uint8_t>(3 + data.size()),
               1,
               static_cast<std::uint8_t>(functionCode),
               static_cast<std::uint8_t>(byteCount)};
    for (std::uint8_t b : data) r.push_back(b);
    return r;
}

std::vector<std::int32_t> decodeValues(const Bytes& reply, int type, bool swapBytes) {
    std::array<KorModbusItem, KOR_MODBUS_MAX_ITEMS> items{};
    const int n = kor_ModBusDecodeReadReply(reply.data(), static_cast<int>(reply.size()), type,
                                            swapBytes, items.data());
    std::vector<std::int32_t> v;
    for (int i = 0; i < n; ++i) v.push_back(items[i].value);
    return v;
}

using V = std::vector<std::int32_t>;

TEST(ModbusHeader, ReadRequestIsTwelveBigEndianBytes) {
    std::array<std::uint8_t, 16> buf{};
    int length = 0;
    kor_CreateModBusReadHeader(buf.data(), &length, 1, 1, 0x1234, 0x0102, 3);
    EXPECT_EQ(length, 12);
    const Bytes expected = {0, 1, 0, 0, 0, 6, 1, 3, 0x12, 0x34, 0x01, 0x02};
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 12), expected);
}

TEST(ModbusHeader, WriteHeadersForSingleAndMultipleWrites) {
    std::array<std::uint8_t, 16> buf{};
    int length = 0;
    kor_CreateModBusWriteHeader(buf.data(), &length, 1, 1, 0x00ab, 99, 1, 6);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 10), (Bytes{0, 1, 0, 0, 0, 6, 1, 6, 0, 0xab}));
    EXPECT_EQ(buf[10], 0) << "single writes carry no quantity";

    buf = {};
    kor_CreateModBusWriteHeader(buf.data(), &length, 1, 1, 300, 10, 2, 15);
    EXPECT_EQ(length, 13);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 13),
              (Bytes{0, 1, 0, 0, 0, 9, 1, 15, 0x01, 0x2c, 0, 10, 2}));

    kor_CreateModBusWriteHeader(buf.data(), &length, 1, 1, 0, 127, 254, 16);
    EXPECT_EQ(buf[4] * 256 + buf[5], 261);
    EXPECT_EQ(buf[12], 254);
}

TEST(ModbusSwap, ReversesInPlace) {
    std::uint8_t four[] = {1, 2, 3, 4};
    swap(four, 4);
    EXPECT_EQ(Bytes(four, four + 4), (Bytes{4, 3, 2, 1}));
    std::uint8_t three[] = {1, 2, 3};
    swap(three, 3);
    EXPECT_EQ(Bytes(three, three + 3), (Bytes{3, 2, 1}));
    std::uint8_t one[] = {7};
    swap(one, 1);
    swap(one, 0);
    EXPECT_EQ(one[0], 7);
}

TEST(ModbusDecode, SixteenBitItemsBothByteOrders) {
    const Bytes reply = readReply(3, 4, {0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(decodeValues(reply, 2, false), (V{258, 772}));
    EXPECT_EQ(decodeValues(reply, 2, true), (V{513, 1027}));
    const Bytes negative = readReply(4, 4, {0xff, 0xfe, 0x80, 0x00});
    EXPECT_EQ(decodeValues(negative, 2, false), (V{65534, 32768}));
    EXPECT_EQ(decodeValues(negative, 3, false), (V{-2, -32768}));
    EXPECT_EQ(decodeValues(negative, 3, true), (V{-257, 128}));
}

TEST(ModbusDecode, ByteAndThirtyTwoBitItems) {
    const Bytes reply = readReply(3, 4, {0x01, 0x02, 0x03, 0xfe});
    EXPECT_EQ(decodeValues(reply, 0, false), (V{1, 2, 3, 254}));
    EXPECT_EQ(decodeValues(reply, 1, true), (V{1, 2, 3, -2}));
    EXPECT_EQ(decodeValues(reply, 4, false), (V{0x010203fe}));
    EXPECT_EQ(decodeValues(reply, 4, true), (V{static_cast<std::int32_t>(0xfe030201u)}));
}

TEST(ModbusDecode, RealItemsAreConvertedByValue) {
    std::array<KorModbusItem, KOR_MODBUS_MAX_ITEMS> items{};
    const Bytes reply = readReply(3, 8, {0x00, 0x00, 0x00, 0x0a, 0xff, 0xff, 0xff, 0xfe});
    ASSERT_EQ(kor_ModBusDecodeReadReply(reply.data(), static_cast<int>(reply.size()), 5, false,
                                        items.data()),
              2);
    EXPECT_FLOAT_EQ(items[0].real, 10.0f);
    EXPECT_FLOAT_EQ(items[1].real, -2.0f);
    const Bytes swapped = readReply(3, 4, {0x0a, 0x00, 0x00, 0x00});
    ASSERT_EQ(kor_ModBusDecodeReadReply(swapped.data(), static_cast<int>(swapped.size()), 5, true,
                                        items.data()),
              1);
    EXPECT_FLOAT_EQ(items[0].real, 10.0f);
}

TEST(ModbusDecode, LargeByteCountGivesOneItemPerTwoBytes) {
    Bytes data(200);
    for (int i = 0; i < 200; ++i) data[i] = static_cast<std::uint8_t>(i);
    const V values = decodeValues(readReply(3, 200, data), 2, false);
    ASSERT_EQ(values.size(), 100u);
    EXPECT_EQ(values[0], 0x0001);
    EXPECT_EQ(values[99], 198 * 256 + 199);
    EXPECT_EQ(decodeValues(readReply(1, 255, Bytes(255, 1)), 0, false).size(), 255u);
}

TEST(ModbusDecode, ItemCutShortByTheByteCountIsMinusOne) {
    std::array<KorModbusItem, KOR_MODBUS_MAX_ITEMS> items{};
    const Bytes reply = readReply(3, 6, {0, 0, 0, 7, 1, 2});
    EXPECT_EQ(decodeValues(reply, 4, false), (V{7, -1}));
    ASSERT_EQ(kor_ModBusDecodeReadReply(reply.data(), static_cast<int>(reply.size()), 5, false,
                                        items.data()),
              2);
    EXPECT_FLOAT_EQ(items[1].real, -1.0f);
    EXPECT_EQ(decodeValues(readReply(3, 3, {1, 2, 3}), 2, false), (V{258, -1}));
}

TEST(ModbusDecode, NothingComesFromBytesThatDidNotArrive) {
    // The device announces 8 bytes but only 5 arrive: a full item, then a cut one.
    EXPECT_EQ(decodeValues(readReply(3, 8, {0, 0, 0, 9, 0xaa}), 4, false), (V{9, -1}));
    EXPECT_EQ(decodeValues(readReply(3, 200, {1, 2, 3, 4}), 2, false), (V{258, 772}));
    // The byte count itself did not arrive.
    const Bytes header = {0, 1, 0, 0, 0, 3, 1, 3};
    EXPECT_TRUE(decodeValues(header, 2, false).empty());
}

TEST(ModbusDecode, ZeroByteCountAndUnknownTypeStoreNothing) {
    EXPECT_TRUE(decodeValues(readReply(3, 0, {}), 2, false).empty());
    EXPECT_TRUE(decodeValues(readReply(3, 4, {1, 2, 3, 4}), 6, false).empty());
    EXPECT_TRUE(decodeValues(readReply(3, 4, {1, 2, 3, 4}), -1, false).empty());
}

TEST(ModbusReply, FailureAndItsMessage) {
    const Bytes exception = {0, 1, 0, 0, 0, 3, 1, 0x83, 0x02};
    EXPECT_TRUE(kor_ModBusReplyFailed(exception.data(), 9));
    EXPECT_TRUE(kor_ModBusReplyFailed(exception.data(), 7));
    const Bytes ok = {0, 1, 0, 0, 0, 3, 1, 0x80, 0x00};
    EXPECT_FALSE(kor_ModBusReplyFailed(ok.data(), 8));

    testing::internal::CaptureStdout();
    kor_ModBusPrintReplyError(exception.data(), 9);
    kor_ModBusPrintReplyError(exception.data(), 8);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error 131 Exception 2\r\nError 131\r\n");
}

TEST(ModbusReply, CutRepliesAndFixedIds) {
    const KorModbusExpect fresh{5, 1, 3, 4};
    KorModbusExpect fixed = fresh;
    fixed.anyTransaction = true;
    Bytes reply = readReply(3, 4, {0, 5, 0, 6});
    reply[1] = 5;
    int length = 0;
    EXPECT_EQ(kor_ModBusFindReply(reply.data(), 13, fresh, &length), 0);
    reply[1] = 1;  // a device that always answers id 1
    EXPECT_EQ(kor_ModBusFindReply(reply.data(), 13, fresh, &length), -1);
    EXPECT_EQ(kor_ModBusFindReply(reply.data(), 13, fixed, &length), 0);
    EXPECT_EQ(length, 13);

    // Cut: all that came agrees with the reply's start, or a header of 8
    // bytes or more does at the end; a whole reply is no cut one.
    EXPECT_EQ(kor_ModBusFindCutReply(reply.data(), 3, fixed), 0);
    EXPECT_EQ(kor_ModBusFindCutReply(reply.data(), 12, fixed), 0);
    EXPECT_EQ(kor_ModBusFindCutReply(reply.data(), 13, fixed), -1);
    EXPECT_EQ(kor_ModBusFindCutReply(reply.data(), 3, fresh), -1);  // another id
    Bytes stray = {0x77, 0x77, 0, 0, 0, 7, 1, 3, 4, 0, 5, 0, 5};
    EXPECT_EQ(kor_ModBusFindCutReply(stray.data(), 13, fresh), -1)
        << "a short tail after other bytes (here 0 5, the id) is no reply";
    for (std::uint8_t b : reply) stray.push_back(b);
    stray[14] = 5;
    EXPECT_EQ(kor_ModBusFindCutReply(stray.data(), 13 + 9, fresh), 13);
    EXPECT_EQ(kor_ModBusFindCutReply(stray.data(), 13 + 7, fresh), -1);
}

TEST(ModbusWriteBody, CoilAddressesSkipEightAndNine) {
    std::array<std::uint32_t, 10> a{};
    kor_ModBusCoilAddresses(10016, 10, a.data());
    EXPECT_EQ(std::vector<std::uint32_t>(a.begin(), a.end()),
              (std::vector<std::uint32_t>{10016, 10017, 10020, 10021, 10022, 10023, 10024, 10025,
                                          10026, 10027}));
    kor_ModBusCoilAddresses(19, 3, a.data());
    EXPECT_EQ(a[0], 20u);
    EXPECT_EQ(a[2], 22u);
    kor_ModBusCoilAddresses(7, 3, a.data());
    EXPECT_EQ(a[1], 10u);
}

TEST(ModbusWriteBody, CoilsPackLeastSignificantBitFirst) {
    EXPECT_EQ(kor_ModBusCoilByteCount(8), 1);
    EXPECT_EQ(kor_ModBusCoilByteCount(10), 2);
    EXPECT_EQ(kor_ModBusCoilByteCount(128), 16);
    EXPECT_EQ(kor_ModBusCoilByteCount(0), 0);
    const std::uint16_t signals[10] = {1, 0, 0, 5, 0, 0, 0, 0xffff, 0, 1};
    std::uint8_t out[2] = {};
    kor_ModBusPackCoils(signals, 10, out);
    EXPECT_EQ(out[0], 0x89);
    EXPECT_EQ(out[1], 0x02);
}

TEST(ModbusWriteBody, RegisterValueLowSixteenBitsBigEndian) {
    std::uint8_t out[2] = {};
    kor_ModBusPutRegister(out, 0x12345678, false);
    EXPECT_EQ(out[0], 0x56);
    EXPECT_EQ(out[1], 0x78);
    kor_ModBusPutRegister(out, 0x0102, true);
    EXPECT_EQ(out[0], 0x02);
    EXPECT_EQ(out[1], 0x01);
    kor_ModBusPutRegister(out, -1, false);
    EXPECT_EQ(out[0], 0xff);
    EXPECT_EQ(out[1], 0xff);
}

}  // namespace

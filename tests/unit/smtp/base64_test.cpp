// Base64 encoder and decoder of the SMTP client.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "smtpInternal.h"

namespace {

// Encodes with the given capacity into a zeroed buffer; returns the text.
std::string encode(const std::string& in, std::size_t capacity = SMTP_BASE64_SIZE,
                   std::size_t* length = nullptr) {
    std::vector<char> out(capacity + 8, '\0');
    std::size_t len = capacity;
    Smtp_base64_encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(), out.data(),
                       &len);
    if (length) *length = len;
    return std::string(out.data());
}

struct Decoded {
    int status;
    std::size_t length;
    std::string bytes;  // what was written, up to the reported length
    bool untouched;     // the output buffer still holds only its fill
};

Decoded decode(const std::string& in, std::size_t capacity = 128) {
    std::vector<unsigned char> out(capacity + 8, 0xA5);
    std::size_t len = capacity;
    const int status = Smtp_base64_decode(in.data(), in.size(), out.data(), &len);
    Decoded d{status, len, {}, true};
    for (unsigned char c : out) d.untouched = d.untouched && c == 0xA5;
    if (status == 1) d.bytes.assign(reinterpret_cast<char*>(out.data()), len);
    return d;
}

TEST(Base64, EncodesTheStandardVectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode(std::string("\xff\xff\xff", 3)), "////");
    EXPECT_EQ(encode(std::string("\xfb\xef\xbe", 3)), "++++");
    // NUL, user, NUL (an empty password with AUTH PLAIN).
    EXPECT_EQ(encode(std::string("\0user\0", 6)), "AHVzZXIA");
}

TEST(Base64, EncodingStopsAtTheCapacity) {
    std::size_t length = 0;
    EXPECT_EQ(encode(std::string(93, 'x'), 128, &length).size(), 124u);
    EXPECT_EQ(length, 124u);
    // 94 bytes need 128 characters and a NUL: nothing is written, the needed length is reported.
    EXPECT_EQ(encode(std::string(94, 'x'), 128, &length), "");
    EXPECT_EQ(length, 128u);
    // The NUL must fit too: 3 bytes need capacity 5.
    EXPECT_EQ(encode("abc", 4, &length), "");
    EXPECT_EQ(encode("abc", 5, &length), "YWJj");
}

TEST(Base64, DecodesTheStandardVectors) {
    EXPECT_EQ(decode("Zg==").bytes, "f");
    EXPECT_EQ(decode("Zm8=").bytes, "fo");
    EXPECT_EQ(decode("Zm9v").bytes, "foo");
    EXPECT_EQ(decode("Zm9vYmFy").bytes, "foobar");
    EXPECT_EQ(decode("////").bytes, std::string("\xff\xff\xff", 3));
    const Decoded empty = decode("");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.length, 0u);
}

TEST(Base64, DecoderRefusesMalformedInputWithoutWriting) {
    for (const char* bad : {"Zm9", "Zm9vY", "Zm9v!A==", "Zm 9", "Zm9\n", "Z===", "Zm=v", "=m9v",
                            "Zg==Zg==", "Zm9v\x80\x81\x82\x83"}) {
        SCOPED_TRACE(bad);
        const Decoded d = decode(bad, 77);
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.length, 77u);  // unchanged
        EXPECT_TRUE(d.untouched);
    }
}

TEST(Base64, DecoderStopsAtTheCapacity) {
    // "Zm9vYmFy" decodes to 6 bytes; with their NUL they need capacity 7.
    Decoded d = decode("Zm9vYmFy", 6);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.length, 6u);
    EXPECT_TRUE(d.untouched);
    d = decode("Zm9vYmFy", 7);
    EXPECT_EQ(d.bytes, "foobar");
}

TEST(Base64, RoundTripOverRandomData) {
    std::mt19937 rng(20240305);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = static_cast<std::size_t>(round %
                                                       94);  // up to the largest that fits in 128
        std::string data(n, '\0');
        for (auto& c : data) c = static_cast<char>(byte(rng));

        std::size_t encodedLength = 0;
        const std::string text = encode(data, 128, &encodedLength);
        ASSERT_EQ(text.size(), encodedLength);
        ASSERT_EQ(encodedLength, 4 * ((n + 2) / 3));
        const Decoded back = decode(text, 128);
        ASSERT_EQ(back.status, 1);
        ASSERT_EQ(back.bytes, data) << "length " << n;
    }
}

}  // namespace

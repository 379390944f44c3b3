// Base64 of the mail client: arbitrary bytes survive an encode and a decode
// unchanged; arbitrary text decodes exactly as a strict reference decoder
// says (or is refused); an output buffer that is too small is refused
// without a byte written. Buffers are exactly as large as the capacity the
// call is told, so a write past it is caught.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "smtpInternal.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    const char* p = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
    return p ? static_cast<int>(p - kAlphabet) : -1;
}

// Strict decoding: whole quanta of four, '=' only as the last one or two
// characters of the text.
std::optional<std::string> referenceDecode(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t pad = 0;
    if (!text.empty() && text.back() == '=')
        pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    std::uint32_t bits = 0;
    int nbits = 0;
    for (std::size_t i = 0; i < text.size() - pad; ++i) {
        const int v = sextet(text[i]);
        if (v < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out += static_cast<char>((bits >> nbits) & 0xff);
        }
    }
    return out;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// A buffer of exactly `size` bytes (at least one, so that it has an address),
// filled with a canary.
std::unique_ptr<char[]> canaryBuffer(std::size_t size) {
    std::unique_ptr<char[]> b(new char[size ? size : 1]);
    std::memset(b.get(), '#', size ? size : 1);
    return b;
}

bool untouched(const char* b, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        if (b[i] != '#') return false;
    return true;
}

void roundTrip(const std::string& data, std::size_t slack) {
    const std::size_t encodedLength = 4 * ((data.size() + 2) / 3);
    // Too small by one or more: refused, nothing written, the need reported.
    if (slack == 0 && encodedLength > 0) {
        const std::size_t small = encodedLength;  // no room for the NUL
        auto b = canaryBuffer(small);
        std::size_t len = small;
        if (Smtp_base64_encode(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                               b.get(), &len) != 0)
            fail("encode accepted a buffer without room for the NUL");
        if (len != encodedLength || !untouched(b.get(), small))
            fail("refused encode wrote or misreported");
    }
    const std::size_t capacity = encodedLength + 1 + slack;
    auto enc = canaryBuffer(capacity);
    std::size_t len = capacity;
    if (Smtp_base64_encode(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                           enc.get(), &len) != 1 ||
        len != encodedLength)
        fail("encode refused");
    const std::string text(enc.get(), len);
    const auto expected = referenceDecode(text);
    if (!expected || *expected != data) fail("encoding is not valid base64 of the data");

    auto dec = canaryBuffer(data.size() + 1);
    std::size_t decLen = data.size() + 1;
    if (Smtp_base64_decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(dec.get()),
                           &decLen) != 1 ||
        decLen != data.size() || std::memcmp(dec.get(), data.data(), data.size()) != 0)
        fail("round trip differs");
}

void decodeText(const std::string& text, std::size_t slack) {
    const auto expected = referenceDecode(text);
    const std::size_t capacity = (expected ? expected->size() : text.size()) + slack;
    auto out = canaryBuffer(capacity);
    std::size_t len = capacity;
    const int rc = Smtp_base64_decode(text.data(), text.size(),
                                      reinterpret_cast<unsigned char*>(out.get()), &len);
    if (!expected) {
        if (rc != 0 || !untouched(out.get(), capacity)) fail("invalid text decoded");
        return;
    }
    const bool fits = expected->size() + 1 <= capacity;
    if (rc != (fits ? 1 : 0)) fail("decode verdict differs");
    if (!fits) {
        if (!untouched(out.get(), capacity)) fail("refused decode wrote");
        return;
    }
    if (len != expected->size() || std::memcmp(out.get(), expected->data(), len) != 0)
        fail("decoded bytes differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    const std::size_t slack = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    const bool asText = in.ConsumeBool();
    const std::string data = in.ConsumeRemainingBytesAsString();
    if (asText) decodeText(data, slack);
    else roundTrip(data, slack);
    return 0;
}

// Base64 of the SMTP client (standard alphabet, '=' padding, no line breaks).
#include <array>
#include <cstdint>

#include "smtpInternal.h"

const char Smtp_encoding_table[64] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K',
                                      'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V',
                                      'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f', 'g',
                                      'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r',
                                      's', 't', 'u', 'v', 'w', 'x', 'y', 'z', '0', '1', '2',
                                      '3', '4', '5', '6', '7', '8', '9', '+', '/'};

const int Smtp_mod_table[3] = {0, 2, 1};

namespace {

constexpr int kNotInAlphabet = -1;

// Character -> its 6-bit value, or kNotInAlphabet.
constexpr std::array<int, 256> makeDecodingTable() {
    std::array<int, 256> table{};
    for (auto& v : table) v = kNotInAlphabet;
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}
constexpr std::array<int, 256> kDecodingTable = makeDecodingTable();

// '=' may only end the text, once or twice.
bool isValidBase64(const char* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (c == '=') {
            const bool lastOne = i == length - 1;
            const bool lastTwo = i == length - 2 && data[length - 1] == '=';
            if (!lastOne && !lastTwo) return false;
        } else if (kDecodingTable[static_cast<unsigned char>(c)] == kNotInAlphabet) {
            return false;
        }
    }
    return true;
}

}  // namespace

int Smtp_base64_encode(const unsigned char* data, std::size_t length, char* out,
                       std::size_t* outLength) {
    const std::size_t capacity = *outLength;
    if (length > (SIZE_MAX / 4 - 1) * 3) return 0;  // the length itself would overflow
    const std::size_t encodedLength = 4 * ((length + 2) / 3);
    *outLength = encodedLength;
    if (encodedLength + 1 > capacity) return 0;

    std::size_t o = 0;
    for (std::size_t i = 0; i < length; i += 3) {
        const std::uint32_t a = data[i];
        const std::uint32_t b = i + 1 < length ? data[i + 1] : 0;
        const std::uint32_t c = i + 2 < length ? data[i + 2] : 0;
        const std::uint32_t triple = (a << 16) | (b << 8) | c;
        out[o++] = Smtp_encoding_table[(triple >> 18) & 0x3f];
        out[o++] = Smtp_encoding_table[(triple >> 12) & 0x3f];
        out[o++] = Smtp_encoding_table[(triple >> 6) & 0x3f];
        out[o++] = Smtp_encoding_table[triple & 0x3f];
    }
    for (int i = 0; i < Smtp_mod_table[length % 3]; ++i) out[encodedLength - 1 - i] = '=';
    return 1;
}

int Smtp_base64_decode(const char* data, std::size_t length, unsigned char* out,
                       std::size_t* outLength) {
    const std::size_t capacity = *outLength;
    if (length % 4 != 0 || !isValidBase64(data, length)) return 0;

    std::size_t decodedLength = length / 4 * 3;
    if (length > 0 && data[length - 1] == '=') --decodedLength;
    if (length > 1 && data[length - 2] == '=') --decodedLength;
    *outLength = decodedLength;
    if (decodedLength + 1 > capacity) return 0;

    std::size_t o = 0;
    for (std::size_t i = 0; i < length; i += 4) {
        std::uint32_t triple = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = data[i + k];
            const std::uint32_t sextet = c == '='
                                             ? 0u
                                             : static_cast<std::uint32_t>(
                                                   kDecodingTable[static_cast<unsigned char>(c)]);
            triple = (triple << 6) | sextet;
        }
        for (int shift = 16; shift >= 0 && o < decodedLength; shift -= 8)
            out[o++] = static_cast<unsigned char>((triple >> shift) & 0xff);
    }
    return 1;
}

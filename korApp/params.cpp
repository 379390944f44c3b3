// The encodings commands share: address text, port, byte blocks, text fields
// and the result write.
#include <array>
#include <cstdio>
#include <cstring>

#include "funclib.h"
#include "korObserve.h"
#include "korParams.h"

void korFormatAddress(char* text, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
    // The octets are passed on as they are; snprintf keeps odd values in bounds.
    std::snprintf(text, KOR_ADDR_TEXT_SIZE, "%d.%d.%d.%d", static_cast<int>(a), static_cast<int>(b),
                  static_cast<int>(c), static_cast<int>(d));
}

unsigned korDecodePort(std::int32_t v) {
    // I variables stop at 32767, so ports above it are written as negatives.
    if (v >= 0) return static_cast<unsigned>(v);
    return static_cast<unsigned>(32767LL - v);
}

bool korBlockCountValid(std::int32_t count) { return count >= 0 && count <= KOR_BLOCK_MAX; }

bool korTextCountValid(std::int32_t count, int fields) {
    return count >= 0 && count <= fields * KOR_FIELD_SIZE;
}

int korReadByteBlock(std::int32_t first, std::int32_t count, char* out) {
    if (!korBlockCountValid(count)) return FUNCLIB_REFUSED;
    std::array<std::int32_t, KOR_BLOCK_MAX> slots{};
    const int result = GetMultiBVar(static_cast<std::uint16_t>(first), slots.data(), count);
    for (int i = 0; i < count; ++i)
        out[i] = result == 0 ? static_cast<char>(slots[i] & 0xff) : '\0';
    out[count] = '\0';
    return result;
}

int korWriteBytes(std::int32_t first, const char* bytes, int n) {
    if (!korBlockCountValid(n)) return FUNCLIB_REFUSED;
    std::array<std::int32_t, KOR_BLOCK_MAX> values{};
    for (int i = 0; i < n; ++i) values[i] = static_cast<unsigned char>(bytes[i]);
    return SetMultiBVar(static_cast<std::uint16_t>(first), values.data(), n);
}

namespace {

constexpr std::int32_t FIELD_SEPARATOR = 13;  // carriage return

// Reads text fields from B variables one at a time. fields[i] receives field
// number fieldBase + i (null: not wanted). Stops after `count` variables, at a
// failed read, when a field would grow past 128 characters, or (stopField >= 0)
// at the first character of field stopField.
void readFields(std::int32_t first, std::int32_t count, int fieldBase, char* const* fields,
                int fieldCount, int stopField) {
    for (int i = 0; i < fieldCount; ++i)
        if (fields[i]) std::memset(fields[i], 0, KOR_FIELD_SIZE);

    int field = 0;
    int pos = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t value = 0;
        if (GetBVar(static_cast<std::uint16_t>(first + i), &value) != 0) return;
        if (value == FIELD_SEPARATOR) {
            ++field;
            pos = 0;
            continue;
        }
        if (field == stopField || pos >= KOR_BLOCK_MAX) return;
        const int slot = field - fieldBase;
        if (slot >= 0 && slot < fieldCount && fields[slot])
            fields[slot][pos] = static_cast<char>(value);
        ++pos;
    }
}

}  // namespace

void korReadTwoFields(std::int32_t first, std::int32_t count, char* field0, char* field1) {
    char* const fields[] = {field0, field1};
    readFields(first, count, 0, fields, 2, 2);
}

void korReadThreeFields(std::int32_t first, std::int32_t count, int fieldBase, char* fieldA,
                        char* fieldB, char* fieldC) {
    char* const fields[] = {fieldA, fieldB, fieldC};
    readFields(first, count, fieldBase, fields, 3, -1);
}

int korWriteResult(std::int32_t resultVar, std::int32_t value) {
    kor_commandResult(value);
    return SetBVar(static_cast<std::uint16_t>(resultVar), value);
}

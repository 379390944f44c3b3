// The encodings that commands share: addresses, ports, byte blocks and text
// fields in robot variables, and the result write.
#pragma once

#include <cstdint>

#include "korResults.h"  // the result codes written into the job's result variable

// A byte block (and a text block) covers at most this many B variables.
inline constexpr int KOR_BLOCK_MAX = 128;
// Room of a dotted address text.
inline constexpr int KOR_ADDR_TEXT_SIZE = 20;
// Room of one text field (128 characters and a NUL).
inline constexpr int KOR_FIELD_SIZE = KOR_BLOCK_MAX + 1;

// "%d.%d.%d.%d" of four parameters into text (KOR_ADDR_TEXT_SIZE bytes).
void korFormatAddress(char* text, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d);
// A port parameter: v as it is when v >= 0, 32767 - v when v < 0.
unsigned korDecodePort(std::int32_t v);
// True when a block of `count` B variables is within the limit (0 .. 128).
bool korBlockCountValid(std::int32_t count);
// True when a text block of `fields` fields read one variable at a time fits
// its limit: 0 .. fields x 129 variables (each field's 128 characters and its 13).
bool korTextCountValid(std::int32_t count, int fields);

// Reads `count` B variables from `first` on with one call; each value's low 8
// bits become one byte of out (room for count + 1 bytes; a NUL follows; all
// zero when the read fails). Returns the variable layer's result (0 success),
// -1 without a controller call when the count is not valid.
int korReadByteBlock(std::int32_t first, std::int32_t count, char* out);
// Writes n bytes as n B variables (values 0..255) from `first` on, one call.
// -1 without a controller call when n is not a valid block count.
int korWriteBytes(std::int32_t first, const char* bytes, int n);

// The text-field readers: B variables from `first` on, read one at a time,
// `count` of them; 13 ends a field. Fields hold at most 128 characters
// (KOR_FIELD_SIZE buffers, zeroed here); the 129th character of any field ends
// the reading, and so does a failed read. Null field pointers are skipped.
// Commands check the count with korTextCountValid first.
// Two-field reader: fields 0 and 1, stops at the first character of field 2.
void korReadTwoFields(std::int32_t first, std::int32_t count, char* field0, char* field1);
// Three-field reader: fills the three given fields (numbers fieldBase ..
// fieldBase+2) and skips the characters of every other field.
void korReadThreeFields(std::int32_t first, std::int32_t count, int fieldBase, char* fieldA,
                        char* fieldB, char* fieldC);

// Writes the result value into B variable `resultVar`. Returns the variable
// layer's result.
int korWriteResult(std::int32_t resultVar, std::int32_t value);

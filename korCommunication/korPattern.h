// Wildcard patterns over received data.
//
// A pattern is a sequence of literal runs separated by "*" (the only special
// character; there is no escape). The first run is anchored at the start of the
// data unless the pattern begins with "*"; the end is never anchored. Each run is
// searched once, first occurrence after the previous run, without backtracking.
// A match yields captures, numbered from 1 in data order:
//   - the stretch before the first run, only when the pattern begins with "*"
//     and the run is not at the very start;
//   - every stretch between two runs, empty or not;
//   - the stretch after the last run, only when the pattern ends with "*".
// `index` 0 asks for the whole data, n >= 1 for capture n. A pattern without a
// literal byte returns the whole data; so does one without a star (the text
// form then demands equality, the binary form only that the data begins with
// the pattern), whatever `index` is.
//
// There is no limit on the number of literal runs or captures: the matcher keeps
// no tables, only the capture that was asked for. A negative `index` never
// matches.
//
// All functions are pure: they allocate nothing and change nothing but their
// output arguments. The output buffer must have room for the whole data (plus
// a terminator in the text form).
#pragma once

// Text form on NUL-terminated strings. 0 on a match with the result in out
// (NUL-terminated); -1 otherwise (out then holds nothing meaningful).
int kor_CheckPattern(const char* text, const char* pattern, int index, char* out);
// As kor_CheckPattern; with requiredLen != 0 the result must also be exactly
// requiredLen characters long.
int kor_CheckPattern2(const char* text, const char* pattern, int index, char* out, int requiredLen);

// Binary form on byte arrays. 0 on a match with the result's bytes in out (not
// terminated) and their number in *outLen; -1 otherwise.
int kor_CheckPatternBin(const char* data, int dataLen, const char* pattern, int patternLen,
                        int index, char* out, int* outLen);
// As kor_CheckPatternBin; with requiredLen != 0 *outLen must equal requiredLen.
int kor_CheckPatternBin2(const char* data, int dataLen, const char* pattern, int patternLen,
                         int index, char* out, int* outLen, int requiredLen);

// First position in hay where the needleLen bytes of needle occur, or null.
// A needle of length 0 is found at hay itself (when hayLen >= 0).
char* kor_memstr(char* hay, int hayLen, const char* needle, int needleLen);
const char* kor_memstr(const char* hay, int hayLen, const char* needle, int needleLen);

// Copies the characters first .. last (inclusive) into dst, stopping early at a
// NUL as strncpy does (the rest zero-filled), and puts a NUL after
// last - first + 1 characters. last == first - 1 (or before) gives "". Returns dst.
char* kor_GetString(char* dst, const char* first, const char* last);

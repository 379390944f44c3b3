// Wildcard matcher: the documented cases, bounds of the output, and a
// randomized comparison against an independent reference built on std::regex.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "korPattern.h"

namespace {

// Text form with an output buffer sized exactly for the text, so that a write
// past it is caught by the address sanitizer.
std::optional<std::string> text(const std::string& data, const std::string& pattern, int index,
                                int requiredLen = 0) {
    std::vector<char> out(data.size() + 1);
    if (kor_CheckPattern2(data.c_str(), pattern.c_str(), index, out.data(), requiredLen) != 0) {
        return std::nullopt;
    }
    return std::string(out.data());
}

std::optional<std::string> bin(const std::string& data, const std::string& pattern, int index,
                               int requiredLen = 0) {
    std::vector<char> out(data.size() + 1);
    int outLen = -7;
    if (kor_CheckPatternBin2(data.data(), static_cast<int>(data.size()), pattern.data(),
                             static_cast<int>(pattern.size()), index, out.data(), &outLen,
                             requiredLen) != 0) {
        return std::nullopt;
    }
    EXPECT_GE(outLen, 0);
    EXPECT_LE(static_cast<std::size_t>(outLen), data.size());
    return std::string(out.data(), static_cast<std::size_t>(outLen));
}

using Opt = std::optional<std::string>;
const Opt NO = std::nullopt;

// ---------------------------------------------------------------- reference

std::string regexEscape(const std::string& s) {
    std::string r;
    for (unsigned char c : s) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        r += buf;
    }
    return r;
}

// Runs are searched left to right, each at its first occurrence; lazy groups
// give exactly that, and since a later position for a run only shrinks what
// remains, the regex engine's backtracking never finds a different match.
Opt reference(const std::string& data, const std::string& pattern, int index, bool textForm) {
    const bool anyLiteral = pattern.find_first_not_of('*') != std::string::npos;
    if (!anyLiteral) return data;
    if (pattern.find('*') == std::string::npos) {
        if (textForm) return data == pattern ? Opt(data) : NO;
        return data.compare(0, pattern.size(), pattern) == 0 && data.size() >= pattern.size()
                   ? Opt(data)
                   : NO;
    }
    std::vector<std::string> runs;
    std::string cur;
    for (char c : pattern) {
        if (c == '*') {
            if (!cur.empty()) runs.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) runs.push_back(cur);
    const bool leading = pattern.front() == '*';
    const bool trailing = pattern.back() == '*';

    std::string re = "^";
    if (leading) re += "([\\s\\S]*?)";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (i > 0) re += "([\\s\\S]*?)";
        re += regexEscape(runs[i]);
    }
    if (trailing) re += "([\\s\\S]*)";

    std::smatch m;
    if (!std::regex_search(data, m, std::regex(re))) return NO;
    std::vector<std::string> captures;
    for (std::size_t g = 1; g < m.size(); ++g) {
        if (g == 1 && leading && m[g].length() == 0) continue;  // empty lead is no capture
        captures.push_back(m[g].str());
    }
    if (index < 0 || index > static_cast<int>(captures.size())) return NO;
    return index == 0 ? data : captures[static_cast<std::size_t>(index) - 1];
}

// ---------------------------------------------------------------- cases

TEST(PatternText, AnchoredStartAndCaptures) {
    EXPECT_EQ(text("POS=123;", "POS=*;", 1), Opt("123"));
    EXPECT_EQ(text("xPOS=123;", "POS=*;", 1), NO);
    EXPECT_EQ(text("POS=123;", "POS=*;", 0), Opt("POS=123;"));
    EXPECT_EQ(text("POS=123;", "POS=*;", 2), NO);

    EXPECT_EQ(text("xxOKyy", "*OK", 0), Opt("xxOKyy"));
    EXPECT_EQ(text("xxOKyy", "*OK", 1), Opt("xx"));
    EXPECT_EQ(text("xxOKyy", "*OK", 2), NO);

    // No leading capture when the first run is at the very start.
    EXPECT_EQ(text("OKyy", "*OK*", 1), Opt("yy"));
    EXPECT_EQ(text("OKyy", "*OK*", 2), NO);
    EXPECT_EQ(text("aOKyy", "*OK*", 1), Opt("a"));
    EXPECT_EQ(text("aOKyy", "*OK*", 2), Opt("yy"));
    // A trailing star records the (empty) rest.
    EXPECT_EQ(text("aOK", "*OK*", 2), Opt(""));
}

TEST(PatternText, UnanchoredEndAndEmptyCaptures) {
    EXPECT_EQ(text("abcd", "a*c", 1), Opt("b"));
    EXPECT_EQ(text("abcd", "a*c", 2), NO);
    // Adjacent stars: two runs, one capture.
    EXPECT_EQ(text("aXYb", "a**b", 1), Opt("XY"));
    EXPECT_EQ(text("aXYb", "a**b", 2), NO);
    // First occurrence wins; the capture between is empty.
    EXPECT_EQ(text("abab", "ab*ab", 1), Opt(""));
    EXPECT_EQ(text("abab", "ab*ab", 1, 1), NO);
    EXPECT_EQ(text("abab", "ab*ab", 0, 4), Opt("abab"));
    // No backtracking needed: the first 'c' after 'a' is taken.
    EXPECT_EQ(text("a1c2c3", "a*c*", 1), Opt("1"));
    EXPECT_EQ(text("a1c2c3", "a*c*", 2), Opt("2c3"));
    // A run that only occurs before the cursor does not match.
    EXPECT_EQ(text("ba", "b*b", 0), NO);
}

TEST(PatternText, StarOnlyAndStarlessPatterns) {
    for (int index : {-1, 0, 1, 7}) {
        EXPECT_EQ(text("anything", "*", index), Opt("anything"));
        EXPECT_EQ(text("anything", "***", index), Opt("anything"));
        EXPECT_EQ(text("anything", "", index), Opt("anything"));
        EXPECT_EQ(text("AB", "AB", index), Opt("AB"));
    }
    EXPECT_EQ(text("ABCD", "AB", 0), NO);  // text form compares exactly
    EXPECT_EQ(text("", "*", 0), Opt(""));
    EXPECT_EQ(text("", "a*", 0), NO);
    EXPECT_EQ(text("abc", "*", 0, 3), Opt("abc"));
    EXPECT_EQ(text("abc", "*", 0, 2), NO);
}

TEST(PatternText, NegativeIndexNeverMatches) {
    EXPECT_EQ(text("POS=1;", "POS=*;", -1), NO);
    EXPECT_EQ(bin("POS=1;", "POS=*;", -1), NO);
}

TEST(PatternBin, StarlessIsPrefixMatch) {
    EXPECT_EQ(bin("ABCD", "AB", 0), Opt("ABCD"));
    EXPECT_EQ(bin("ABCD", "AB", 3), Opt("ABCD"));
    EXPECT_EQ(bin("A", "AB", 0), NO);
    EXPECT_EQ(bin("XAB", "AB", 0), NO);
    EXPECT_EQ(bin("ABCD", "AB", 0, 4), Opt("ABCD"));
    EXPECT_EQ(bin("ABCD", "AB", 0, 2), NO);
}

TEST(PatternBin, ZeroAndHighBytesAreOrdinary) {
    const std::string data("\x02\x00\xff\x10\x00\x03tail", 10);
    EXPECT_EQ(bin(data, std::string("\x02*\x03*", 4), 1), std::string("\x00\xff\x10\x00", 4));
    EXPECT_EQ(bin(data, std::string("\x02*\x03*", 4), 2), Opt("tail"));
    EXPECT_EQ(bin(data, std::string("*\x10\x00*", 4), 1), std::string("\x02\x00\xff", 3));
    EXPECT_EQ(bin(data, std::string("\x02\x00\xff", 3), 0), data);
    EXPECT_EQ(bin(data, std::string("\x02\x01", 2), 0), NO);
}

TEST(PatternBin, EmptyResultsAndLengths) {
    EXPECT_EQ(bin("abab", "ab*ab", 1), Opt(""));
    EXPECT_EQ(bin("abab", "ab*ab", 1, 1), NO);
    EXPECT_EQ(bin("xy", "", 0), Opt("xy"));
    EXPECT_EQ(bin("", "*", 0), Opt(""));
    // A negative pattern length counts as an empty pattern.
    std::vector<char> out(4);
    int n = -1;
    EXPECT_EQ(kor_CheckPatternBin("xyz", 3, "*", -5, 0, out.data(), &n), 0);
    EXPECT_EQ(n, 3);
    // A negative data length counts as no data.
    EXPECT_EQ(kor_CheckPatternBin("xyz", -2, "*", 1, 0, out.data(), &n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(kor_CheckPatternBin("xyz", -2, "x*", 2, 0, out.data(), &n), -1);
}

TEST(PatternBoth, ManyRunsAndCapturesBeyondSixteen) {
    // 40 fields "k<i>=<v>;": the pattern has 41 literal runs (k0=, ;k1=, ...,
    // ;k39=, ;) and 41 captures, the last the empty rest.
    std::string data, pattern;
    for (int i = 0; i < 40; ++i) {
        data += "k" + std::to_string(i) + "=" + std::to_string(i * 7) + ";";
        pattern += "k" + std::to_string(i) + "=*;";
    }
    pattern += "*";
    for (int i : {1, 16, 17, 33, 40}) {
        const std::string want = std::to_string((i - 1) * 7);
        EXPECT_EQ(text(data, pattern, i), Opt(want)) << i;
        EXPECT_EQ(bin(data, pattern, i), Opt(want)) << i;
    }
    EXPECT_EQ(text(data, pattern, 41), Opt(""));
    EXPECT_EQ(text(data, pattern, 42), NO);
    // A 128-byte pattern of 64 single-letter runs.
    std::string letters, stars;
    for (int i = 0; i < 64; ++i) {
        letters += static_cast<char>('A' + i % 26);
        stars += static_cast<char>('A' + i % 26);
        stars += '*';
    }
    EXPECT_EQ(stars.size(), 128u);
    EXPECT_EQ(bin(letters, stars, 64), Opt(""));
    EXPECT_EQ(bin(letters, stars, 65), NO);
}

TEST(PatternHelpers, MemStr) {
    char hay[] = "abcabd";
    EXPECT_EQ(kor_memstr(hay, 6, "abd", 3), hay + 3);
    EXPECT_EQ(kor_memstr(hay, 6, "abe", 3), nullptr);
    EXPECT_EQ(kor_memstr(hay, 6, "", 0), hay);
    EXPECT_EQ(kor_memstr(hay, 2, "abc", 3), nullptr);
    EXPECT_EQ(kor_memstr(hay, 3, "abc", 3), hay);
    EXPECT_EQ(kor_memstr(hay, 5, "abd", 3), nullptr);  // must not look past hayLen
    EXPECT_EQ(kor_memstr(hay, 0, "", 0), hay);
    EXPECT_EQ(kor_memstr(hay, -1, "", 0), nullptr);
    const char zeros[] = {'x', 0, 0, 'y'};
    EXPECT_EQ(kor_memstr(zeros, 4, zeros + 1, 2), zeros + 1);
}

TEST(PatternHelpers, GetString) {
    const char src[] = "hello";
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(kor_GetString(dst, src + 1, src + 3), dst);
    EXPECT_STREQ(dst, "ell");
    EXPECT_EQ(dst[4], 'Z');  // nothing written after the terminator
    kor_GetString(dst, src + 2, src + 1);
    EXPECT_STREQ(dst, "");
    // Stops at a NUL and zero-fills up to the requested count.
    const char withNul[] = {'a', 0, 'b', 'c'};
    std::memset(dst, 'Z', sizeof dst);
    kor_GetString(dst, withNul, withNul + 3);
    EXPECT_EQ(std::memcmp(dst, "a\0\0\0\0Z", 6), 0);
}

// ---------------------------------------------------------------- randomized

std::string randomString(std::mt19937& rng, const std::string& alphabet, int maxLen) {
    std::uniform_int_distribution<int> len(0, maxLen);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string s;
    for (int n = len(rng); n > 0; --n) s += alphabet[pick(rng)];
    return s;
}

TEST(PatternRandom, TextFormAgreesWithReference) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> idx(-1, 5);
    int matches = 0;
    for (int i = 0; i < 6000; ++i) {
        const std::string data = randomString(rng, "abc", 14);
        const std::string pattern = randomString(rng, "ab**", 6);
        const int index = idx(rng);
        const Opt want = reference(data, pattern, index, true);
        ASSERT_EQ(text(data, pattern, index), want)
            << "data '" << data << "' pattern '" << pattern << "' index " << index;
        matches += want.has_value();
    }
    EXPECT_GT(matches, 1000);  // the sample exercises matches as well as refusals
}

TEST(PatternRandom, BinaryFormAgreesWithReference) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> idx(-1, 6);
    const std::string alphabet("a\0\xff*", 4);
    const std::string dataAlphabet("a\0\xff", 3);
    int matches = 0;
    for (int i = 0; i < 6000; ++i) {
        const std::string data = randomString(rng, dataAlphabet, 16);
        const std::string pattern = randomString(rng, alphabet, 7);
        const int index = idx(rng);
        const Opt want = reference(data, pattern, index, false);
        ASSERT_EQ(bin(data, pattern, index), want) << "case " << i << " index " << index;
        if (want && !want->empty()) {
            ASSERT_EQ(bin(data, pattern, index, static_cast<int>(want->size())), want);
            ASSERT_EQ(bin(data, pattern, index, static_cast<int>(want->size()) + 1), NO);
        }
        matches += want.has_value();
    }
    EXPECT_GT(matches, 1000);
}

}  // namespace

// Wildcard pattern matching (text and binary forms, the length-checking
// wrappers and kor_memstr), checked against a plain reference matcher that
// follows the documented rules step by step with std::string searches.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korPattern.h"

namespace {

// The reference: std::nullopt for no match, else the bytes of the result.
std::optional<std::string> referenceMatch(const std::string& data, const std::string& pattern,
                                          int index, bool binary) {
    const bool hasStar = pattern.find('*') != std::string::npos;
    const bool onlyStars = pattern.find_first_not_of('*') == std::string::npos;
    if (onlyStars) return data;
    if (!hasStar) {
        if (binary) {
            if (data.compare(0, pattern.size(), pattern) == 0 && data.size() >= pattern.size())
                return data;
            return std::nullopt;
        }
        if (data == pattern) return data;
        return std::nullopt;
    }
    if (index < 0) return std::nullopt;

    std::vector<std::string> runs;
    std::string run;
    for (char c : pattern) {
        if (c == '*') {
            if (!run.empty()) runs.push_back(run);
            run.clear();
        } else {
            run += c;
        }
    }
    if (!run.empty()) runs.push_back(run);

    std::vector<std::string> captures;
    std::size_t cursor = 0;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::size_t at = data.find(runs[r], cursor);
        if (at == std::string::npos) return std::nullopt;
        if (r == 0) {
            if (at != 0 && pattern.front() != '*') return std::nullopt;
            if (at != 0) captures.push_back(data.substr(0, at));
        } else {
            captures.push_back(data.substr(cursor, at - cursor));
        }
        cursor = at + runs[r].size();
    }
    if (pattern.back() == '*') captures.push_back(data.substr(cursor));
    if (static_cast<std::size_t>(index) > captures.size()) return std::nullopt;
    if (index == 0) return data;
    return captures[static_cast<std::size_t>(index) - 1];
}

[[noreturn]] void mismatch(const char* what, const std::string& data, const std::string& pattern,
                           int index) {
    std::fprintf(stderr, "%s: pattern '%s' (%zu bytes) data %zu bytes index %d\n", what,
                 pattern.c_str(), pattern.size(), data.size(), index);
    std::abort();
}

void checkText(const std::string& rawText, const std::string& rawPattern, int index,
               int requiredLen) {
    // The text form sees C strings: everything after a NUL is gone.
    const std::string text(rawText.c_str());
    const std::string pattern(rawPattern.c_str());
    const auto expected = referenceMatch(text, pattern, index, false);

    // Exactly the documented room: the whole text and its terminator.
    std::unique_ptr<char[]> out(new char[text.size() + 1]);
    const int rc = kor_CheckPattern(text.c_str(), pattern.c_str(), index, out.get());
    if ((rc == 0) != expected.has_value()) mismatch("text match differs", text, pattern, index);
    if (rc == 0 && std::string(out.get()) != *expected)
        mismatch("text result differs", text, pattern, index);

    const int rc2 = kor_CheckPattern2(text.c_str(), pattern.c_str(), index, out.get(), requiredLen);
    const bool expected2 = expected.has_value() &&
                           (requiredLen == 0 ||
                            expected->size() == static_cast<std::size_t>(requiredLen));
    if ((rc2 == 0) != expected2) mismatch("text length check differs", text, pattern, index);
}

void checkBinary(const std::string& data, const std::string& pattern, int index, int requiredLen) {
    const auto expected = referenceMatch(data, pattern, index, true);

    std::unique_ptr<char[]> out(new char[std::max<std::size_t>(data.size(), 1)]);
    int outLen = -1;
    const int rc = kor_CheckPatternBin(data.data(), static_cast<int>(data.size()), pattern.data(),
                                       static_cast<int>(pattern.size()), index, out.get(), &outLen);
    if ((rc == 0) != expected.has_value()) mismatch("binary match differs", data, pattern, index);
    if (rc == 0 && std::string(out.get(), static_cast<std::size_t>(outLen)) != *expected)
        mismatch("binary result differs", data, pattern, index);

    const int rc2 = kor_CheckPatternBin2(data.data(), static_cast<int>(data.size()), pattern.data(),
                                         static_cast<int>(pattern.size()), index, out.get(),
                                         &outLen, requiredLen);
    const bool expected2 = expected.has_value() &&
                           (requiredLen == 0 ||
                            expected->size() == static_cast<std::size_t>(requiredLen));
    if ((rc2 == 0) != expected2) mismatch("binary length check differs", data, pattern, index);
}

void checkMemstr(const std::string& hay, const std::string& needle) {
    // Exact-size copies so that a read past either end is caught.
    std::unique_ptr<char[]> h(new char[std::max<std::size_t>(hay.size(), 1)]);
    std::unique_ptr<char[]> n(new char[std::max<std::size_t>(needle.size(), 1)]);
    std::memcpy(h.get(), hay.data(), hay.size());
    std::memcpy(n.get(), needle.data(), needle.size());
    const char* found = kor_memstr(h.get(), static_cast<int>(hay.size()), n.get(),
                                   static_cast<int>(needle.size()));
    const std::size_t at = hay.find(needle);
    const char* expected = at == std::string::npos ? nullptr : h.get() + at;
    if (found != expected) mismatch("kor_memstr differs", hay, needle, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    const int index = in.ConsumeIntegralInRange<int>(-2, 20);
    const int requiredLen = in.ConsumeIntegralInRange<int>(0, 12);
    const std::string pattern = in.ConsumeRandomLengthString(96);
    const std::string data = in.ConsumeRemainingBytesAsString();

    checkText(data, pattern, index, requiredLen);
    checkBinary(data, pattern, index, requiredLen);
    checkMemstr(data, pattern);
    return 0;
}

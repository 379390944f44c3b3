// Wildcard pattern matching and extraction (see korPattern.h for the rules).
#include "korPattern.h"

#include <cstring>

namespace {

constexpr char STAR = '*';

// A stretch of the data: offset and length.
struct Stretch {
    int first = 0;
    int len = 0;
};

bool hasStar(const char* pattern, int patternLen) {
    return std::memchr(pattern, STAR, static_cast<std::size_t>(patternLen)) != nullptr;
}

bool onlyStars(const char* pattern, int patternLen) {
    for (int i = 0; i < patternLen; ++i) {
        if (pattern[i] != STAR) return false;
    }
    return true;
}

// Matches a pattern that holds at least one star and at least one literal byte.
// On a match *result is the stretch that `index` selects. Walks the pattern run
// by run and remembers only the capture asked for, so any number of runs and
// captures is handled without a table.
int matchRuns(const char* data, int dataLen, const char* pattern, int patternLen, int index,
              Stretch* result) {
    if (index < 0) return -1;
    const bool leadingStar = pattern[0] == STAR;
    const bool trailingStar = pattern[patternLen - 1] == STAR;

    int captures = 0;
    Stretch chosen{0, dataLen};
    auto record = [&](int first, int len) {
        ++captures;
        if (captures == index) chosen = Stretch{first, len};
    };

    int cursor = 0;
    bool firstRun = true;
    int i = 0;
    while (i < patternLen) {
        if (pattern[i] == STAR) {
            ++i;
            continue;
        }
        const int runStart = i;
        while (i < patternLen && pattern[i] != STAR) ++i;
        const int runLen = i - runStart;

        const char* found = kor_memstr(data + cursor, dataLen - cursor, pattern + runStart, runLen);
        if (found == nullptr) return -1;
        const int at = static_cast<int>(found - data);
        if (firstRun) {
            if (at != 0 && !leadingStar) return -1;  // the start is anchored
            if (at != 0) record(0, at);
            firstRun = false;
        } else {
            record(cursor, at - cursor);
        }
        cursor = at + runLen;
    }
    if (trailingStar) record(cursor, dataLen - cursor);

    if (index > captures) return -1;
    *result = chosen;  // index 0 keeps the whole data
    return 0;
}

}  // namespace

const char* kor_memstr(const char* hay, int hayLen, const char* needle, int needleLen) {
    if (needleLen > hayLen) return nullptr;
    if (needleLen <= 0) return hay;
    const char* const lastStart = hay + (hayLen - needleLen);
    const char* p = hay;
    while (p <= lastStart) {
        const void* hit = std::memchr(p, needle[0], static_cast<std::size_t>(lastStart - p + 1));
        if (hit == nullptr) return nullptr;
        p = static_cast<const char*>(hit);
        if (std::memcmp(p, needle, static_cast<std::size_t>(needleLen)) == 0) return p;
        ++p;
    }
    return nullptr;
}

char* kor_memstr(char* hay, int hayLen, const char* needle, int needleLen) {
    return const_cast<char*>(kor_memstr(static_cast<const char*>(hay), hayLen, needle, needleLen));
}

char* kor_GetString(char* dst, const char* first, const char* last) {
    const long count = last - first + 1;
    if (count <= 0) {
        dst[0] = '\0';
        return dst;
    }
    long i = 0;
    for (; i < count && first[i] != '\0'; ++i) dst[i] = first[i];
    for (; i < count; ++i) dst[i] = '\0';
    dst[count] = '\0';
    return dst;
}

int kor_CheckPattern(const char* text, const char* pattern, int index, char* out) {
    const int textLen = static_cast<int>(std::strlen(text));
    const int patternLen = static_cast<int>(std::strlen(pattern));

    if (onlyStars(pattern, patternLen)) {
        std::memcpy(out, text, static_cast<std::size_t>(textLen) + 1);
        return 0;
    }
    if (!hasStar(pattern, patternLen)) {
        if (std::strcmp(text, pattern) != 0) return -1;
        std::memcpy(out, text, static_cast<std::size_t>(textLen) + 1);
        return 0;
    }
    Stretch result;
    if (matchRuns(text, textLen, pattern, patternLen, index, &result) != 0) return -1;
    if (result.len == 0) {
        out[0] = '\0';
    } else {
        kor_GetString(out, text + result.first, text + result.first + result.len - 1);
    }
    return 0;
}

int kor_CheckPattern2(const char* text, const char* pattern, int index, char* out,
                      int requiredLen) {
    const int rc = kor_CheckPattern(text, pattern, index, out);
    if (rc != 0 || requiredLen == 0) return rc;
    return std::strlen(out) == static_cast<std::size_t>(requiredLen) ? 0 : -1;
}

int kor_CheckPatternBin(const char* data, int dataLen, const char* pattern, int patternLen,
                        int index, char* out, int* outLen) {
    if (dataLen < 0) dataLen = 0;
    Stretch result{0, dataLen};
    if (patternLen > 0 && !onlyStars(pattern, patternLen)) {
        if (!hasStar(pattern, patternLen)) {
            // Without a star the data only has to begin with the pattern.
            if (dataLen < patternLen) return -1;
            if (std::memcmp(data, pattern, static_cast<std::size_t>(patternLen)) != 0) return -1;
        } else if (matchRuns(data, dataLen, pattern, patternLen, index, &result) != 0) {
            return -1;
        }
    }
    if (result.len > 0) {
        std::memcpy(out, data + result.first, static_cast<std::size_t>(result.len));
    }
    *outLen = result.len;
    return 0;
}

int kor_CheckPatternBin2(const char* data, int dataLen, const char* pattern, int patternLen,
                         int index, char* out, int* outLen, int requiredLen) {
    const int rc = kor_CheckPatternBin(data, dataLen, pattern, patternLen, index, out, outLen);
    if (rc != 0 || requiredLen == 0) return rc;
    return *outLen == requiredLen ? 0 : -1;
}

// Numbers typed by people (arguments, settings, fault plans): the one reading
// of "this whole text is an integer" for every program. Header-only, since
// kordash does not link the programs' common library.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>

namespace kor {

// True when the whole text is a decimal integer (an optional sign and digits,
// no blanks) within [min, max]; only then is *out set.
inline bool parseInt(const std::string& text, long long min, long long max, long long* out) {
    if (text.empty() || !(text[0] == '+' || text[0] == '-' || (text[0] >= '0' && text[0] <= '9')))
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || v < min || v > max) return false;
    *out = v;
    return true;
}

}  // namespace kor

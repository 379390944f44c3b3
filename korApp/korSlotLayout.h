// The command-slot layout: where the launcher looks for commands, and how it
// reads that from S092. The one owner of it; korApp.h includes it for the core,
// and the tools (korjob, kordash, the round-trip benchmark) include it alone,
// since they do not link the core.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ctl.h"

inline constexpr int KOR_MAX_SLOTS = 8;
// Start parameters used when S092 does not hold two tokens.
inline constexpr int KOR_DEFAULT_BASE = 100;
inline constexpr int KOR_DEFAULT_SLOTS = 4;
// I variables (parameters 0..9) per command slot.
inline constexpr int KOR_SLOT_PARAMS = 10;
// The string variable holding the start parameters ("base:slots").
inline constexpr int KOR_PARAM_SVAR = 92;

// Slot k (0 .. slots-1) takes its command ID from B base+k and its
// parameters from I base+10k .. base+10k+9. Variable numbers are 16 bits: a
// base outside them wraps around.
struct KorSlotLayout {
    int base = KOR_DEFAULT_BASE;
    int slots = KOR_DEFAULT_SLOTS;

    constexpr std::uint16_t commandIdVar(int k) const { return wrapped(k); }
    constexpr std::uint16_t firstParamVar(int k) const { return wrapped(KOR_SLOT_PARAMS * k); }

private:
    constexpr std::uint16_t wrapped(int offset) const {
        return static_cast<std::uint16_t>(static_cast<unsigned>(base) +
                                          static_cast<unsigned>(offset));
    }
};

// A token read as strtol reads it (leading blanks, a sign, digits; 0 without).
inline long korStartToken(std::string_view token) {
    char text[CTL_SVAR_TEXT_SIZE] = {};
    token.copy(text, std::min<std::size_t>(token.size(), CTL_SVAR_MAX_CHARS));
    return std::strtol(text, nullptr, 10);
}

// Parses the text of S092, "base:slots": runs of ':' count as one separator,
// the slot count is clamped to 1..8. Returns the number of tokens; *layout is
// set only when there are exactly two (otherwise the launcher uses the defaults).
inline int korParseStartParameters(std::string_view text, KorSlotLayout* layout) {
    long values[2] = {};
    int tokens = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(':', at), text.size());
        if (end > at) {
            if (tokens < 2) values[tokens] = korStartToken(text.substr(at, end - at));
            ++tokens;
        }
        at = end + 1;
    }
    if (tokens != 2) return tokens;
    layout->base = static_cast<int>(values[0]);
    layout->slots = static_cast<int>(std::clamp<long>(values[1], 1, KOR_MAX_SLOTS));
    return tokens;
}

// The layout the launcher polls for this text of S092: the defaults unless it
// holds exactly two tokens.
inline KorSlotLayout korSlotLayoutFrom(std::string_view text) {
    KorSlotLayout layout;
    korParseStartParameters(text, &layout);
    return layout;
}

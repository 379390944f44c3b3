// The result codes a command writes into the job's result variable, and what
// each means. The one owner of them: korParams.h includes it for the core,
// and the tools (koradmin, kordash) include it alone for the meanings they show.
#pragma once

#include <cstdint>

enum KorResult : std::int32_t {
    // Not written by a command: the journal's mark of a command that wrote none.
    KOR_RES_NONE = -1,
    KOR_RES_UNKNOWN_COMMAND = 240,
    // A command found in the command area at start: written while ArvoKOR was
    // down, never run.
    KOR_RES_NOT_RUN_RESTARTED = 241,
    KOR_RES_NOT_ACCEPTED = 249,
    KOR_RES_NO_FREE_HANDLE = 251,
    KOR_RES_HANDLE_NOT_IN_USE = 252,
    KOR_RES_NOTHING = 253,
    KOR_RES_FAILED = 254,
    KOR_RES_DONE = 255,
};

// Results from 240 up to 254 report a failure; below 240 they are values
// (a count, a handle), and 255 is done.
constexpr bool korResultFailed(std::int32_t result) {
    return result >= KOR_RES_UNKNOWN_COMMAND && result < KOR_RES_DONE;
}

struct KorResultMeaning {
    std::int32_t result;
    const char* meaning;
};
inline constexpr KorResultMeaning KOR_RESULT_MEANINGS[] = {
    {KOR_RES_NONE, "no result written"},
    {KOR_RES_UNKNOWN_COMMAND, "unknown command"},
    {KOR_RES_NOT_ACCEPTED, "no accepted connection from that address"},
    {KOR_RES_NO_FREE_HANDLE, "no free handle"},
    {KOR_RES_HANDLE_NOT_IN_USE, "handle not in use"},
    {KOR_RES_NOTHING, "nothing to return"},
    {KOR_RES_FAILED, "failed"},
    {KOR_RES_DONE, "done"},
};

// The service commands (Modbus read and write, FTPLOADGET, FTPLOADPUT, PING)
// write 255 + their status (0 or negative) instead of the codes above.
inline constexpr std::int32_t KOR_SERVICE_COMMANDS[] = {34, 35, 36, 37, 38};
inline constexpr std::int32_t KOR_PING_COMMAND = 38;  // its 254 (-1): no answer

constexpr bool korIsServiceCommand(std::int32_t id) {
    for (const std::int32_t s : KOR_SERVICE_COMMANDS)
        if (s == id) return true;
    return false;
}

// The meaning of a result of the table, or null (a value, or a status).
constexpr const char* korResultMeaning(std::int32_t result) {
    for (const KorResultMeaning& m : KOR_RESULT_MEANINGS)
        if (m.result == result) return m.meaning;
    return nullptr;
}

// What a command's result means to whoever watches the jobs: done, nothing yet,
// or failed. One table for the controller's counters and for the tools (kordash,
// koradmin), which include this header alone since they do not link the core.
#pragma once

#include <cstdint>

// The defined command numbers, a closed set; everything else is "other".
inline constexpr std::int32_t KOR_COMMAND_IDS[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  11,
                                                   12, 13, 14, 15, 16, 17, 18, 20, 21, 22,
                                                   23, 24, 25, 26, 27, 28, 29, 30, 31, 32,
                                                   33, 34, 35, 36, 37, 38, 200};
inline constexpr int KOR_COMMAND_COUNT = sizeof KOR_COMMAND_IDS / sizeof KOR_COMMAND_IDS[0];
// Index KOR_COMMAND_COUNT stands for every number that is not a command.
inline constexpr int KOR_COMMAND_INDEXES = KOR_COMMAND_COUNT + 1;

// The index of a command number in KOR_COMMAND_IDS, or KOR_COMMAND_COUNT.
constexpr int korCommandIndex(std::int32_t id) {
    for (int k = 0; k < KOR_COMMAND_COUNT; ++k)
        if (KOR_COMMAND_IDS[k] == id) return k;
    return KOR_COMMAND_COUNT;
}

// success: done or a value. empty: nothing yet, as a polling job expects
// (an empty queue, no match, a wait that ran out, no accepted connection yet).
// failure: the command could not do what it was asked.
enum class KorResultClass : std::uint8_t { Success, Empty, Failure };
inline constexpr int KOR_RESULT_CLASSES = 3;

struct KorResultCode {
    std::int32_t id;
    std::int32_t result;  // -1: the command wrote no result
    KorResultClass cls;
};

// Every result other than a success value that a command writes, with its
// class (docs/commands.md, "Result classes"). A code not listed is a failure
// when it is -1 or 240..254, else a success.
inline constexpr KorResultCode KOR_RESULT_CODES[] = {
    {1, 251, KorResultClass::Failure},  {1, 254, KorResultClass::Failure},
    {2, 252, KorResultClass::Failure},  {2, 253, KorResultClass::Failure},
    {2, 254, KorResultClass::Failure},  {3, 254, KorResultClass::Failure},
    {4, 252, KorResultClass::Failure},  {5, 252, KorResultClass::Failure},
    {5, 253, KorResultClass::Empty},    {5, 254, KorResultClass::Failure},
    {6, 252, KorResultClass::Failure},  {6, 254, KorResultClass::Failure},
    {7, 251, KorResultClass::Failure},  {7, 254, KorResultClass::Failure},
    {8, -1, KorResultClass::Success},   {9, 252, KorResultClass::Failure},
    {9, 253, KorResultClass::Empty},    {9, 254, KorResultClass::Failure},
    {11, 249, KorResultClass::Empty},   {11, 252, KorResultClass::Failure},
    {12, 251, KorResultClass::Failure}, {12, 253, KorResultClass::Failure},
    {12, 254, KorResultClass::Failure}, {13, 252, KorResultClass::Failure},
    {13, 253, KorResultClass::Empty},   {13, 254, KorResultClass::Failure},
    {14, 252, KorResultClass::Failure}, {14, 253, KorResultClass::Empty},
    {14, 254, KorResultClass::Failure}, {15, 253, KorResultClass::Failure},
    {15, 254, KorResultClass::Failure}, {17, 253, KorResultClass::Failure},
    {17, 254, KorResultClass::Failure}, {18, 253, KorResultClass::Failure},
    {18, 254, KorResultClass::Failure}, {20, 253, KorResultClass::Failure},
    {20, 254, KorResultClass::Failure}, {21, 251, KorResultClass::Failure},
    {21, 253, KorResultClass::Failure}, {21, 254, KorResultClass::Failure},
    {22, 254, KorResultClass::Failure}, {23, 254, KorResultClass::Failure},
    {25, 254, KorResultClass::Failure}, {26, 253, KorResultClass::Failure},
    {26, 254, KorResultClass::Failure}, {28, 254, KorResultClass::Failure},
    {29, 254, KorResultClass::Failure}, {30, 252, KorResultClass::Failure},
    {30, 253, KorResultClass::Empty},   {30, 254, KorResultClass::Failure},
    {32, 253, KorResultClass::Failure}, {32, 254, KorResultClass::Failure},
    {33, 253, KorResultClass::Failure}, {34, 251, KorResultClass::Failure},
    {34, 252, KorResultClass::Failure}, {34, 253, KorResultClass::Failure},
    {34, 254, KorResultClass::Failure}, {35, 248, KorResultClass::Failure},
    {35, 249, KorResultClass::Failure}, {35, 250, KorResultClass::Failure},
    {35, 251, KorResultClass::Failure}, {35, 252, KorResultClass::Failure},
    {35, 253, KorResultClass::Failure}, {35, 254, KorResultClass::Failure},
    {36, 249, KorResultClass::Failure}, {36, 250, KorResultClass::Failure},
    {36, 251, KorResultClass::Failure}, {36, 252, KorResultClass::Failure},
    {36, 253, KorResultClass::Failure}, {36, 254, KorResultClass::Failure},
    {37, 249, KorResultClass::Failure}, {37, 250, KorResultClass::Failure},
    {37, 251, KorResultClass::Failure}, {37, 252, KorResultClass::Failure},
    {37, 253, KorResultClass::Failure}, {37, 254, KorResultClass::Failure},
    {38, 254, KorResultClass::Failure},
};

constexpr KorResultClass korResultClass(std::int32_t id, std::int32_t result) {
    for (const KorResultCode& c : KOR_RESULT_CODES)
        if (c.id == id && c.result == result) return c.cls;
    return result == -1 || (result >= 240 && result <= 254) ? KorResultClass::Failure
                                                            : KorResultClass::Success;
}

constexpr const char* korResultClassName(KorResultClass cls) {
    return cls == KorResultClass::Success ? "success"
           : cls == KorResultClass::Empty ? "empty"
                                          : "failure";
}

// Polling stays quiet: these are the results a job loops on.
static_assert(korResultClass(5, 253) == KorResultClass::Empty);
static_assert(korResultClass(30, 253) == KorResultClass::Empty);
static_assert(korResultClass(1, 253) == KorResultClass::Failure);
static_assert(korResultClass(99, 240) == KorResultClass::Failure);
static_assert(korResultClass(4, 255) == KorResultClass::Success);

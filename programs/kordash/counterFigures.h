// A ":counters" reply grouped the way /metrics and the Counters view show it:
// every command by result class (the core's table, korResultClass.h), the
// codes that were no success, durations, channels, and what a rule watching
// the controller needs (its start, busy slots, bytes per handle).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "adminClient.h"
#include "korHandleTable.h"
#include "korResultClass.h"

namespace kordash {

// One command number (or "other"): results by class, the codes of the results
// that were no success, durations by bucket bound (ms; kOverMs above the last).
struct CommandFigures {
    std::array<std::uint64_t, KOR_RESULT_CLASSES> byClass{};
    std::map<std::pair<KorResultClass, int>, std::uint64_t> codes;
    std::map<int, std::uint64_t> durations;
    std::uint64_t durationSumMs = 0;
};

struct CounterFigures {
    static constexpr int kOverMs = 1 << 30;
    static constexpr int kNoCode = -1000000;  // a transfer's or mail's code beyond any written
    static constexpr int kHandles = KOR_LAST_HANDLE;
    // By korCommandIndex; the last one is every number that is no command.
    std::array<CommandFigures, KOR_COMMAND_INDEXES> commands;
    bool hasDurationSums = false;  // controllers before them count no sums
    std::map<std::string, std::uint64_t> opened, closed, bytesIn, bytesOut, dropped;
    std::array<std::uint64_t, kHandles + 1> handleIn{}, handleOut{};  // [1..kHandles]
    std::map<std::pair<std::string, int>, std::uint64_t> ftp, mails;
    std::uint64_t positionSent = 0, positionMissed = 0, speedTicks = 0, speedMissed = 0,
                  adminSessions = 0;
    std::optional<std::int64_t> startedMs;
    std::map<int, std::int64_t> busySinceMs;  // by slot
    std::map<int, std::int32_t> busyCommand;  // by slot

    std::uint64_t ofClass(KorResultClass cls) const;
};

CounterFigures figuresOf(const std::vector<kor::admin::Counter>& counters);

// What the overview's row needs of a reading, counted as the figures count
// it but without building them (a fleet's rows take a few hundred readings a
// second): every command's result, the failed ones, the stream ticks missed.
struct CommandTotals {
    std::uint64_t all = 0, failed = 0, ticksMissed = 0;
};
CommandTotals totalsOf(const std::vector<kor::admin::Counter>& counters);

// "TCPCONNECT" ..., or "other" for a number that is no command.
std::string commandLabel(int index);

}  // namespace kordash

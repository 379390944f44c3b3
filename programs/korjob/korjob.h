// korjob: plays the robot job against the virtual controller's state file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korNumbers.h"
#include "vcState.h"

namespace korjob {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitTimeout = 1;
inline constexpr int kExitError = 2;

enum class Kind { B, I, D, R, S, P, Io };

// One variable name or a range of them: B100, IO1000500, B300..B309.
struct VarRange {
    Kind kind;
    std::uint32_t first, last;
};

// Parses a name or range; false with *error. Indices are checked against counts.
bool parseVarRange(const std::string& text, const vc::StateCounts& counts, VarRange* out,
                   std::string* error);

// get VAR...: one line per variable on stdout.
int cmdGet(vc::StateFile& state, const std::vector<std::string>& args);
// set VAR VALUE [VAR VALUE ...]: all checked first, then written in order.
int cmdSet(vc::StateFile& state, const std::vector<std::string>& args);
// robot pos ROBOT X Y Z RX RY RZ [RE] | robot speed GROUP S0 [.. S7]
int cmdRobot(vc::StateFile& state, const std::vector<std::string>& args);
// call COMMAND [name=value ...] [--slot K] [--timeout SEC] [--read N]
int cmdCall(vc::StateFile& state, const std::vector<std::string>& args);
// The command table for --help.
void printCommandTable();

// Whole-text decimal integer within [min, max].
using kor::parseInt;
// Prints "korjob: <message>" on stderr and returns kExitError.
int usageError(const std::string& message);

}  // namespace korjob

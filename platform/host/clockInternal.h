// The controller clocks' cycle arithmetic, for the host files and tests.
// Cycle k of a clock runs from epoch + k * period; the epoch is fixed at
// program load and shared by both clocks.
#pragma once

#include <cstdint>

#include "taskInternal.h"

namespace vc::clocks {

// Period of clock 0 or 1 (settings clock0Us / clock1Us); zero for any other number.
task::Clock::duration period(int clock);
// Index of the cycle of `clock` that contains t.
std::int64_t cycleAt(int clock, task::Clock::time_point t);
// Start of cycle k of `clock`.
task::Clock::time_point cycleStart(int clock, std::int64_t k);

}  // namespace vc::clocks

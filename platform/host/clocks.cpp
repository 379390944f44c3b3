// Controller clocks 0 and 1 (the interpolation clocks): absolute cycles on
// CLOCK_MONOTONIC from one fixed epoch, so a clock never drifts and a caller
// that comes late waits for the next whole cycle instead of catching up.
#include <cerrno>
#include <chrono>

#include "clockInternal.h"
#include "ctl.h"
#include "vc.h"

namespace vc::clocks {
namespace {

// Fixed when the program is loaded.
const task::Clock::time_point processEpoch = task::Clock::now();

task::Clock::time_point epoch() { return processEpoch; }

}  // namespace

task::Clock::duration period(int clock) {
    int us = clock == 0 ? settings().clock0Us : clock == 1 ? settings().clock1Us : 0;
    if (clock == 0 || clock == 1) {
        if (us <= 0) us = 4000;
    }
    return std::chrono::microseconds(us);
}

std::int64_t cycleAt(int clock, task::Clock::time_point t) {
    auto p = period(clock);
    if (p <= task::Clock::duration::zero()) return -1;
    auto since = t - epoch();
    if (since < task::Clock::duration::zero()) return -1;
    return since / p;
}

task::Clock::time_point cycleStart(int clock, std::int64_t k) {
    return epoch() + k * period(clock);
}

}  // namespace vc::clocks

int ctlClkAnnounce(int clock) {
    vc::task::checkDeleted();
    if (clock != 0 && clock != 1) {
        errno = EINVAL;
        return -1;
    }
    auto now = vc::task::Clock::now();
    auto next = vc::clocks::cycleStart(clock, vc::clocks::cycleAt(clock, now) + 1);
    vc::task::pollWait(nullptr, 0, vc::task::Deadline::at(next));
    return 0;
}

namespace vx {

std::int64_t tickGet() {
    const auto since = vc::task::Clock::now() - vc::clocks::epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
    // Split so that the product cannot overflow however long the program runs.
    const std::int64_t rate = sysClkRateGet();
    return ns / 1000000000 * rate + ns % 1000000000 * rate / 1000000000;
}

}  // namespace vx

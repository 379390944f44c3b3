// Id counters of the virtual controller (tasks, semaphores, message queues):
// ids run 1 .. INT_MAX and wrap around to 1, never -1 or 0 and never an id
// that is still in use.
#pragma once

#include <limits>

namespace vc {

// The next id from `next` on that inUse(id) does not claim; advances `next`
// past it. Callers hold the lock of their table, which has far fewer than
// INT_MAX entries, so a free id is always found.
template <class InUse>
int takeFreeId(int& next, InUse inUse) {
    for (;;) {
        const int id = next;
        next = id >= std::numeric_limits<int>::max() || id < 1 ? 1 : id + 1;
        if (id >= 1 && !inUse(id)) return id;
    }
}

}  // namespace vc

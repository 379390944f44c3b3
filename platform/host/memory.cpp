// Memory of the virtual controller: the C heap, with a count of live blocks
// and a failure hook.
#include <atomic>
#include <cstdlib>

#include "ctl.h"
#include "ctlTestHooks.h"

namespace {
std::atomic<long> liveBlocks{0};
}

void* ctlMalloc(std::size_t size) {
    if (vc::hooks::shouldFail(vc::hooks::Site::Malloc)) return nullptr;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p) liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void ctlFree(void* ptr) {
    if (!ptr) return;
    liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(ptr);
}

long vc::hooks::liveAllocations() { return liveBlocks.load(std::memory_order_relaxed); }

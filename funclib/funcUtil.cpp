// The text and processor helpers of the variable layer (kept apart from the
// controller calls so that modules needing only these link without them).
#include <cstring>

#include "funclib.h"

char* mystrdup(const char* text) {
    if (!text) return nullptr;
    const std::size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(ctlMalloc(size));
    if (copy) std::memcpy(copy, text, size);
    return copy;
}

int GetEndianess() {
    const std::uint32_t one = 1;
    unsigned char firstByte = 0;
    std::memcpy(&firstByte, &one, 1);
    return firstByte != 0 ? 1 : 0;
}

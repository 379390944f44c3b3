// koradmin capture: switch a channel's traffic capture on or off, save it as pcapng.
#include <cstdio>

#include "observe.h"

namespace koradmin {

int runCapture(const ObserveOptions&, const std::vector<std::string>&) {
    std::fprintf(stderr, "koradmin: capture is not available yet\n");
    return 2;
}

}  // namespace koradmin

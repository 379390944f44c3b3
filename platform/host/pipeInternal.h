// Pipe descriptors as the other host files see them.
#pragma once

namespace vc::pipes {

// True when fd is an open pipe descriptor (from vx::open).
bool isPipe(int fd);

}  // namespace vc::pipes

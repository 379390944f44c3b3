// The console of the virtual controller.
#pragma once

namespace vc {

// Puts the console tap in front of standard output (once per process, before
// any task runs). Without it ctlConsoleTap has no effect.
void installConsole();

}  // namespace vc

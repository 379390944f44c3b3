// Life cycle of the virtual controller inside a process: programs and tests
// start it with their settings and stop it at the end.
#pragma once

#include "ctl.h"
#include "vcSettings.h"

namespace vc {

// Stores the settings, opens the state file, starts the controller's own FTP
// server and then runs root() in a task of its own. Returns 0, or -1 with a
// message on stderr (nothing is left running then).
int startWith(const Settings& settings, void (*root)());
// start as the controller boots: the task runs the program's entry point
// ctlUsrRoot(0, ...). (Inline so that the reference to the entry point sits in
// the program that starts the controller, not in the platform library.)
inline int start(const Settings& settings) {
    return startWith(settings, [] { ctlUsrRoot(0, 0, 0, 0, 0, 0, 0, 0, 0, 0); });
}
// Removes what interrupted transfers left in the job directory (files named
// with CTL_TRANSFER_SUFFIX), one console line each. Called at start, once the
// state file is held, so no running controller's transfer is touched.
void removeTransferLeftovers(const std::string& jobsDir);
// Ends every task the platform started (each at its next blocking call), stops
// the FTP server and closes the state file. The calling thread is not ended.
// A process that exits without it still has its tasks ended first.
void stop();
// The settings in force (defaults until start).
const Settings& settings();
// Puts settings in force without starting anything (start does this first).
// Tests use it to run platform calls under chosen settings. Not to be called
// while tasks read the settings.
void useSettings(const Settings& settings);

}  // namespace vc

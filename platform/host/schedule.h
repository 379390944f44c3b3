// Scheduling model of the virtual controller.
//
// A controller keeps its timing whatever else runs, so every task gets a
// fixed SCHED_FIFO priority by what it is, all below the kernel's own
// real-time threads (interrupt threads run at 50):
//
//   45  measuring side of the benchmarks (job-side poller, UDP receiver), so
//       that they time the controller, not their own wait for a core
//   40  controller clocks 0 and 1: no thread of their own; a clock is an
//       absolute deadline on CLOCK_MONOTONIC (a kernel high-resolution timer,
//       which fires above every thread). The level stays free above class 0.
//   30  class 0: position streaming (every clock 0 tick)
//   20  class 1: speed output (clock 1)
//   10  class 3: the launcher, command tasks and channel receive tasks; also
//       taskSpawn priorities 0..150 (150 is the launcher's fallback, 100 the
//       boot task), which are ordinary application tasks there
//    5  the admin server (class 3 as well, placed below by the program with
//       placeEntry: an engineer's tool must not delay a job's command), and
//       taskSpawn priorities 151..255
//
// Every loop of these tasks blocks in a platform wait between passes, so the
// levels order who runs first; they never let a task hold a core.
//
// Real-time scheduling is in effect when the setting realtime is auto (the
// default) and the process may use SCHED_FIFO at the top level (root,
// CAP_SYS_NICE, or an RLIMIT_RTPRIO of at least 30). Otherwise, and with
// realtime = off, every task runs at normal scheduling (SCHED_OTHER), set
// explicitly so that nothing is inherited from the creating thread.
#pragma once

#include "ctl.h"
#include "vcSettings.h"

namespace vc::sched {

inline constexpr int kMeasurerPriority = 45;
inline constexpr int kClockPriority = 40;
inline constexpr int kClass0Priority = 30;
inline constexpr int kClass1Priority = 20;
inline constexpr int kCommandPriority = 10;
inline constexpr int kAdminPriority = 5;

// SCHED_FIFO priority of a ctlCreateTask class (0, 1, 3; 2 sits between 1 and 3).
int priorityOfClass(int priorityClass);
// SCHED_FIFO priority of a taskSpawn priority (0 highest .. 255).
int priorityOfSpawn(int vxPriority);
// Tasks created with `entry` run at `priority` whatever their class.
void placeEntry(CtlTaskEntry entry, int priority);
// The priority a task created with `entry` and class priority `byClass` gets.
int priorityOfEntry(CtlTaskEntry entry, int byClass);

// True when tasks get real-time scheduling under the settings in force.
bool inEffect();
// Applies `priority` to the calling thread: SCHED_FIFO when real-time
// scheduling is in effect and priority > 0, else SCHED_OTHER.
void applyToSelf(int priority);
// Whether the kernel takes the owner of a priority-inheritance lock from the
// lock word: releasing a word that names this thread succeeds. A user-mode
// emulator of a CPU of the other byte order passes the word on unswapped (the
// C library then aborts on a contended lock), and a kernel may lack them.
// Locks ask for inheritance only where it works.
bool priorityInheritanceWorks();
// At start: decides, locks memory when real-time scheduling is in effect and
// prints one console line about it (none with realtime = off).
void setUp(const Settings& settings);

}  // namespace vc::sched

// Program-wide values of ArvoKOR, set by the launcher before any other task runs.
#pragma once

#include <cstdint>

#include "ctl.h"
#include "korSlotLayout.h"

struct FtpConnection;

// The build passes the project version (e.g. 1.32), the one place it is kept.
inline constexpr double KOR_VERSION = KOR_PROTOCOL_VERSION;
inline constexpr int KOR_POLL_MS = 4;

// System clock ticks per millisecond, truncated (0 below 1000 Hz): shown in the
// start banner. Delays convert milliseconds with ctlMsToTicks, which rounds up.
extern int korSysClkRate;
// The one shared FTP connection of the FTP commands, or null.
extern FtpConnection* korFtpHandle;
// Header values sent at the start of every position stream.
extern std::int32_t korPosRecHeader[6];

// The admin server the launcher starts after its start-up (task entry and
// port), named by the entry point, which sits above both. None: no server.
void korLauncherServe(CtlTaskEntry adminServer, int adminPort);
// The launcher task: the channel table, start-up, then the poll loop; returns
// only when the channel table cannot be set up (nothing is started then).
void korLauncher(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg);
// Start parameters from S092 ("base:slots", slots clamped to 1..8). 0 when both
// were set; -1 S092 unreadable, -2 empty, -4 not exactly two tokens (the
// caller then uses the defaults for both).
int kor_readParameters(int* baseNumber, int* slotCount);
// ctlCreateTask, falling back to vx::taskSpawn (priority 150, 40960-byte
// stack). Task id or -1.
int korCreateTask(int priority, int stackSize, CtlTaskEntry entry, CtlArg a1, CtlArg a2, CtlArg a3,
                  CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7, CtlArg a8, CtlArg a9, CtlArg a10);

// The command area as the launcher sees it: the slot layout and the command
// IDs last read from it.
struct KorCommandArea : KorSlotLayout {
    std::int32_t ids[KOR_MAX_SLOTS];
};
// The launcher's start-up: globals, start parameters, banner, cleared command
// area, admin server task. Returns the area to poll.
KorCommandArea korLauncherStart();
// One pass of the poll loop: every pending command is handed to a new command
// task and its command ID is reset to 0.
void korPollCommandArea(KorCommandArea& area);
// Ticks between two passes (4 ms, at least one tick).
int korPollDelayTicks();

// The body of every command task: (command number, p4, p5, p6, p7, p0, p1, p2, p8, p3).
void korCommandInterpreter(CtlArg id, CtlArg p4, CtlArg p5, CtlArg p6, CtlArg p7, CtlArg p0,
                           CtlArg p1, CtlArg p2, CtlArg p8, CtlArg p3);

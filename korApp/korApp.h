// Program-wide values of ArvoKOR, set by the launcher before any other task runs.
#pragma once

#include <cstdint>

#include "ctl.h"

struct FtpConnection;

inline constexpr double KOR_VERSION = 1.32;
inline constexpr int KOR_ADMIN_PORT = 15000;
inline constexpr int KOR_POLL_MS = 4;
inline constexpr int KOR_MAX_SLOTS = 8;

// System clock ticks per millisecond.
extern int korSysClkRate;
// The one shared FTP connection of the FTP commands, or null.
extern FtpConnection* korFtpHandle;
// Header values sent at the start of every position stream.
extern std::int32_t korPosRecHeader[6];

// The launcher task and its helpers.
void korLauncher(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg);
int kor_readParameters(int* baseNumber, int* slotCount);
int korCreateTask(int priority, int stackSize, CtlTaskEntry entry, CtlArg a1, CtlArg a2, CtlArg a3,
                  CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7, CtlArg a8, CtlArg a9, CtlArg a10);

// The body of every command task: (command number, p4, p5, p6, p7, p0, p1, p2, p8, p3).
void korCommandInterpreter(CtlArg id, CtlArg p4, CtlArg p5, CtlArg p6, CtlArg p7, CtlArg p0,
                           CtlArg p1, CtlArg p2, CtlArg p8, CtlArg p3);

// The admin server task (port in the first argument).
void kor_startAdminTCPServer(CtlArg port, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                             CtlArg, CtlArg);

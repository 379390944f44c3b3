// Placeholder until this group of commands is built: the commands answer 254.
#include <cstdio>

#include "korCommands.h"
#include "korParams.h"

namespace {
void notBuilt(const KorCommand& cmd) {
    std::printf("Error - command %d is not available\r\n", static_cast<int>(cmd.id));
    korWriteResult(cmd.p[3], KOR_RES_FAILED);
}
}  // namespace

void korCmdFtpConnect(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdFtpDisconnect(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdFtpGetJob(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdFtpPutJob(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdFtpLoadGet(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdFtpLoadPut(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdPing(const KorCommand& cmd) { notBuilt(cmd); }

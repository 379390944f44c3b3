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

void korCmdCheckPattern(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdCheckPatternBinRes(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdCheckPatternBin(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdTelnetConnect(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdWaitPattern(const KorCommand& cmd) { notBuilt(cmd); }

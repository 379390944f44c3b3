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

void korCmdModbusRead(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdModbusWrite(const KorCommand& cmd) { notBuilt(cmd); }

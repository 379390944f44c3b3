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

void korCmdTcpConnect(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdSendData(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdTcpListen(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdCloseHandle(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdReadData(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdClearData(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdRs232Open(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdTcpIsAccepted(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdUdpBind(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdCloseAll(const KorCommand& cmd) { notBuilt(cmd); }
void korCmdRs232Test(const KorCommand& cmd) { notBuilt(cmd); }

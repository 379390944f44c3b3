// The command interpreter: the body of every command task. It looks the
// command number up in the table of handlers, runs the handler and ends the
// task.
#include <array>

#include "korApp.h"
#include "korCommands.h"
#include "korObserve.h"
#include "korParams.h"

namespace {

struct CommandEntry {
    std::int32_t id;
    const char* name;
    KorCommandHandler handler;
};

constexpr std::array<CommandEntry, 37> COMMANDS{{
    {1, "TCPCONNECT", korCmdTcpConnect},
    {2, "SENDDATA", korCmdSendData},
    {3, "TCPLISTEN", korCmdTcpListen},
    {4, "CLOSEHANDLE", korCmdCloseHandle},
    {5, "READDATA", korCmdReadData},
    {6, "CLEARDATA", korCmdClearData},
    {7, "RS232OPEN", korCmdRs232Open},
    {8, "INFO", korCmdInfo},
    {9, "CHECKPATTERN", korCmdCheckPattern},
    {11, "TCPISACCEPTED", korCmdTcpIsAccepted},
    {12, "UDPBIND", korCmdUdpBind},
    {13, "CHECKPATTERNBINRES", korCmdCheckPatternBinRes},
    {14, "CHECKPATTERNBIN", korCmdCheckPatternBin},
    {15, "FTPCONNECT", korCmdFtpConnect},
    {16, "FTPDISCONNECT", korCmdFtpDisconnect},
    {17, "FTPGETJOB", korCmdFtpGetJob},
    {18, "FTPPUTJOB", korCmdFtpPutJob},
    {20, "SMTP", korCmdSmtp},
    {21, "TELNETCONNECT", korCmdTelnetConnect},
    {22, "POSSTREAMCONFIG", korCmdPosStreamConfig},
    {23, "POSSTREAMSTART", korCmdPosStreamStart},
    {24, "POSSTREAMSTOP", korCmdPosStreamStop},
    {25, "TIMESTAMP", korCmdTimeStamp},
    {26, "SPEEDOUTSTART", korCmdSpeedOutStart},
    {27, "SPEEDOUTSTOP", korCmdSpeedOutStop},
    {28, "RVARTOBYTES", korCmdRVarToBytes},
    {29, "BYTESTORVAR", korCmdBytesToRVar},
    {30, "WAITPATTERN", korCmdWaitPattern},
    {31, "CLOSEALL", korCmdCloseAll},
    {32, "POSVARTYPE", korCmdPosVarType},
    {33, "POSRECHEADER", korCmdPosRecHeader},
    {34, "MODBUSREAD", korCmdModbusRead},
    {35, "MODBUSWRITE", korCmdModbusWrite},
    {36, "FTPLOADGET", korCmdFtpLoadGet},
    {37, "FTPLOADPUT", korCmdFtpLoadPut},
    {38, "PING", korCmdPing},
    {200, "RS232TEST", korCmdRs232Test},
}};

// The counters and the tools know the same commands as this table.
constexpr bool sameCommands() {
    if (COMMANDS.size() != KOR_COMMAND_COUNT) return false;
    for (const auto& entry : COMMANDS)
        if (korCommandIndex(entry.id) == KOR_COMMAND_COUNT) return false;
    return true;
}
static_assert(sameCommands());

const CommandEntry* findEntry(std::int32_t id) {
    for (const auto& entry : COMMANDS)
        if (entry.id == id) return &entry;
    return nullptr;
}

std::int32_t arg32(CtlArg a) { return static_cast<std::int32_t>(a); }

}  // namespace

KorCommandHandler korFindCommand(std::int32_t id) {
    const CommandEntry* entry = findEntry(id);
    return entry ? entry->handler : nullptr;
}

const char* korCommandName(std::int32_t id) {
    const CommandEntry* entry = findEntry(id);
    return entry ? entry->name : nullptr;
}

void korRunCommand(const KorCommand& cmd) {
    if (KorCommandHandler handler = korFindCommand(cmd.id)) handler(cmd);
    else korWriteResult(cmd.p[3], KOR_RES_UNKNOWN_COMMAND);
}

void korCommandInterpreter(CtlArg id, CtlArg p4, CtlArg p5, CtlArg p6, CtlArg p7, CtlArg p0,
                           CtlArg p1, CtlArg p2, CtlArg p8, CtlArg p3) {
    kor_commandAttach(kor_ticketOf(id));
    const KorCommand cmd{kor_commandIdOf(id),
                         {arg32(p0), arg32(p1), arg32(p2), arg32(p3), arg32(p4), arg32(p5),
                          arg32(p6), arg32(p7), arg32(p8)}};
    korRunCommand(cmd);
    kor_commandEnd();
    if (ctlDeleteTask(0) != 0) vx::perror("Error - ctlDeleteTask()");
}

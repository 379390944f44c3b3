// The commands a robot job can issue through the command area, one handler per
// command. Each handler runs in the command's own task, writes its result into
// B variable p[3] (or, for some, writes nothing) and returns; the interpreter
// then ends the task.
#pragma once

#include <cstdint>

#include "korResultClass.h"

// The command number and the slot's parameters p0 .. p8 (p9 reaches no command).
struct KorCommand {
    std::int32_t id;
    std::int32_t p[9];
};

using KorCommandHandler = void (*)(const KorCommand& cmd);

// Channel commands (cmdChannel.cpp).
void korCmdTcpConnect(const KorCommand& cmd);     // 1
void korCmdSendData(const KorCommand& cmd);       // 2
void korCmdTcpListen(const KorCommand& cmd);      // 3
void korCmdCloseHandle(const KorCommand& cmd);    // 4
void korCmdReadData(const KorCommand& cmd);       // 5
void korCmdClearData(const KorCommand& cmd);      // 6
void korCmdRs232Open(const KorCommand& cmd);      // 7
void korCmdTcpIsAccepted(const KorCommand& cmd);  // 11
void korCmdUdpBind(const KorCommand& cmd);        // 12
void korCmdCloseAll(const KorCommand& cmd);       // 31
void korCmdRs232Test(const KorCommand& cmd);      // 200

// Pattern and telnet commands (cmdPattern.cpp).
void korCmdCheckPattern(const KorCommand& cmd);        // 9
void korCmdCheckPatternBinRes(const KorCommand& cmd);  // 13
void korCmdCheckPatternBin(const KorCommand& cmd);     // 14
void korCmdTelnetConnect(const KorCommand& cmd);       // 21
void korCmdWaitPattern(const KorCommand& cmd);         // 30

// Information and variable conversion (cmdInfo.cpp).
void korCmdInfo(const KorCommand& cmd);         // 8
void korCmdRVarToBytes(const KorCommand& cmd);  // 28
void korCmdBytesToRVar(const KorCommand& cmd);  // 29
void korCmdPosVarType(const KorCommand& cmd);   // 32

// FTP, job transfer and ping (cmdFtp.cpp).
void korCmdFtpConnect(const KorCommand& cmd);     // 15
void korCmdFtpDisconnect(const KorCommand& cmd);  // 16
void korCmdFtpGetJob(const KorCommand& cmd);      // 17
void korCmdFtpPutJob(const KorCommand& cmd);      // 18
void korCmdFtpLoadGet(const KorCommand& cmd);     // 36
void korCmdFtpLoadPut(const KorCommand& cmd);     // 37
void korCmdPing(const KorCommand& cmd);           // 38

// Mail (cmdSmtp.cpp).
void korCmdSmtp(const KorCommand& cmd);  // 20

// Position streaming, speed output, time stamp, record header (cmdStream.cpp).
void korCmdPosStreamConfig(const KorCommand& cmd);  // 22
void korCmdPosStreamStart(const KorCommand& cmd);   // 23
void korCmdPosStreamStop(const KorCommand& cmd);    // 24
void korCmdTimeStamp(const KorCommand& cmd);        // 25
void korCmdSpeedOutStart(const KorCommand& cmd);    // 26
void korCmdSpeedOutStop(const KorCommand& cmd);     // 27
void korCmdPosRecHeader(const KorCommand& cmd);     // 33

// Modbus TCP (cmdModbus.cpp).
void korCmdModbusRead(const KorCommand& cmd);   // 34
void korCmdModbusWrite(const KorCommand& cmd);  // 35

// The handler of a command number, or null for numbers that are not defined.
KorCommandHandler korFindCommand(std::int32_t id);
// The name of a command number ("TCPCONNECT", ...), or null.
const char* korCommandName(std::int32_t id);
// Runs one command in the calling task: its handler, or result 240 for a
// number that is not defined. korCommandInterpreter is this plus the end of
// the task.
void korRunCommand(const KorCommand& cmd);

// Modbus TCP commands (34, 35): one exchange over an open TCP channel; the job
// gets 255 plus the client's result (255 success, 254 .. 248 failures).
#include <cstdint>

#include "korCommands.h"
#include "korParams.h"
#include "modbus.h"

namespace {
// The wait for a reply: all of it, or with modbus_wait = reply until the reply
// is complete.
constexpr int kReplyWaitMs = 200;
}  // namespace

// p2 handle, p1 function code, p7 address, p6 quantity, p4 first variable,
// p5 data type; a negative p5 selects the type of its magnitude, read little-endian.
void korCmdModbusRead(const KorCommand& cmd) {
    const std::int32_t typeParam = cmd.p[5];
    // The magnitude of the most negative value does not fit; it names no type anyway.
    const int dataType = typeParam < 0 ? (typeParam == INT32_MIN ? -1 : -typeParam) : typeParam;
    const int r = kor_ModBusRead(cmd.p[2], kReplyWaitMs, cmd.p[4], cmd.p[1], cmd.p[7], cmd.p[6],
                                 dataType, typeParam < 0 ? 1 : 0);
    korWriteResult(cmd.p[3], KOR_RES_DONE + r);
}

// p2 handle, p1 function code, p7 address, p6 count, p4 source, p5 byte-swap flag.
void korCmdModbusWrite(const KorCommand& cmd) {
    const int r = kor_ModBusWrite(cmd.p[2], kReplyWaitMs, cmd.p[4], cmd.p[6], cmd.p[1], cmd.p[7],
                                  cmd.p[5]);
    korWriteResult(cmd.p[3], KOR_RES_DONE + r);
}

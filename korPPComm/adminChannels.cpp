// The admin server's four channel operations on the channel table.
#include <cstdio>
#include <cstring>

#include "korHandleTable.h"
#include "korPPComm.h"
#include "korTransport.h"

int sendData(int handle, char* data, int length) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    // The table stays locked across the send so the channel cannot be released under it.
    KorTableLock lock(&korHandleTable);
    const KORHANDLE& h = korHandleTable.handles[handle];
    if (h.inUse != 1) return -1;
    switch (h.type) {
        case KORHDLTYPE_TCPCLIENT: return kor_startTCPSend(h.socket, data, length);
        case KORHDLTYPE_UDP:
            return kor_startUDPSend(h.socket, h.ipAddress, static_cast<unsigned>(h.port), data, length);
        case KORHDLTYPE_RS232: return kor_startRS232Send(h.socket, data, length);
        default: return -1;
    }
}

int clearHandleInputQueue(int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    KorTableLock lock(&korHandleTable);
    const KORHANDLE& h = korHandleTable.handles[handle];
    if (h.inUse != 1) return 0;
    return KORCHQUE_Clear(h.inputQueue) == 0 ? 0 : -1;
}

int closeHandle(int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    return KORHDLTBL_RequestClose(&korHandleTable, handle) == 0 ? 0 : -1;
}

namespace {

void putNumber(char* record, int offset, int value) {
    // A text field: the value as "%d", NULs up to its 12 bytes.
    std::snprintf(record + offset, 12, "%d", value);
}

void putRaw(char* record, int offset, const char* field, int size) {
    std::memcpy(record + offset, field, static_cast<size_t>(size));
}

}  // namespace

int readoutHandleData(char* record, int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    std::memset(record, 0, KOR_ADMIN_READOUT_SIZE);
    KorTableLock lock(&korHandleTable);
    const KORHANDLE& h = korHandleTable.handles[handle];
    if (h.inUse != 1) return -1;
    putNumber(record, 0, handle);
    putNumber(record, 12, h.socket);
    putNumber(record, 24, h.reserved);
    putNumber(record, 36, h.inUse);
    putRaw(record, 48, h.ipAddress, KORHANDLE_IPADDRESS_SIZE);
    putNumber(record, 64, h.listenHandle);
    putNumber(record, 76, h.type);
    putNumber(record, 88, h.taskId);
    putRaw(record, 100, h.taskName, KORHANDLE_TASKNAME_SIZE);
    putRaw(record, 132, h.pipeName, KORHANDLE_PIPENAME_SIZE);
    putNumber(record, 172, h.pipeFd);
    putNumber(record, 184, h.port);
    putNumber(record, 196, h.inputQueue ? h.inputQueue->count : 0);
    return 0;
}

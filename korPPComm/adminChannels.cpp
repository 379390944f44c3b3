// The admin server's four channel operations on the channel table.
#include <cstdio>
#include <cstring>

#include "korHandleTable.h"
#include "korPPComm.h"

int sendData(int handle, char* data, int length) {
    const int rc = KORHDLTBL_Send(&korHandleTable, handle, data, length, -1);
    return rc == KORHDLTBL_NO_LOCK ? -1 : rc;
}

int clearHandleInputQueue(int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    const int rc = KORHDLTBL_ClearInput(&korHandleTable, handle);
    return rc == 1 ? -1 : 0;  // a channel not in use has nothing to clear
}

int closeHandle(int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    return KORHDLTBL_RequestClose(&korHandleTable, handle) == 0 ? 0 : -1;
}

namespace {

void putNumber(char* record, KorReadoutItem item, int value) {
    const KorReadoutField& f = KOR_READOUT_FIELDS[item];
    std::snprintf(record + f.offset, static_cast<size_t>(f.size), "%d", value);
}

void putRaw(char* record, KorReadoutItem item, const char* field) {
    const KorReadoutField& f = KOR_READOUT_FIELDS[item];
    std::memcpy(record + f.offset, field, static_cast<size_t>(f.size));
}

// The record copies these table fields whole.
static_assert(KOR_READOUT_FIELDS[KOR_RO_IP_ADDRESS].size == KORHANDLE_IPADDRESS_SIZE);
static_assert(KOR_READOUT_FIELDS[KOR_RO_TASK_NAME].size == KORHANDLE_TASKNAME_SIZE);
static_assert(KOR_READOUT_FIELDS[KOR_RO_PIPE_NAME].size == KORHANDLE_PIPENAME_SIZE);

}  // namespace

int readoutHandleData(char* record, int handle) {
    if (!KORHDLTBL_InRange(handle)) return -1;
    std::memset(record, 0, KOR_ADMIN_READOUT_SIZE);
    KorTableLock lock(&korHandleTable);
    const KORHANDLE* found = lock.find(handle);
    if (found == nullptr) return -1;
    const KORHANDLE& h = *found;
    putNumber(record, KOR_RO_HANDLE, handle);
    putNumber(record, KOR_RO_SOCKET, h.socket);
    putNumber(record, KOR_RO_RESERVED, h.reserved);
    putNumber(record, KOR_RO_IN_USE, h.inUse);
    putRaw(record, KOR_RO_IP_ADDRESS, h.ipAddress);
    putNumber(record, KOR_RO_LISTEN_HANDLE, h.listenHandle);
    putNumber(record, KOR_RO_TYPE, h.type);
    putNumber(record, KOR_RO_TASK_ID, h.taskId);
    putRaw(record, KOR_RO_TASK_NAME, h.taskName);
    putRaw(record, KOR_RO_PIPE_NAME, h.pipeName);
    putNumber(record, KOR_RO_PIPE_FD, h.pipeFd);
    putNumber(record, KOR_RO_PORT, h.port);
    putNumber(record, KOR_RO_QUEUED, h.inputQueue ? h.inputQueue->count : 0);
    return 0;
}

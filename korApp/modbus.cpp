// Modbus TCP exchanges over an open TCP channel of the channel table.
#include <array>
#include <cstdint>

#include "ctl.h"
#include "funclib.h"
#include "korApp.h"
#include "korChQue.h"
#include "korHandleTable.h"
#include "korModbusFrame.h"
#include "korObserve.h"
#include "korTransport.h"
#include "modbus.h"

namespace {

using Frame = std::array<std::uint8_t, KOR_MODBUS_BUFFER_SIZE>;

constexpr int kTransactionId = 1;
constexpr int kUnitId = 1;

constexpr int kChannelClosed = -1000;

// Sends the frame on the channel; kChannelClosed when it is not open, else
// the transport's result.
int sendOnChannel(int handle, Frame& frame, int length) {
    const KorChannelGuard channel(&korHandleTable, handle);
    if (!channel.open()) return kChannelClosed;
    int socket = -1;
    int type = KORHDLTYPE_TCPCLIENT;
    {
        KorTableLock table(&korHandleTable);
        if (const KORHANDLE* h = table.find(channel.id())) {
            socket = h->socket;
            type = h->type;
        }
    }
    const int rc = kor_startTCPSend(socket, reinterpret_cast<char*>(frame.data()), length);
    kor_noteSent(handle, type, reinterpret_cast<char*>(frame.data()), length, rc);
    return rc;
}

// Takes what the channel's input queue holds into the frame buffer (over the
// request); kChannelClosed when the channel is not open, else the byte count.
int takeReply(int handle, Frame& frame) {
    const KorChannelGuard channel(&korHandleTable, handle);
    if (!channel.open()) return kChannelClosed;
    const int n = KORHDLTBL_PopInput(&korHandleTable, channel.id(),
                                     reinterpret_cast<char*>(frame.data()), KOR_MODBUS_BUFFER_SIZE);
    return n > 0 ? n : 0;
}

void waitForReply(int waitMs) {
    if (waitMs > 0) ctlTaskDelay(ctlMsToTicks(waitMs));
}

void storeItems(int firstVar, int dataType, const KorModbusItem* items, int n) {
    for (int i = 0; i < n; ++i) {
        const auto var = static_cast<std::uint16_t>(firstVar + i);
        if (dataType == KOR_MODBUS_TYPE_REAL) SetRVar(var, items[i].real);
        else SetDVar(var, items[i].value);
    }
}

// The low 16 bits of D variable `var`; false when it cannot be read.
bool readRegisterSource(int var, std::int32_t* value) {
    std::int32_t slot = 0;
    if (GetDVar(static_cast<std::uint16_t>(var), &slot) != 0) return false;
    *value = slot;
    return true;
}

// Builds the write request for the function code into frame; returns the frame
// length, or -3 when the request cannot be built.
int buildWrite(Frame& frame, int source, int quantity, int functionCode, int startAddress,
               bool swapBytes) {
    int length = 0;
    switch (functionCode) {
        case 5: {
            kor_CreateModBusWriteHeader(frame.data(), &length, kTransactionId, kUnitId,
                                        startAddress, 0, 1, functionCode);
            const CtlIoInfo info{static_cast<std::uint32_t>(source)};
            std::uint16_t signal = 0;
            if (ctlReadIO(&info, &signal, 1) != 0) return -3;
            frame[10] = signal != 0 ? 0xff : 0x00;
            frame[11] = 0x00;
            return 12;
        }
        case 6: {
            kor_CreateModBusWriteHeader(frame.data(), &length, kTransactionId, kUnitId,
                                        startAddress, 0, 1, functionCode);
            std::int32_t value = 0;
            if (!readRegisterSource(source, &value)) return -3;
            kor_ModBusPutRegister(frame.data() + 10, value, swapBytes);
            return 12;
        }
        case 15: {
            if (quantity < 0) return -3;
            const int coils = quantity > KOR_MODBUS_MAX_COILS ? KOR_MODBUS_MAX_COILS : quantity;
            const int byteCount = kor_ModBusCoilByteCount(coils);
            kor_CreateModBusWriteHeader(frame.data(), &length, kTransactionId, kUnitId,
                                        startAddress, coils, byteCount, functionCode);
            std::array<std::uint32_t, KOR_MODBUS_MAX_COILS> addresses{};
            kor_ModBusCoilAddresses(static_cast<std::uint32_t>(source), coils, addresses.data());
            std::array<CtlIoInfo, KOR_MODBUS_MAX_COILS> info{};
            for (int i = 0; i < coils; ++i) info[i].address = addresses[i];
            std::array<std::uint16_t, KOR_MODBUS_MAX_COILS> signals{};
            if (ctlReadIO(info.data(), signals.data(), coils) != 0) return -3;
            kor_ModBusPackCoils(signals.data(), coils, frame.data() + length);
            return length + byteCount;
        }
        case 16: {
            // The byte count field holds 8 bits: more registers cannot be announced.
            if (quantity < 0 || quantity > KOR_MODBUS_MAX_REGISTERS) return -3;
            kor_CreateModBusWriteHeader(frame.data(), &length, kTransactionId, kUnitId,
                                        startAddress, quantity, 2 * quantity, functionCode);
            for (int i = 0; i < quantity; ++i) {
                std::int32_t value = 0;
                if (!readRegisterSource(source + i, &value)) return -3;
                kor_ModBusPutRegister(frame.data() + length + 2 * i, value, swapBytes);
            }
            return length + 2 * quantity;
        }
        default: return -3;
    }
}

}  // namespace

int kor_ModBusRead(int handle, int waitMs, int firstVar, int functionCode, int startAddress,
                   int quantity, int dataType, int swapFlag) {
    if (firstVar < 0) return -1;
    Frame frame{};
    int length = 0;
    kor_CreateModBusReadHeader(frame.data(), &length, kTransactionId, kUnitId, startAddress,
                               quantity, functionCode);
    if (!KORHDLTBL_InRange(handle)) return -1;

    const int sent = sendOnChannel(handle, frame, length);
    if (sent == kChannelClosed) return -1;
    if (sent < 0) return -2;

    waitForReply(waitMs);

    const int received = takeReply(handle, frame);
    if (received == kChannelClosed) return -1;
    if (received == 0) return -3;
    if (kor_ModBusReplyFailed(frame.data(), received)) {
        kor_ModBusPrintReplyError(frame.data(), received);
        return -4;
    }
    std::array<KorModbusItem, KOR_MODBUS_MAX_ITEMS> items{};
    const int n = kor_ModBusDecodeReadReply(frame.data(), received, dataType, swapFlag != 0,
                                            items.data());
    storeItems(firstVar, dataType, items.data(), n);
    return 0;
}

int kor_ModBusWrite(int handle, int waitMs, int source, int quantity, int functionCode,
                    int startAddress, int swapFlag) {
    Frame frame{};
    if (source < 0) return -1;
    if (!KORHDLTBL_InRange(handle)) return -2;

    const int length = buildWrite(frame, source, quantity, functionCode, startAddress,
                                  swapFlag != 0);
    if (length < 0) return length;

    const int sent = sendOnChannel(handle, frame, length);
    if (sent == kChannelClosed) return -5;
    if (sent < 0) return -4;

    waitForReply(waitMs);

    const int received = takeReply(handle, frame);
    if (received == kChannelClosed) return -6;
    if (!kor_ModBusReplyFailed(frame.data(), received)) return 0;
    kor_ModBusPrintReplyError(frame.data(), received);
    return -7;
}

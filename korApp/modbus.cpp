// Modbus TCP exchanges over an open TCP or UDP channel of the channel table
// (over UDP one datagram per request, the same framing).
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "funclib.h"
#include "korApp.h"
#include "korChQue.h"
#include "korHandleTable.h"
#include "korModbusFrame.h"
#include "modbus.h"

namespace {

using Frame = std::array<std::uint8_t, KOR_MODBUS_BUFFER_SIZE>;

constexpr int kUnitId = 1;

constexpr int kChannelClosed = -1000;
constexpr int kNoModbus = -1001;

// Every request gets a transaction id of its own, so that a late reply to an
// earlier request is told apart from the answer awaited now; with the setting
// modbus_transaction = fixed every request carries id 1 and a reply with any
// id counts, for devices that answer with a fixed id or echo none.
KorModbusExpect expectReply(int functionCode, int byteCount) {
    static std::atomic<std::uint16_t> last{0};
    CtlPeerSettings peers{};
    ctlGetPeerSettings(&peers);
    if (peers.modbusFixedTransaction) return {1, kUnitId, functionCode, byteCount, true};
    return {last.fetch_add(1) + 1, kUnitId, functionCode, byteCount, false};
}

// What the queue held when no reply to the request was in it.
struct Miss {
    int otherId = -1;  // a whole reply but for its transaction id: that id
    bool cut = false;  // the start of the reply, cut short
    int function = 0;  // byte 7 of the cut reply (the request's own when it is shorter)
};

// A whole reply with another transaction id among the `have` bytes.
void noteOtherId(const Frame& frame, int have, const KorModbusExpect& expect, Miss* miss) {
    if (expect.anyTransaction) return;
    KorModbusExpect any = expect;
    any.anyTransaction = true;
    int length = 0;
    const int at = kor_ModBusFindReply(frame.data(), have, any, &length);
    if (at >= 0) miss->otherId = frame[at] << 8 | frame[at + 1];
}

// The last `have` bytes taken: a reply to the request cut short?
void noteCut(const Frame& frame, int have, const KorModbusExpect& expect, Miss* miss) {
    const int at = kor_ModBusFindCutReply(frame.data(), have, expect);
    if (at < 0) return;
    miss->cut = true;
    miss->function = have - at > KOR_MODBUS_FUNCTION ? frame[at + KOR_MODBUS_FUNCTION]
                                                     : expect.functionCode;
}

// Channel openings already told about replies dropped for their id: the
// console says it once per channel.
std::array<std::atomic<std::uint32_t>, KORHDLTBL_SIZE> toldOpening{};

void reportOtherId(const KorChannelId& id, const KorModbusExpect& expect, const Miss& miss) {
    if (miss.otherId < 0) return;
    if (toldOpening[id.handle].exchange(id.generation) == id.generation) return;
    std::printf(
        "Modbus channel %d: a reply with transaction id %d dropped (the request had %d); "
        "a device that answers with a fixed id needs modbus_transaction = fixed\r\n",
        id.handle, miss.otherId, expect.transactionId);
}

// Looks through what the channel's input queue holds for the reply to the
// request, after the `*have` bytes already taken into frame: the reply is
// moved to the start of frame and its length returned; 0 when it has not
// arrived (whatever else was queued is dropped, up to a tail that may be the
// start of the reply, kept in frame and counted in *have; *miss notes a reply
// with another id); kChannelClosed when the channel is no longer the opening
// the request went out on.
int takeReply(const KorChannelId& id, Frame& frame, int* have, const KorModbusExpect& expect,
              Miss* miss) {
    const KorChannelGuard channel(&korHandleTable, id.handle);
    if (!channel.open() || channel.id().generation != id.generation) return kChannelClosed;
    for (;;) {
        const int n = KORHDLTBL_PopInput(&korHandleTable, id,
                                         reinterpret_cast<char*>(frame.data()) + *have,
                                         KOR_MODBUS_BUFFER_SIZE - *have);
        if (n < 0) return kChannelClosed;
        if (n == 0) return 0;
        *have += n;
        int length = 0;
        const int at = kor_ModBusFindReply(frame.data(), *have, expect, &length);
        if (at >= 0) {
            std::memmove(frame.data(), frame.data() + at, static_cast<std::size_t>(length));
            return length;
        }
        noteOtherId(frame, *have, expect, miss);
        // Keep the tail that may be the start of the reply.
        const int keep = *have < KOR_MODBUS_MAX_FRAME ? *have : KOR_MODBUS_MAX_FRAME - 1;
        std::memmove(frame.data(), frame.data() + *have - keep, static_cast<std::size_t>(keep));
        *have = keep;
    }
}

// Sends the request on the channel's current opening (which *id receives)
// through the channels' one send, after dropping what its queue still holds
// (replies that came too late). kChannelClosed when the channel is not open,
// kNoModbus for a channel that cannot carry the request, else the transport's
// result.
int sendRequest(int handle, Frame& frame, int length, KorChannelId* id) {
    const KorChannelSend pin(&korHandleTable, handle);
    if (pin.status() != 0) return kChannelClosed;
    if ((KORHDLTBL_MODBUS_SENDS & korSendKind(pin.type())) == 0) {
        std::printf("Error - Modbus on handle %d: the channel cannot carry Modbus/TCP\r\n", handle);
        return kNoModbus;
    }
    *id = pin.id();
    {
        const KorTableLock table(&korHandleTable);
        if (!KORHDLTBL_DrainInput(table, *id)) return kChannelClosed;
    }
    return KORHDLTBL_Send(pin, reinterpret_cast<char*>(frame.data()), length,
                          KORHDLTBL_MODBUS_SENDS, -1);
}

// modbus_wait = reply: the exchange ends once its reply is complete.
bool endsOnReply() {
    CtlPeerSettings peers{};
    ctlGetPeerSettings(&peers);
    return peers.modbusWaitReply;
}

// The channel's data-arrival signal; 0 when the opening is gone.
CtlMsgQId arrivalSignal(const KorChannelId& id) {
    const KorTableLock table(&korHandleTable);
    const KORHANDLE* h = table.find(id);
    return h != nullptr ? h->msgQ : 0;
}

// Takes the reply as soon as it is complete, woken by each arrival of bytes
// on the channel, for at most `ticks`. 0 when it did not come in time (or
// the wait failed: the rest of the time then passes as the fixed wait).
int takeOnArrival(const KorChannelId& id, int ticks, Frame& frame, int* have,
                  const KorModbusExpect& expect, Miss* miss) {
    const std::int64_t deadline = vx::tickGet() + ticks;
    const CtlMsgQId arrival = arrivalSignal(id);
    for (;;) {
        const std::int64_t left = deadline - vx::tickGet();
        if (left <= 0) return 0;
        char signal = 0;
        if (arrival == 0 || ctlMsgQReceive(arrival, &signal, 1, static_cast<int>(left)) < 0) {
            const std::int64_t rest = deadline - vx::tickGet();
            if (rest > 0) ctlTaskDelay(static_cast<int>(rest));
            return 0;
        }
        const int received = takeReply(id, frame, have, expect, miss);
        if (received != 0) return received;
    }
}

// Waits for the reply to the request sent on id (the fixed wait, or until it
// is complete with modbus_wait = reply, never longer) and takes it into
// frame: its length, 0 when none came (*miss tells what did), kChannelClosed.
int awaitReply(const KorChannelId& id, int waitMs, Frame& frame, const KorModbusExpect& expect,
               Miss* miss) {
    const int ticks = ctlMsToTicks(waitMs);
    int have = 0;
    int received = 0;
    if (endsOnReply()) received = takeOnArrival(id, ticks, frame, &have, expect, miss);
    else if (ticks > 0) ctlTaskDelay(ticks);
    if (received == 0) received = takeReply(id, frame, &have, expect, miss);
    if (received == 0) noteCut(frame, have, expect, miss);
    return received;
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
int buildWrite(Frame& frame, int transactionId, int source, int quantity, int functionCode,
               int startAddress, bool swapBytes) {
    int length = 0;
    switch (functionCode) {
        case 5: {
            kor_CreateModBusWriteHeader(frame.data(), &length, transactionId, kUnitId, startAddress,
                                        0, 1, functionCode);
            const CtlIoInfo info{static_cast<std::uint32_t>(source)};
            std::uint16_t signal = 0;
            if (ctlReadIO(&info, &signal, 1) != 0) return -3;
            frame[10] = signal != 0 ? 0xff : 0x00;
            frame[11] = 0x00;
            return 12;
        }
        case 6: {
            kor_CreateModBusWriteHeader(frame.data(), &length, transactionId, kUnitId, startAddress,
                                        0, 1, functionCode);
            std::int32_t value = 0;
            if (!readRegisterSource(source, &value)) return -3;
            kor_ModBusPutRegister(frame.data() + 10, value, swapBytes);
            return 12;
        }
        case 15: {
            if (quantity < 0) return -3;
            const int coils = quantity > KOR_MODBUS_MAX_COILS ? KOR_MODBUS_MAX_COILS : quantity;
            const int byteCount = kor_ModBusCoilByteCount(coils);
            kor_CreateModBusWriteHeader(frame.data(), &length, transactionId, kUnitId, startAddress,
                                        coils, byteCount, functionCode);
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
            kor_CreateModBusWriteHeader(frame.data(), &length, transactionId, kUnitId, startAddress,
                                        quantity, 2 * quantity, functionCode);
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
    const KorModbusExpect expect = expectReply(functionCode,
                                               kor_ModBusReadByteCount(functionCode, quantity));
    kor_CreateModBusReadHeader(frame.data(), &length, expect.transactionId, kUnitId, startAddress,
                               quantity, functionCode);
    if (!KORHDLTBL_InRange(handle)) return -1;

    KorChannelId id;
    const int sent = sendRequest(handle, frame, length, &id);
    if (sent == kChannelClosed || sent == kNoModbus) return -1;
    if (sent < 0) return -2;

    Miss miss;
    const int received = awaitReply(id, waitMs, frame, expect, &miss);
    if (received == kChannelClosed) return -1;
    if (received == 0) {
        reportOtherId(id, expect, miss);
        if (!miss.cut) return -3;
        std::printf("Error %d\r\n", miss.function);  // a reply shorter than its frame
        return -4;
    }
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

    const KorModbusExpect expect = expectReply(functionCode, -1);
    const int length = buildWrite(frame, expect.transactionId, source, quantity, functionCode,
                                  startAddress, swapFlag != 0);
    if (length < 0) return length;

    KorChannelId id;
    const int sent = sendRequest(handle, frame, length, &id);
    if (sent == kNoModbus) return -1;
    if (sent == kChannelClosed) return -5;
    if (sent < 0) return -4;

    Miss miss;
    const int received = awaitReply(id, waitMs, frame, expect, &miss);
    if (received == kChannelClosed) return -6;
    if (received == 0) {
        reportOtherId(id, expect, miss);
        std::printf("Error %d\r\n", miss.cut ? miss.function : functionCode);
        return -7;
    }
    if (!kor_ModBusReplyFailed(frame.data(), received)) return 0;
    kor_ModBusPrintReplyError(frame.data(), received);
    return -7;
}

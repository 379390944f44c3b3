// Modbus TCP frame headers, byte order, reply decoding and write bodies.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "korModbusFrame.h"

namespace {

void put16(std::uint8_t* at, int value) {
    at[0] = static_cast<std::uint8_t>((value >> 8) & 0xff);
    at[1] = static_cast<std::uint8_t>(value & 0xff);
}

// Transaction id, protocol id 0, length field, unit id, function code.
void putMbap(std::uint8_t* buf, int transactionId, int lengthField, int unitId, int functionCode) {
    put16(buf + 0, transactionId);
    put16(buf + 2, 0);
    put16(buf + 4, lengthField);
    buf[6] = static_cast<std::uint8_t>(unitId);
    buf[KOR_MODBUS_FUNCTION] = static_cast<std::uint8_t>(functionCode);
}

// Reads `size` bytes big-endian (reversed first with swapBytes).
std::uint32_t readItem(const std::uint8_t* at, int size, bool swapBytes) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, at, static_cast<std::size_t>(size));
    if (swapBytes) swap(bytes, size);
    std::uint32_t v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | bytes[i];
    return v;
}

KorModbusItem decodeItem(std::uint32_t raw, int dataType) {
    KorModbusItem item{0, 0.0f};
    switch (dataType) {
        case 0: item.value = static_cast<std::int32_t>(raw & 0xff); break;
        // A signed byte: the sign extension is the point.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
        case 1: item.value = static_cast<std::int8_t>(raw & 0xff); break;
        case 2: item.value = static_cast<std::int32_t>(raw & 0xffff); break;
        case 3: item.value = static_cast<std::int16_t>(raw & 0xffff); break;
        case 4: item.value = static_cast<std::int32_t>(raw); break;
        default: item.real = static_cast<float>(static_cast<std::int32_t>(raw)); break;
    }
    return item;
}

}  // namespace

void kor_CreateModBusReadHeader(std::uint8_t* buf, int* length, int transactionId, int unitId,
                                int startAddress, int quantity, int functionCode) {
    putMbap(buf, transactionId, 6, unitId, functionCode);
    put16(buf + 8, startAddress);
    put16(buf + 10, quantity);
    *length = KOR_MODBUS_READ_HEADER_LENGTH;
}

void kor_CreateModBusWriteHeader(std::uint8_t* buf, int* length, int transactionId, int unitId,
                                 int startAddress, int quantity, int byteCount, int functionCode) {
    const bool multiple = functionCode > 14;
    putMbap(buf, transactionId, byteCount + (multiple ? 7 : 5), unitId, functionCode);
    put16(buf + 8, startAddress);
    if (!multiple) {
        *length = KOR_MODBUS_SINGLE_HEADER_LENGTH;
        return;
    }
    put16(buf + 10, quantity);
    buf[12] = static_cast<std::uint8_t>(byteCount);
    *length = KOR_MODBUS_MULTI_HEADER_LENGTH;
}

void swap(void* bytes, int n) {
    auto* b = static_cast<std::uint8_t*>(bytes);
    for (int i = 0; i < n / 2; ++i) std::swap(b[i], b[n - 1 - i]);
}

int kor_ModBusItemSize(int dataType) {
    switch (dataType) {
        case 0:
        case 1: return 1;
        case 2:
        case 3: return 2;
        case 4:
        case 5: return 4;
        default: return 0;
    }
}

int kor_ModBusDecodeReadReply(const std::uint8_t* reply, int received, int dataType, bool swapBytes,
                              KorModbusItem* out) {
    const int size = kor_ModBusItemSize(dataType);
    if (size == 0 || received <= KOR_MODBUS_BYTE_COUNT) return 0;
    // Decode what the device announced, but never past what arrived.
    const int announced = reply[KOR_MODBUS_BYTE_COUNT];
    const int data = std::min(announced, received - KOR_MODBUS_DATA);
    int n = 0;
    for (int p = 0; p < data && n < KOR_MODBUS_MAX_ITEMS; p += size, ++n) {
        if (data - p < size) {
            out[n] = KorModbusItem{-1, -1.0f};
            continue;
        }
        out[n] = decodeItem(readItem(reply + KOR_MODBUS_DATA + p, size, swapBytes), dataType);
    }
    return n;
}

int kor_ModBusReadByteCount(int functionCode, int quantity) {
    return functionCode <= 2 ? kor_ModBusCoilByteCount(quantity) : 2 * quantity;
}

namespace {

int get16(const std::uint8_t* at) { return (at[0] << 8) | at[1]; }

// The length of the frame at `at` (n bytes on) when it is a whole answer to
// the request; 0 otherwise.
int matchingFrameLength(const std::uint8_t* at, int n, const KorModbusExpect& expect) {
    if (n < KOR_MODBUS_DATA) return 0;
    if (!expect.anyTransaction && get16(at) != (expect.transactionId & 0xffff)) return 0;
    if (get16(at + 2) != 0) return 0;
    if (at[6] != expect.unitId) return 0;
    const int lengthField = get16(at + 4);
    const int frame = 6 + lengthField;
    if (lengthField < 3 || frame > KOR_MODBUS_MAX_FRAME || frame > n) return 0;
    const int function = at[KOR_MODBUS_FUNCTION];
    if (function == (expect.functionCode | KOR_MODBUS_EXCEPTION_FLAG)) return frame;
    if (function != expect.functionCode) return 0;
    if (expect.byteCount < 0) return lengthField == 6 ? frame : 0;
    return at[KOR_MODBUS_BYTE_COUNT] == expect.byteCount ? frame : 0;
}

// Whether the n bytes at `at` agree with the start of a reply to the request
// as far as they go (transaction id, protocol 0, unit, function code).
bool beginsAsReply(const std::uint8_t* at, int n, const KorModbusExpect& expect) {
    std::uint8_t header[KOR_MODBUS_FUNCTION];
    put16(header, expect.transactionId);
    put16(header + 2, 0);
    for (int i = 0; i < n && i < KOR_MODBUS_FUNCTION; ++i) {
        const bool id = i < 2;
        const bool length = i == 4 || i == 5;
        if (length || (id && expect.anyTransaction)) continue;
        const std::uint8_t want = i == 6 ? static_cast<std::uint8_t>(expect.unitId) : header[i];
        if (at[i] != want) return false;
    }
    if (n <= KOR_MODBUS_FUNCTION) return true;
    const int function = at[KOR_MODBUS_FUNCTION];
    return function == expect.functionCode ||
           function == (expect.functionCode | KOR_MODBUS_EXCEPTION_FLAG);
}

}  // namespace

int kor_ModBusFindCutReply(const std::uint8_t* buf, int received, const KorModbusExpect& expect) {
    for (int at = 0; at < received; ++at) {
        const int n = received - at;
        if (n > KOR_MODBUS_MAX_FRAME) continue;
        // A short tail after other bytes is too likely a stray one.
        if (at > 0 && n <= KOR_MODBUS_FUNCTION) break;
        if (!beginsAsReply(buf + at, n, expect)) continue;
        const int frame = n >= 6 ? 6 + get16(buf + at + 4) : KOR_MODBUS_MAX_FRAME;
        if (frame > n) return at;
    }
    return -1;
}

int kor_ModBusFindReply(const std::uint8_t* buf, int received, const KorModbusExpect& expect,
                        int* length) {
    for (int at = 0; at + KOR_MODBUS_DATA <= received; ++at) {
        const int frame = matchingFrameLength(buf + at, received - at, expect);
        if (frame > 0) {
            *length = frame;
            return at;
        }
    }
    return -1;
}

bool kor_ModBusReplyFailed(const std::uint8_t* reply, int received) {
    return received < 8 || reply[KOR_MODBUS_FUNCTION] > KOR_MODBUS_EXCEPTION_FLAG;
}

void kor_ModBusPrintReplyError(const std::uint8_t* reply, int received) {
    if (received > 8)
        std::printf("Error %d Exception %d\r\n", reply[KOR_MODBUS_FUNCTION],
                    reply[KOR_MODBUS_BYTE_COUNT]);
    else std::printf("Error %d\r\n", reply[KOR_MODBUS_FUNCTION]);
}

void kor_ModBusCoilAddresses(std::uint32_t first, int count, std::uint32_t* out) {
    std::uint32_t candidate = first;
    for (int i = 0; i < count; ++i) {
        if (candidate % 10 >= 8) candidate += 10 - candidate % 10;
        out[i] = candidate;
        ++candidate;
    }
}

int kor_ModBusCoilByteCount(int count) { return count / 8 + (count % 8 != 0 ? 1 : 0); }

void kor_ModBusPackCoils(const std::uint16_t* signals, int count, std::uint8_t* out) {
    for (int i = 0; i < count; ++i)
        if (signals[i] != 0) out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (1u << (i % 8)));
}

void kor_ModBusPutRegister(std::uint8_t* out, std::int32_t value, bool swapBytes) {
    std::uint16_t v = static_cast<std::uint16_t>(value & 0xffff);
    if (swapBytes) swap(&v, 2);  // the two bytes of the register exchange places
    put16(out, v);
}

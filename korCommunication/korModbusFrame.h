// Modbus TCP frames: the request headers the client builds, the byte-order
// helper, and the pure pieces of request bodies and read replies. Everything
// here works on caller buffers only; the exchange itself is in korApp/modbus.h.
//
// Every multi-byte field on the wire is big-endian.
#pragma once

#include <cstdint>

// One buffer per operation holds the request and afterwards the reply.
inline constexpr int KOR_MODBUS_BUFFER_SIZE = 1024;
// Offsets in a frame: MBAP header (7 bytes), function code, then the PDU.
inline constexpr int KOR_MODBUS_FUNCTION = 7;
inline constexpr int KOR_MODBUS_BYTE_COUNT = 8;  // read reply; exception code in an exception reply
inline constexpr int KOR_MODBUS_DATA = 9;        // data of a read reply
inline constexpr int KOR_MODBUS_EXCEPTION_FLAG = 0x80;

inline constexpr int KOR_MODBUS_READ_HEADER_LENGTH = 12;
inline constexpr int KOR_MODBUS_SINGLE_HEADER_LENGTH = 10;  // function codes up to 14
inline constexpr int KOR_MODBUS_MULTI_HEADER_LENGTH = 13;   // function codes above 14

// Most coils one write of function code 15 carries.
inline constexpr int KOR_MODBUS_MAX_COILS = 128;
// Most registers one write of function code 16 can carry: the byte count field
// holds 8 bits (2 * 127 <= 255), which is also well inside the frame buffer.
inline constexpr int KOR_MODBUS_MAX_REGISTERS = 127;

// Builds the 12-byte read request: transaction id, protocol 0, length 6, unit,
// function code, start address, quantity. *length = 12.
void kor_CreateModBusReadHeader(std::uint8_t* buf, int* length, int transactionId, int unitId,
                                int startAddress, int quantity, int functionCode);

// Builds a write header. Function codes above 14 carry quantity and byte count
// (length field byteCount + 7, *length = 13); the others only the start address
// (length field byteCount + 5, *length = 10, the caller appends the 2-byte value).
void kor_CreateModBusWriteHeader(std::uint8_t* buf, int* length, int transactionId, int unitId,
                                 int startAddress, int quantity, int byteCount, int functionCode);

// Reverses the order of n bytes in place.
void swap(void* bytes, int n);

// ------------------------------------------------------------ read replies

// Data types of a read: 0 u8, 1 s8, 2 u16, 3 s16, 4 s32, 5 s32 as a real.
inline constexpr int KOR_MODBUS_TYPE_REAL = 5;
// Bytes one item of the data type takes; 0 for a type outside 0..5.
int kor_ModBusItemSize(int dataType);

// One decoded item: `value` for types 0..4, `real` for type 5.
struct KorModbusItem {
    std::int32_t value;
    float real;
};
// Most items one reply can hold: an 8-bit byte count of 1-byte items.
inline constexpr int KOR_MODBUS_MAX_ITEMS = 255;

// Decodes the data of a read reply of `received` bytes (the caller has checked
// that it is not an exception and holds at least 8 bytes). Only data that both
// the byte count announces and that actually arrived is decoded; an item cut
// short by the end of that data is -1 (-1.0 for reals). With swapBytes each
// item's bytes are reversed after the big-endian read. Returns the number of
// items written into out (room for KOR_MODBUS_MAX_ITEMS); 0 for an unknown type.
int kor_ModBusDecodeReadReply(const std::uint8_t* reply, int received, int dataType, bool swapBytes,
                              KorModbusItem* out);

// What the reply to one request must carry: the request's transaction id
// (any id with anyTransaction, for devices that answer with a fixed one),
// unit and function code (or the function code with the exception flag), and
// for a read the byte count the quantity asks for; byteCount -1 for a write,
// whose reply is always 12 bytes.
struct KorModbusExpect {
    int transactionId;
    int unitId;
    int functionCode;
    int byteCount;
    bool anyTransaction = false;
};
// The byte count of a read reply to `quantity` items of function code 1..4.
int kor_ModBusReadByteCount(int functionCode, int quantity);
// Longest frame that can be a reply: MBAP header and the longest PDU.
inline constexpr int KOR_MODBUS_MAX_FRAME = 260;
// Looks through `received` bytes for the first complete frame that answers
// the request (a reply of another request, a cut frame or stray bytes do not
// count). Returns its offset and sets *length (as its length field says), or
// -1 when none is there.
int kor_ModBusFindReply(const std::uint8_t* buf, int received, const KorModbusExpect& expect,
                        int* length);

// The offset of a reply to the request that was cut short: the last bytes of
// `received` begin as its frame would (a header of 8 bytes or more agreeing
// with the request, or all that arrived agreeing as far as it goes) but do
// not hold it whole. -1 when there is none.
int kor_ModBusFindCutReply(const std::uint8_t* buf, int received, const KorModbusExpect& expect);

// True for a reply that the client treats as failed: fewer than 8 bytes, or a
// function code with the exception flag (above 0x80).
bool kor_ModBusReplyFailed(const std::uint8_t* reply, int received);
// Prints "Error %d Exception %d\r\n" when more than 8 bytes arrived, otherwise
// "Error %d\r\n" with byte 7.
void kor_ModBusPrintReplyError(const std::uint8_t* reply, int received);

// ------------------------------------------------------------ write bodies

// I/O addresses of `count` coils from `first` on: addresses ending in 8 or 9
// are skipped (10016, 10017, 10020, 10021 ...). out has room for count entries.
void kor_ModBusCoilAddresses(std::uint32_t first, int count, std::uint32_t* out);
// Bytes needed for `count` coils.
int kor_ModBusCoilByteCount(int count);
// Packs coil i (non-zero signal = 1) into bit i % 8 of byte i / 8, least
// significant bit first. out has kor_ModBusCoilByteCount(count) bytes, zeroed.
void kor_ModBusPackCoils(const std::uint16_t* signals, int count, std::uint8_t* out);
// Puts the low 16 bits of value big-endian at out (reversed with swapBytes).
void kor_ModBusPutRegister(std::uint8_t* out, std::int32_t value, bool swapBytes);

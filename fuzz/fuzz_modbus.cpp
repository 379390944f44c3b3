// Modbus TCP replies: the read-reply decoder on fixed values of each data type
// and on arbitrary bytes (checked against the types' sizes and ranges), and whole read and write
// exchanges over a channel whose input queue holds the arbitrary reply: result codes, the variables
// a read stores (also at the end of the variable range) and the frame a write sends.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctl.h"
#include "funclib.h"
#include "fuzzSupport.h"
#include "korChQue.h"
#include "korHandleTable.h"
#include "korModbusFrame.h"
#include "modbus.h"

namespace {

constexpr int kVarCount = 300;  // D and R variables 0..299
constexpr std::int32_t kSentinel = 0x5a5a5a5a;

// What each data type makes of one item, written down independently of the
// decoder: its size and the range of its value (type 5, a real, has none).
struct TypeRule {
    int size;
    long long min, max;
};
constexpr TypeRule kTypes[] = {
    {1, 0, 255}, {1, -128, 127}, {2, 0, 65535}, {2, -32768, 32767}, {4, INT32_MIN, INT32_MAX},
    {4, 0, 0}};
constexpr int kReal = 5;

const TypeRule* ruleOf(int type) { return type >= 0 && type <= kReal ? &kTypes[type] : nullptr; }

std::vector<KorModbusItem> decode(const std::string& reply, int type, bool swapBytes) {
    std::array<KorModbusItem, KOR_MODBUS_MAX_ITEMS> out{};
    const int n = kor_ModBusDecodeReadReply(reinterpret_cast<const std::uint8_t*>(reply.data()),
                                            static_cast<int>(reply.size()), type, swapBytes,
                                            out.data());
    return {out.begin(), out.begin() + n};
}

bool replyFailed(const std::string& reply) {
    return reply.size() < 8 || static_cast<unsigned char>(reply[7]) > 0x80;
}

[[noreturn]] void fail(const char* what, long a = 0, long b = 0) {
    std::fprintf(stderr, "%s (%ld, %ld)\n", what, a, b);
    std::abort();
}

std::uint32_t bitsOf(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// Fixed expectations: the data bytes 81 02 fe 7f 10 read as each type, in
// order and swapped; the last item of the 2- and 4-byte types is cut short.
void checkFixedValues() {
    const std::string reply("\x00\x01\x00\x00\x00\x08\x09\x03\x05\x81\x02\xfe\x7f\x10", 14);
    const struct {
        int type;
        bool swapBytes;
        std::vector<std::int32_t> values;
    } cases[] = {
        {0, false, {129, 2, 254, 127, 16}}, {0, true, {129, 2, 254, 127, 16}},
        {1, false, {-127, 2, -2, 127, 16}}, {1, true, {-127, 2, -2, 127, 16}},
        {2, false, {33026, 65151, -1}},     {2, true, {641, 32766, -1}},
        {3, false, {-32510, -385, -1}},     {3, true, {641, 32766, -1}},
        {4, false, {-2130510209, -1}},      {4, true, {2147353217, -1}},
    };
    for (const auto& c : cases) {
        const auto items = decode(reply, c.type, c.swapBytes);
        if (items.size() != c.values.size()) fail("fixed item count", c.type, c.swapBytes);
        for (std::size_t i = 0; i < items.size(); ++i)
            if (items[i].value != c.values[i]) fail("fixed value", c.type, items[i].value);
    }
    const std::pair<bool, float> reals[] = {{false, -2130510208.0f}, {true, 2147353216.0f}};
    for (const auto& [swapBytes, real] : reals) {
        const auto items = decode(reply, kReal, swapBytes);
        if (items.size() != 2 || items[0].real != real || items[1].real != -1.0f)
            fail("fixed real", swapBytes);
    }
    if (!decode(reply, -1, false).empty() || !decode(reply, 6, false).empty())
        fail("an unknown type decoded items");
}

// Whether the item's bytes in the reply are those of value, read as rule says.
bool bytesMatch(const std::string& reply, std::size_t at, const TypeRule& rule, bool swapBytes,
                std::int32_t value) {
    if (value < rule.min || value > rule.max) return false;
    const auto bits = static_cast<std::uint32_t>(value);
    for (int k = 0; k < rule.size; ++k) {
        const int shift = 8 * (swapBytes ? k : rule.size - 1 - k);
        if (static_cast<unsigned char>(reply[at + static_cast<std::size_t>(k)]) !=
            ((bits >> shift) & 0xff))
            return false;
    }
    return true;
}

// The data bytes a read reply holds: what the byte count announces and what
// arrived, whichever is less.
std::size_t dataBytes(const std::string& reply) {
    if (reply.size() <= 9) return 0;
    return std::min<std::size_t>(static_cast<unsigned char>(reply[8]), reply.size() - 9);
}

// Arbitrary replies: as many items as the data holds, each within its type's
// range and made of its own bytes; a real is the 32-bit integer of the same
// bytes; an item cut short is -1.
void checkItems(const std::string& reply, int type, bool swapBytes,
                const std::vector<KorModbusItem>& items) {
    const TypeRule* rule = ruleOf(type);
    const std::size_t size = rule ? static_cast<std::size_t>(rule->size) : 0;
    const std::size_t data = dataBytes(reply);
    const std::size_t want = rule && reply.size() > 8 ? (data + size - 1) / size : 0;
    if (items.size() != want)
        fail("item count differs", static_cast<long>(items.size()), static_cast<long>(want));
    const auto integers = type == kReal ? decode(reply, 4, swapBytes) : items;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const KorModbusItem& item = items[i];
        const auto n = static_cast<long>(i);
        if ((i + 1) * size > data) {
            if (type == kReal ? item.real != -1.0f : item.value != -1) fail("cut item not -1", n);
        } else if (type == kReal) {
            if (bitsOf(item.real) != bitsOf(static_cast<float>(integers[i].value)))
                fail("real differs", n);
        } else if (!bytesMatch(reply, 9 + i * size, *rule, swapBytes, item.value)) {
            fail("item differs", n, item.value);
        }
    }
}

void fuzzDecoder(FuzzedDataProvider& in) {
    const int type = in.ConsumeIntegralInRange<int>(-1, 6);
    const bool swapBytes = in.ConsumeBool();
    const std::string reply = in.ConsumeBytesAsString(KOR_MODBUS_BUFFER_SIZE);
    checkItems(reply, type, swapBytes, decode(reply, type, swapBytes));
    if (reply.size() >= 8 &&
        kor_ModBusReplyFailed(reinterpret_cast<const std::uint8_t*>(reply.data()),
                              static_cast<int>(reply.size())) != replyFailed(reply))
        fail("failure verdict differs");
}

// One channel on a loopback connection, made once.
struct Channel {
    fuzzsupport::SocketPair pair;
    int handle = -1;
};

Channel& channel() {
    static Channel c = [] {
        Channel ch;
        ch.pair = fuzzsupport::makeSocketPair();
        KORHDLTBL_Init(&korHandleTable);
        ch.handle = KORHDLTBL_GetHandle(&korHandleTable, KORHDLTYPE_TCPCLIENT, ch.pair.near);
        if (ch.handle < 0) fail("no channel");
        return ch;
    }();
    return c;
}

void queueReply(const std::string& reply) {
    KORHDLTBL_ClearInput(&korHandleTable, channel().handle);
    KORHDLTBL_PushInput(&korHandleTable, channel().handle, reply.data(),
                        static_cast<int>(reply.size()));
}

void fuzzRead(FuzzedDataProvider& in) {
    const int type = in.ConsumeIntegralInRange<int>(-1, 6);
    const bool swapBytes = in.ConsumeBool();
    const int firstVar = in.ConsumeIntegralInRange<int>(-2, kVarCount + 20);
    const std::string reply = in.ConsumeBytesAsString(KOR_MODBUS_BUFFER_SIZE + 200);

    // Preset the variables the read may touch.
    for (int i = 0; i < KOR_MODBUS_MAX_ITEMS; ++i) {
        const int v = firstVar + i;
        if (v < 0 || v >= kVarCount) continue;
        SetDVar(static_cast<std::uint16_t>(v), kSentinel);
        SetRVar(static_cast<std::uint16_t>(v), 1234.5f);
    }
    queueReply(reply);
    const int rc = kor_ModBusRead(channel().handle, 0, firstVar, 3, 7, 2, type, swapBytes ? 1 : 0);
    const std::string request = fuzzsupport::drain(channel().pair.far);

    // Bytes queued before the request went out are a late answer to an
    // earlier one: dropped, never stored, and the read has no reply.
    const int want = firstVar < 0 ? -1 : -3;
    if (rc != want) fail("read result differs", rc, want);
    if (firstVar >= 0 && request.size() != 12)
        fail("read request size", static_cast<long>(request.size()));
    for (int i = 0; i < KOR_MODBUS_MAX_ITEMS; ++i) {
        const int v = firstVar + i;
        if (v < 0 || v >= kVarCount) continue;
        std::int32_t d = 0;
        float r = 0;
        GetDVar(static_cast<std::uint16_t>(v), &d);
        GetRVar(static_cast<std::uint16_t>(v), &r);
        if (d != kSentinel) fail("D variable written from a stale reply", v, d);
        if (bitsOf(r) != bitsOf(1234.5f)) fail("R variable written from a stale reply", v);
    }
}

void fuzzWrite(FuzzedDataProvider& in) {
    static constexpr int codes[] = {5, 6, 15, 16, 3, 0};
    const int functionCode = codes[in.ConsumeIntegralInRange<int>(0, 5)];
    const int quantity = in.ConsumeIntegralInRange<int>(-2, 600);
    // I/O addresses for coils (the valid ones end at 99999), D variables for registers.
    const int source = in.ConsumeIntegralInRange<int>(-1, 100100);
    const bool swapBytes = in.ConsumeBool();
    const std::string reply = in.ConsumeBytesAsString(KOR_MODBUS_BUFFER_SIZE + 200);

    queueReply(reply);
    const int rc = kor_ModBusWrite(channel().handle, 0, source, quantity, functionCode, 9,
                                   swapBytes ? 1 : 0);
    const std::string request = fuzzsupport::drain(channel().pair.far);
    if (rc < -7 || rc > 0) fail("write result out of range", rc);
    if (rc == 0 || rc == -7) {
        std::size_t want = 12;
        if (functionCode == 15) {
            const int coils = quantity > 128 ? 128 : quantity;
            want = static_cast<std::size_t>(13 + (coils + 7) / 8);
        } else if (functionCode == 16) {
            want = static_cast<std::size_t>(13 + 2 * quantity);
        }
        if (request.size() != want)
            fail("write frame size", static_cast<long>(request.size()), static_cast<long>(want));
        // What was queued before the request is stale: never the write's answer.
        if (rc == 0) fail("a stale reply confirmed the write");
    } else if (!request.empty()) {
        fail("a refused write sent bytes", rc);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vc::Settings s;
    s.dCount = kVarCount;
    s.rCount = kVarCount;
    fuzzsupport::openScratchState(s);
    checkFixedValues();
    // The error lines of failed replies would drown the fuzzer's own output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    FuzzedDataProvider in(bytes + 1, size - 1);
    switch (bytes[0] % 4) {
        case 0:
        case 1: fuzzDecoder(in); break;
        case 2: fuzzRead(in); break;
        default: fuzzWrite(in); break;
    }
    return 0;
}

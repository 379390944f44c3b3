// Modbus TCP replies: the read-reply decoder on arbitrary bytes (checked
// against a reference decoder), and whole read and write exchanges over a
// channel whose input queue holds the arbitrary reply: result codes, the
// variables a read stores (also at the end of the variable range) and the
// frame a write sends.
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

struct Expected {
    std::vector<KorModbusItem> items;
};

int itemSize(int type) {
    static constexpr int sizes[] = {1, 1, 2, 2, 4, 4};
    return type >= 0 && type <= 5 ? sizes[type] : 0;
}

// Items of a read reply: what the byte count announces and what arrived.
std::vector<KorModbusItem> referenceDecode(const std::string& reply, int type, bool swapBytes) {
    std::vector<KorModbusItem> items;
    const int size = itemSize(type);
    if (size == 0 || reply.size() <= 8) return items;
    const int announced = static_cast<unsigned char>(reply[8]);
    const int arrived = static_cast<int>(reply.size()) - 9;
    const int data = announced < arrived ? announced : arrived;
    for (int p = 0; p < data; p += size) {
        if (data - p < size) {
            items.push_back({-1, -1.0f});
            continue;
        }
        std::uint32_t raw = 0;
        for (int k = 0; k < size; ++k) {
            const int at = swapBytes ? size - 1 - k : k;
            raw = (raw << 8) |
                  static_cast<unsigned char>(reply[static_cast<std::size_t>(9 + p + at)]);
        }
        KorModbusItem item{0, 0.0f};
        switch (type) {
            case 0: item.value = static_cast<std::int32_t>(raw & 0xff); break;
            case 1: item.value = static_cast<std::int8_t>(raw & 0xff); break;
            case 2: item.value = static_cast<std::int32_t>(raw & 0xffff); break;
            case 3: item.value = static_cast<std::int16_t>(raw & 0xffff); break;
            case 4: item.value = static_cast<std::int32_t>(raw); break;
            default: item.real = static_cast<float>(static_cast<std::int32_t>(raw)); break;
        }
        items.push_back(item);
    }
    return items;
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

void fuzzDecoder(FuzzedDataProvider& in) {
    const int type = in.ConsumeIntegralInRange<int>(-1, 6);
    const bool swapBytes = in.ConsumeBool();
    const std::string reply = in.ConsumeBytesAsString(KOR_MODBUS_BUFFER_SIZE);
    const auto expected = referenceDecode(reply, type, swapBytes);

    std::array<KorModbusItem, KOR_MODBUS_MAX_ITEMS> out{};
    const int n = kor_ModBusDecodeReadReply(reinterpret_cast<const std::uint8_t*>(reply.data()),
                                            static_cast<int>(reply.size()), type, swapBytes,
                                            out.data());
    if (n != static_cast<int>(expected.size()))
        fail("item count differs", n, static_cast<long>(expected.size()));
    for (int i = 0; i < n; ++i) {
        const bool real = type == 5;
        if (real ? bitsOf(out[i].real) != bitsOf(expected[i].real)
                 : out[i].value != expected[i].value)
            fail("item differs", i);
    }
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
    KorTableLock lock(&korHandleTable);
    KORCHQUE* q = KORHDLTBL_Record(channel().handle).inputQueue;
    KORCHQUE_Clear(q);
    KORCHQUE_Push(q, reply.data(), static_cast<int>(reply.size()));
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

    // What the exchange sees: at most one buffer of the queue.
    const std::string taken = reply.substr(0, KOR_MODBUS_BUFFER_SIZE);
    int want;
    if (firstVar < 0) want = -1;
    else if (taken.empty()) want = -3;
    else if (replyFailed(taken)) want = -4;
    else want = 0;
    if (rc != want) fail("read result differs", rc, want);
    if (firstVar >= 0 && request.size() != 12)
        fail("read request size", static_cast<long>(request.size()));

    const auto items = rc == 0 ? referenceDecode(taken, type, swapBytes)
                               : std::vector<KorModbusItem>{};
    for (int i = 0; i < KOR_MODBUS_MAX_ITEMS; ++i) {
        const int v = firstVar + i;
        if (v < 0 || v >= kVarCount) continue;
        std::int32_t d = 0;
        float r = 0;
        GetDVar(static_cast<std::uint16_t>(v), &d);
        GetRVar(static_cast<std::uint16_t>(v), &r);
        const bool stored = i < static_cast<int>(items.size());
        const std::int32_t wantD = stored && type != 5 ? items[static_cast<std::size_t>(i)].value
                                                       : kSentinel;
        const float wantR = stored && type == 5 ? items[static_cast<std::size_t>(i)].real : 1234.5f;
        if (d != wantD) fail("D variable differs", v, d);
        if (bitsOf(r) != bitsOf(wantR)) fail("R variable differs", v);
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
        const std::string taken = reply.substr(0, KOR_MODBUS_BUFFER_SIZE);
        if ((rc == 0) != !replyFailed(taken)) fail("write verdict differs", rc);
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

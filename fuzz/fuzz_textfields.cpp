// The text-field readers over B variables holding arbitrary bytes, from any
// first index (also past the last variable and across the 16-bit wrap), any
// count and field number, with a read that may fail on the way. The fields
// are compared with a reference reader; each field buffer is exactly
// KOR_FIELD_SIZE bytes so that a write past it is caught.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "fuzzSupport.h"
#include "korParams.h"

namespace {

constexpr int kBCount = 300;

struct Fields {
    std::array<std::string, 3> text;
};

// fields[i] receives field fieldBase + i; stopField >= 0 ends the reading at
// the first character of that field. failAt: the variable whose read fails.
Fields referenceRead(const std::vector<std::uint8_t>& b, int first, int count, int fieldBase,
                     int stopField, int failAt) {
    Fields f;
    int field = 0;
    int pos = 0;
    for (int i = 0; i < count; ++i) {
        const int index = (first + i) & 0xffff;
        if (index >= kBCount || index == failAt) break;
        const int value = b[static_cast<std::size_t>(index)];
        if (value == 13) {
            ++field;
            pos = 0;
            continue;
        }
        if (field == stopField || pos >= KOR_BLOCK_MAX) break;
        const int slot = field - fieldBase;
        if (slot >= 0 && slot < 3)
            f.text[static_cast<std::size_t>(slot)] += static_cast<char>(value);
        ++pos;
    }
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vc::Settings s;
    s.bCount = kBCount;
    fuzzsupport::openScratchState(s);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    const bool three = in.ConsumeBool();
    const int nullMask = in.ConsumeIntegralInRange<int>(0, 7);
    const int fieldBase = in.ConsumeIntegralInRange<int>(0, 5);
    // Mostly inside the variables; sometimes at the end or across the wrap.
    const int firstPick = in.ConsumeIntegralInRange<int>(0, 400);
    const int first = firstPick < 340 ? firstPick : 65536 - (firstPick - 340);
    const int count = in.ConsumeIntegralInRange<int>(0, KOR_BLOCK_MAX);
    const int failPick = in.ConsumeIntegralInRange<int>(0, 600);
    const int failAt = failPick < kBCount ? failPick : -1;
    const std::string payload = in.ConsumeRemainingBytesAsString();

    std::vector<std::uint8_t> b(kBCount, 0);
    for (std::size_t k = 0; k < payload.size(); ++k) {
        const std::size_t index = (static_cast<std::size_t>(first) + k) & 0xffff;
        if (index < b.size()) b[index] = static_cast<std::uint8_t>(payload[k]);
    }
    std::vector<CtlVarData> put(kBCount);
    for (int i = 0; i < kBCount; ++i)
        put[static_cast<std::size_t>(i)] = CtlVarData{CTL_VAR_B, static_cast<std::uint16_t>(i),
                                                      b[static_cast<std::size_t>(i)]};
    if (ctlPutVarData(put.data(), kBCount) != 0) std::abort();

    std::array<std::unique_ptr<char[]>, 3> buf;
    std::array<char*, 3> field{};
    for (int k = 0; k < 3; ++k) {
        buf[static_cast<std::size_t>(k)].reset(new char[KOR_FIELD_SIZE]);
        std::memset(buf[static_cast<std::size_t>(k)].get(), 'x', KOR_FIELD_SIZE);
        if (!(nullMask & (1 << k)))
            field[static_cast<std::size_t>(k)] = buf[static_cast<std::size_t>(k)].get();
    }
    if (failAt >= 0)
        vc::hooks::failVar(false, CTL_VAR_B, static_cast<std::uint16_t>(failAt),
                           static_cast<std::uint16_t>(failAt), -1);
    Fields expected;
    if (three) {
        korReadThreeFields(first, count, fieldBase, field[0], field[1], field[2]);
        expected = referenceRead(b, first, count, fieldBase, -1, failAt);
    } else {
        korReadTwoFields(first, count, field[0], field[1]);
        expected = referenceRead(b, first, count, 0, 2, failAt);
        expected.text[2].clear();
        field[2] = nullptr;
    }
    vc::hooks::reset();

    for (std::size_t k = 0; k < 3; ++k) {
        if (!field[k]) continue;
        // Zero-filled: the text ends at its first NUL (a NUL byte read from a
        // variable ends it early too), and the last byte is always a NUL.
        const std::string want(expected.text[k].c_str());
        if (field[k][KOR_FIELD_SIZE - 1] != '\0' || want != field[k]) {
            std::fprintf(stderr, "field %zu differs: got '%s' want '%s'\n", k, field[k],
                         want.c_str());
            std::abort();
        }
    }
    return 0;
}

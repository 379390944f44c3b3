// Variable and I/O access: one request array on the stack, one controller call.
#include "funclib.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

int nonNegative(int count) { return count < 0 ? 0 : count; }

std::uint16_t indexAt(std::uint16_t first, int i) {
    return static_cast<std::uint16_t>(first + i);  // wraps at 65536
}

// References {type, first+i} for a block read; count must fit the array.
template <std::size_t N>
int getBlock(std::uint16_t type, std::uint16_t first, std::int32_t* values, int count) {
    std::array<CtlVarInfo, N> request{};
    count = nonNegative(count);
    for (int i = 0; i < count; ++i) request[i] = CtlVarInfo{type, indexAt(first, i)};
    return ctlGetVarData(request.data(), values, count);
}

// Records {type, first+i, values[i]} for a block write; count must fit the array.
template <std::size_t N>
int putBlock(std::uint16_t type, std::uint16_t first, const std::int32_t* values, int count) {
    std::array<CtlVarData, N> request{};
    count = nonNegative(count);
    for (int i = 0; i < count; ++i) request[i] = CtlVarData{type, indexAt(first, i), values[i]};
    return ctlPutVarData(request.data(), count);
}

int getOne(std::uint16_t type, std::uint16_t index, std::int32_t* value) {
    const CtlVarInfo request{type, index};
    return ctlGetVarData(&request, value, 1);
}

int putOne(std::uint16_t type, std::uint16_t index, std::int32_t value) {
    const CtlVarData request{type, index, value};
    return ctlPutVarData(&request, 1);
}

template <std::size_t N>
int readIoBlock(std::uint32_t firstAddress, std::uint16_t* values, int count) {
    if (count > static_cast<int>(N)) return FUNCLIB_REFUSED;
    std::array<CtlIoInfo, N> request{};
    count = nonNegative(count);
    for (int i = 0; i < count; ++i) request[i] = CtlIoInfo{firstAddress + i};
    return ctlReadIO(request.data(), values, count);
}

template <std::size_t N>
int writeIoBlock(std::uint32_t firstAddress, const std::uint16_t* values, int count) {
    if (count > static_cast<int>(N)) return FUNCLIB_REFUSED;
    std::array<CtlIoData, N> request{};
    count = nonNegative(count);
    for (int i = 0; i < count; ++i) request[i] = CtlIoData{firstAddress + i, values[i]};
    return ctlWriteIO(request.data(), count);
}

}  // namespace

// ---------------------------------------------------------------- B variables

int GetBVar(std::uint16_t index, std::int32_t* value) { return getOne(CTL_VAR_B, index, value); }

int GetMultiBVar(std::uint16_t first, std::int32_t* values, int count) {
    if (count > FUNCLIB_MULTI_B_MAX) return FUNCLIB_REFUSED;
    return getBlock<FUNCLIB_MULTI_B_MAX>(CTL_VAR_B, first, values, count);
}

int SetBVar(std::uint16_t index, std::int32_t value) { return putOne(CTL_VAR_B, index, value); }

int SetMultiBVar(std::uint16_t first, const std::int32_t* values, int count) {
    if (count > FUNCLIB_MULTI_B_MAX) return FUNCLIB_REFUSED;
    return putBlock<FUNCLIB_MULTI_B_MAX>(CTL_VAR_B, first, values, count);
}

// ---------------------------------------------------------------- I variables

int GetIVar(std::uint16_t index, std::int32_t* value) { return getOne(CTL_VAR_I, index, value); }

int GetMultiIVar(std::uint16_t first, std::int32_t* values, int count) {
    if (count > FUNCLIB_MULTI_I_MAX) return FUNCLIB_REFUSED;
    return getBlock<FUNCLIB_MULTI_I_MAX>(CTL_VAR_I, first, values, count);
}

int SetIVar(std::uint16_t index, std::int32_t value) { return putOne(CTL_VAR_I, index, value); }

// ---------------------------------------------------------------- S variables

int GetSVar(std::uint16_t index, char* text) {
    // The controller writes the text at the slot's address.
    const CtlVarInfo request{CTL_VAR_S, index};
    return ctlGetVarData(&request, reinterpret_cast<std::int32_t*>(text), 1);
}

// ---------------------------------------------------------------- D variables

int GetDVar(std::uint16_t index, std::int32_t* value) { return getOne(CTL_VAR_D, index, value); }

int SetDVar(std::uint16_t index, std::int32_t value) { return putOne(CTL_VAR_D, index, value); }

int SetMultiDVar(std::uint16_t first, const std::int32_t* values, int count) {
    return putBlock<FUNCLIB_MULTI_D_MAX>(CTL_VAR_D, first, values,
                                         std::min(count, FUNCLIB_MULTI_D_MAX));
}

int ctlGetMultiDVar(std::uint16_t first, std::int32_t* values, int count) {
    return getBlock<FUNCLIB_MULTI_D_MAX>(CTL_VAR_D, first, values,
                                         std::min(count, FUNCLIB_MULTI_D_MAX));
}

// ---------------------------------------------------------------- any kind, R

int GetXVar(std::uint16_t type, std::uint16_t index, std::int32_t* value) {
    return getOne(type, index, value);
}

int GetRVarBits(std::uint16_t index, std::uint32_t* bits) {
    std::int32_t slot = 0;
    const int result = getOne(CTL_VAR_R, index, &slot);
    *bits = static_cast<std::uint32_t>(slot);
    return result;
}

int SetRVarBits(std::uint16_t index, std::uint32_t bits) {
    return putOne(CTL_VAR_R, index, static_cast<std::int32_t>(bits));
}

int GetRVar(std::uint16_t index, float* value) {
    static_assert(sizeof(float) == sizeof(std::uint32_t));
    std::uint32_t bits = 0;
    const int result = GetRVarBits(index, &bits);
    std::memcpy(value, &bits, sizeof bits);
    return result;
}

int SetRVar(std::uint16_t index, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return SetRVarBits(index, bits);
}

// ---------------------------------------------------------------- I/O, registers

int GetIo(std::uint32_t address, std::uint16_t* value) {
    const CtlIoInfo request{address};
    return ctlReadIO(&request, value, 1);
}

int ReadIO(std::uint32_t address, std::uint16_t* value) { return GetIo(address, value); }

int SetIo(std::uint32_t address, std::uint32_t value) {
    const CtlIoData request{address, value & 0xffffu};
    return ctlWriteIO(&request, 1);
}

int WriteIO(std::uint32_t address, std::uint32_t value) { return SetIo(address, value); }

int SetMultiIo(std::uint32_t first, const std::uint16_t* values, int count) {
    return writeIoBlock<FUNCLIB_MULTI_IO_MAX>(first, values, count);
}

int ReadRegister(std::uint32_t firstRegister, std::uint16_t* values, int count) {
    return readIoBlock<FUNCLIB_MULTI_IO_MAX>(CTL_REGISTER_BASE + firstRegister, values, count);
}

int WriteRegister(std::uint32_t firstRegister, const std::uint16_t* values, int count) {
    return writeIoBlock<FUNCLIB_MULTI_IO_MAX>(CTL_REGISTER_BASE + firstRegister, values, count);
}

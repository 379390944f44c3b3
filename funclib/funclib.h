// One-call access to the controller's variables (B, I, D, R, S), I/O signals
// and registers. Every operation builds its request on its own stack, makes
// exactly one controller call and returns that call's result unchanged
// (0: accepted, anything else: failed). No state, safe from any task.
//
// Variable indices are 16-bit: element i of a block has index (first + i)
// modulo 65536, so a block starting at 65535 continues at 0.
#pragma once

#include <cstdint>

#include "ctl.h"

// Request arrays of the multi-element operations.
inline constexpr int FUNCLIB_MULTI_B_MAX = 128;  // GetMultiBVar, SetMultiBVar
inline constexpr int FUNCLIB_MULTI_I_MAX = 20;   // GetMultiIVar
inline constexpr int FUNCLIB_MULTI_D_MAX = 64;   // SetMultiDVar, ctlGetMultiDVar
inline constexpr int FUNCLIB_MULTI_IO_MAX = 20;  // SetMultiIo, ReadRegister, WriteRegister

// Result of a request that is refused without a controller call.
inline constexpr int FUNCLIB_REFUSED = -1;

// B variables. Counts above FUNCLIB_MULTI_B_MAX are refused with -1 and
// nothing is read or written; a count of 0 or less makes an empty call.
int GetBVar(std::uint16_t index, std::int32_t* value);
int GetMultiBVar(std::uint16_t first, std::int32_t* values, int count);
int SetBVar(std::uint16_t index, std::int32_t value);
int SetMultiBVar(std::uint16_t first, const std::int32_t* values, int count);

// I variables. GetMultiIVar refuses counts above FUNCLIB_MULTI_I_MAX with -1.
int GetIVar(std::uint16_t index, std::int32_t* value);
int GetMultiIVar(std::uint16_t first, std::int32_t* values, int count);
int SetIVar(std::uint16_t index, std::int32_t value);

// S variable text into `text` (CTL_SVAR_TEXT_SIZE bytes).
int GetSVar(std::uint16_t index, char* text);

// D variables. The block forms cut counts above FUNCLIB_MULTI_D_MAX to it.
int GetDVar(std::uint16_t index, std::int32_t* value);
int SetDVar(std::uint16_t index, std::int32_t value);
int SetMultiDVar(std::uint16_t first, const std::int32_t* values, int count);
int ctlGetMultiDVar(std::uint16_t first, std::int32_t* values, int count);

// Any variable kind read through one 32-bit slot.
int GetXVar(std::uint16_t type, std::uint16_t index, std::int32_t* value);

// R variables move by bit pattern, never by numeric conversion. GetRVar always
// sets *value: to 0.0 when the controller refused without writing the slot.
// A float argument may pass through an x87 register, which turns a signalling
// NaN quiet: SetRVar is for values, the Bits forms move any 32-bit pattern
// (GetRVarBits sets *bits to 0 when refused).
int GetRVar(std::uint16_t index, float* value);
int SetRVar(std::uint16_t index, float value);
int GetRVarBits(std::uint16_t index, std::uint32_t* bits);
int SetRVarBits(std::uint16_t index, std::uint32_t bits);

// I/O signals (16-bit values). Writes keep only the low 16 bits of the value.
int GetIo(std::uint32_t address, std::uint16_t* value);
int ReadIO(std::uint32_t address, std::uint16_t* value);
int SetIo(std::uint32_t address, std::uint32_t value);
int WriteIO(std::uint32_t address, std::uint32_t value);
// Counts above FUNCLIB_MULTI_IO_MAX return -1 and touch nothing.
int SetMultiIo(std::uint32_t first, const std::uint16_t* values, int count);

// Registers: register n is I/O address CTL_REGISTER_BASE + n. Counts above
// FUNCLIB_MULTI_IO_MAX return -1 and touch nothing.
int ReadRegister(std::uint32_t firstRegister, std::uint16_t* values, int count);
int WriteRegister(std::uint32_t firstRegister, const std::uint16_t* values, int count);

// Copy of text in ctlMalloc memory (release with ctlFree); null when out of
// memory or text is null.
char* mystrdup(const char* text);

// 1 when the processor stores the low byte of an integer first, else 0.
int GetEndianess();

// Information and variable conversion commands: INFO, RVARTOBYTES,
// BYTESTORVAR, POSVARTYPE.
#include <array>
#include <cstdio>
#include <cstring>

#include "funclib.h"
#include "korApp.h"
#include "korCommands.h"
#include "korParams.h"

namespace {

// Parameter positions in KorCommand::p.
constexpr int P1 = 1, P3 = 3, P4 = 4, P5 = 5, P6 = 6, P8 = 8;

std::uint16_t var(std::int32_t number) { return static_cast<std::uint16_t>(number); }

// Writes a text into B variables and its length as the result; the status of
// the character write is not looked at.
void writeText(const KorCommand& cmd, const char* text) {
    const int length = static_cast<int>(std::strlen(text));
    korWriteBytes(cmd.p[P1], text, length);
    korWriteResult(cmd.p[P3], length);
}

// The four B values that hold an R variable's bit pattern.
using RBytes = std::array<std::int32_t, 4>;

// Position in B variables p5 .. p5+3 of byte k: least significant first when
// p6 is 0, most significant first otherwise.
int bytePosition(const KorCommand& cmd, int k) { return cmd.p[P6] == 0 ? k : 3 - k; }

}  // namespace

void korCmdInfo(const KorCommand& cmd) {
    std::printf("Info - ArvoKOR command, Param:%d Ret:%d\r\n", static_cast<int>(cmd.p[P8]),
                static_cast<int>(cmd.p[P3]));
    switch (cmd.p[P8]) {
        case 0: korWriteResult(cmd.p[P3], KOR_RES_DONE); break;
        case 1: {
            char version[16];
            std::snprintf(version, sizeof version, "%.2f", KOR_VERSION);
            writeText(cmd, version);
            break;
        }
        case 2: {
            char text[16];
            std::snprintf(text, sizeof text, "%s", "Hello world !");
            writeText(cmd, text);
            break;
        }
        default: break;  // no result
    }
}

void korCmdRVarToBytes(const KorCommand& cmd) {
    std::uint32_t bits = 0;
    if (GetRVarBits(var(cmd.p[P4]), &bits) != 0) {
        korWriteResult(cmd.p[P3], KOR_RES_FAILED);
        return;
    }
    RBytes out{};
    for (int k = 0; k < 4; ++k)
        out[bytePosition(cmd, k)] = static_cast<std::int32_t>((bits >> (8 * k)) & 0xff);
    for (int i = 0; i < 4; ++i) {
        if (SetBVar(var(cmd.p[P5] + i), out[i]) != 0) {
            korWriteResult(cmd.p[P3], KOR_RES_FAILED);
            return;
        }
    }
    korWriteResult(cmd.p[P3], 1);
}

void korCmdBytesToRVar(const KorCommand& cmd) {
    RBytes in{};
    for (int i = 0; i < 4; ++i) {
        if (GetBVar(var(cmd.p[P5] + i), &in[i]) != 0) {
            korWriteResult(cmd.p[P3], KOR_RES_FAILED);
            return;
        }
    }
    std::uint32_t bits = 0;
    for (int k = 0; k < 4; ++k)
        bits |= static_cast<std::uint32_t>(in[bytePosition(cmd, k)] & 0xff) << (8 * k);
    const bool ok = SetRVarBits(var(cmd.p[P4]), bits) == 0;
    korWriteResult(cmd.p[P3], ok ? 1 : KOR_RES_FAILED);
}

void korCmdPosVarType(const KorCommand& cmd) {
    const CtlVarInfo ref{CTL_VAR_P, var(cmd.p[P4])};
    CtlPosVarData data{};
    if (ctlGetPosVarData(&ref, &data, 1) != 0) {
        korWriteResult(cmd.p[P3], KOR_RES_FAILED);
        return;
    }
    const std::uint32_t word0 = static_cast<std::uint32_t>(data.word[0]);
    std::int32_t result = KOR_RES_NOTHING;
    switch (word0 & 0x3f) {
        case 0: result = 1; break;
        case 16: result = 2; break;
        case 17: result = 3; break;
        case 18: result = 4; break;
        case 19: {
            // User frame: its number goes next to the result.
            const auto frameNumber = static_cast<std::int32_t>((word0 >> 22) & 0x3f);
            result = korWriteResult(cmd.p[P3] + 1, frameNumber) == 0 ? 5 : KOR_RES_FAILED;
            break;
        }
        default: break;
    }
    korWriteResult(cmd.p[P3], result);
}

// Position streaming and speed output: two cyclic tasks paced by the
// controller's clocks, the settings the stream commands keep for them, and the
// 32-byte records the stream sends.
#pragma once

#include <array>
#include <cstdint>

#include "ctl.h"

// Settings of the stream commands. -1 in robotNo, frame or tool: streaming is
// not configured; -1 in a task or socket field: there is none.
struct KorStreamSettings {
    int taskID = -1;
    int robotNo = -1;
    int frame = -1;
    int tool = -1;
    int io = 0;
    int delay = 1;
    int udpSocket = -1;
    int recMode = 0;
    int taskIDSpeedOutput = -1;
};
extern KorStreamSettings korStreamSettings;

inline constexpr int KOR_STREAM_RECORD_SIZE = 32;
inline constexpr int KOR_STREAM_MAX_DELAY = 20;
inline constexpr int KOR_STREAM_MAX_ROBOT = 7;
inline constexpr int KOR_STREAM_MAX_TOOL = 23;
// Registers 500 .. 511 feed the six values of a mode 1 record.
inline constexpr int KOR_STREAM_FIRST_REGISTER = 500;
inline constexpr int KOR_STREAM_REGISTERS = 12;
// Speed output: 16 registers (two per axis), the last one at most register 559.
inline constexpr int KOR_SPEED_REGISTERS = 2 * CTL_SERVO_AXES;
inline constexpr int KOR_SPEED_LAST_REGISTER = 559;
inline constexpr int KOR_SPEED_MAX_GROUP = 39;

using KorStreamRecord = std::array<std::uint8_t, KOR_STREAM_RECORD_SIZE>;

// The header datagram: 0, the six header values, 0 (big-endian).
KorStreamRecord korStreamHeaderRecord(const std::int32_t header[6]);
// True when any of the six header values is non-zero (the header is then sent).
bool korStreamHeaderSet(const std::int32_t header[6]);
// Mode 0: sequence, I/O byte, the 16-bit value at byte offset 48 of the
// position data, then its first seven 32-bit values.
KorStreamRecord korStreamPositionRecord(std::uint8_t sequence, std::uint8_t io,
                                        const CtlCartPos& pos);
// Mode 1: sequence, I/O byte, 0, six values of (low, high) register pairs, 0.
KorStreamRecord korStreamRegisterRecord(std::uint8_t sequence, std::uint8_t io,
                                        const std::uint16_t registers[KOR_STREAM_REGISTERS]);

// The I/O delay of mode 1: each tick's I/O byte comes out `delay` ticks later;
// nothing comes out during the first `delay` ticks.
class KorIoDelay {
public:
    explicit KorIoDelay(int delay);
    // Feeds this tick's I/O byte; true with the byte to send once the stream
    // is active.
    bool tick(std::uint8_t ioNow, std::uint8_t* ioOut);

private:
    std::array<std::uint8_t, KOR_STREAM_MAX_DELAY> ring_{};
    int delay_;
    int index_ = 0;
    bool active_;
};

// The 16 speed register values of a control group: the magnitude of axis k's
// speed split into its low (register 2k) and high (2k + 1) 16 bits; all 0 when
// the speeds could not be read.
std::array<std::uint16_t, KOR_SPEED_REGISTERS> korSpeedRegisterValues(
    const std::int32_t speeds[CTL_SERVO_AXES], bool valid);

// The task entries. UDPPositionTask(socket, robot, frame, tool, io, destination
// text, port, mode, delay, header); SpeedOutputTask(control group, first
// register, divider). Both run until they are deleted.
void UDPPositionTask(CtlArg socket, CtlArg robot, CtlArg frame, CtlArg tool, CtlArg io,
                     CtlArg destination, CtlArg port, CtlArg mode, CtlArg delay, CtlArg header);
void SpeedOutputTask(CtlArg group, CtlArg firstRegister, CtlArg divider, CtlArg, CtlArg, CtlArg,
                     CtlArg, CtlArg, CtlArg, CtlArg);

// The position streaming task, the speed output task and the records they send.
#include <cstring>

#include "korApp.h"
#include "korObserve.h"
#include "posStream.h"

KorStreamSettings korStreamSettings;

namespace {

void put16(std::uint8_t* at, std::uint16_t v) {
    at[0] = static_cast<std::uint8_t>(v >> 8);
    at[1] = static_cast<std::uint8_t>(v);
}

void put32(std::uint8_t* at, std::uint32_t v) {
    put16(at, static_cast<std::uint16_t>(v >> 16));
    put16(at + 2, static_cast<std::uint16_t>(v));
}

CtlSockAddr destinationAddress(const char* text, int port) {
    CtlSockAddrIn in{};
    in.len = 0;
    in.family = CTL_AF_INET;
    in.port = ctlHtons(static_cast<std::uint16_t>(port));
    in.addr = ctlInetAddr(text);
    CtlSockAddr addr{};
    std::memcpy(&addr, &in, sizeof addr);
    return addr;
}

void sendRecord(int socket, const KorStreamRecord& record, const CtlSockAddr& to) {
    const int sent = ctlSendTo(socket, reinterpret_cast<const char*>(record.data()),
                               KOR_STREAM_RECORD_SIZE, 0, &to, sizeof to);
    kor_countPositionTick(sent == KOR_STREAM_RECORD_SIZE);
}

[[noreturn]] void streamPositions(int socket, const CtlSockAddr& to, int robot, int frame, int tool,
                                  int io) {
    std::uint8_t sequence = 0;
    const CtlIoInfo ioInfo{static_cast<std::uint32_t>(io)};
    for (;;) {
        ctlClkAnnounce(0);
        CtlCartPos pos{};
        ctlGetCartPosEx(static_cast<std::uint16_t>(robot), static_cast<std::uint16_t>(frame),
                        static_cast<std::uint16_t>(tool), &pos);
        std::uint16_t ioValue = 0;
        if (io != 0 && ctlReadIO(&ioInfo, &ioValue, 1) != 0) ioValue = 0;
        sendRecord(socket,
                   korStreamPositionRecord(sequence, static_cast<std::uint8_t>(ioValue), pos), to);
        ++sequence;
    }
}

[[noreturn]] void streamRegisters(int socket, const CtlSockAddr& to, int io, int delay) {
    std::uint8_t sequence = 0;
    // One read per tick: the I/O signal, then registers 500 .. 511.
    std::array<CtlIoInfo, 1 + KOR_STREAM_REGISTERS> info{};
    info[0].address = static_cast<std::uint32_t>(io);
    for (int k = 0; k < KOR_STREAM_REGISTERS; ++k)
        info[1 + k].address = CTL_REGISTER_BASE + KOR_STREAM_FIRST_REGISTER + k;
    KorIoDelay ioDelay(delay);
    for (;;) {
        ctlClkAnnounce(0);
        std::array<std::uint16_t, 1 + KOR_STREAM_REGISTERS> values{};
        if (ctlReadIO(info.data(), values.data(), static_cast<int>(info.size())) != 0) values = {};
        std::uint8_t ioByte = 0;
        if (!ioDelay.tick(static_cast<std::uint8_t>(values[0]), &ioByte)) continue;
        sendRecord(socket, korStreamRegisterRecord(sequence, ioByte, values.data() + 1), to);
        ++sequence;
    }
}

}  // namespace

KorStreamRecord korStreamHeaderRecord(const std::int32_t header[6]) {
    KorStreamRecord r{};
    for (int k = 0; k < 6; ++k) put32(r.data() + 4 + 4 * k, static_cast<std::uint32_t>(header[k]));
    return r;
}

bool korStreamHeaderSet(const std::int32_t header[6]) {
    for (int k = 0; k < 6; ++k)
        if (header[k] != 0) return true;
    return false;
}

KorStreamRecord korStreamPositionRecord(std::uint8_t sequence, std::uint8_t io,
                                        const CtlCartPos& pos) {
    KorStreamRecord r{};
    r[0] = sequence;
    r[1] = io;
    std::uint16_t at48 = 0;
    std::memcpy(&at48, reinterpret_cast<const std::uint8_t*>(&pos) + 48, sizeof at48);
    put16(r.data() + 2, at48);
    for (int k = 0; k < 7; ++k)
        put32(r.data() + 4 + 4 * k, static_cast<std::uint32_t>(pos.value[k]));
    return r;
}

KorStreamRecord korStreamRegisterRecord(std::uint8_t sequence, std::uint8_t io,
                                        const std::uint16_t registers[KOR_STREAM_REGISTERS]) {
    KorStreamRecord r{};
    r[0] = sequence;
    r[1] = io;
    for (int k = 0; k < 6; ++k) {
        put16(r.data() + 4 + 4 * k, registers[2 * k + 1]);  // high half
        put16(r.data() + 6 + 4 * k, registers[2 * k]);      // low half
    }
    return r;
}

KorIoDelay::KorIoDelay(int delay)
    : delay_(delay < 0 ? 0 : (delay > KOR_STREAM_MAX_DELAY ? KOR_STREAM_MAX_DELAY : delay)),
      active_(delay_ == 0) {}

bool KorIoDelay::tick(std::uint8_t ioNow, std::uint8_t* ioOut) {
    if (delay_ == 0) {
        *ioOut = ioNow;
        return true;
    }
    *ioOut = ring_[index_];
    ring_[index_] = ioNow;
    const bool send = active_;
    if (++index_ == delay_) {
        index_ = 0;
        active_ = true;
    }
    return send;
}

std::array<std::uint16_t, KOR_SPEED_REGISTERS> korSpeedRegisterValues(
    const std::int32_t speeds[CTL_SERVO_AXES], bool valid) {
    std::array<std::uint16_t, KOR_SPEED_REGISTERS> regs{};
    if (!valid) return regs;
    for (int axis = 0; axis < CTL_SERVO_AXES; ++axis) {
        const std::int32_t s = speeds[axis];
        // Unsigned negation: the magnitude of the most negative speed fits too.
        const std::uint32_t magnitude = s < 0 ? 0u - static_cast<std::uint32_t>(s)
                                              : static_cast<std::uint32_t>(s);
        regs[2 * axis] = static_cast<std::uint16_t>(magnitude & 0xffff);
        regs[2 * axis + 1] = static_cast<std::uint16_t>(magnitude >> 16);
    }
    return regs;
}

void UDPPositionTask(CtlArg socket, CtlArg robot, CtlArg frame, CtlArg tool, CtlArg io,
                     CtlArg destination, CtlArg port, CtlArg mode, CtlArg delay, CtlArg header) {
    const int s = static_cast<int>(socket);
    const CtlSockAddr to = destinationAddress(reinterpret_cast<const char*>(destination),
                                              static_cast<int>(port));
    const auto* head = reinterpret_cast<const std::int32_t*>(header);
    if (korStreamHeaderSet(head)) sendRecord(s, korStreamHeaderRecord(head), to);
    if (static_cast<int>(mode) == 0)
        streamPositions(s, to, static_cast<int>(robot), static_cast<int>(frame),
                        static_cast<int>(tool), static_cast<int>(io));
    streamRegisters(s, to, static_cast<int>(io), static_cast<int>(delay));
}

void SpeedOutputTask(CtlArg group, CtlArg firstRegister, CtlArg divider, CtlArg, CtlArg, CtlArg,
                     CtlArg, CtlArg, CtlArg, CtlArg) {
    const int controlGroup = static_cast<int>(group);
    const int first = static_cast<int>(firstRegister);
    const int every = static_cast<int>(divider) > 0 ? static_cast<int>(divider) : 1;
    std::array<CtlIoData, KOR_SPEED_REGISTERS> out{};
    for (int i = 0; i < KOR_SPEED_REGISTERS; ++i)
        out[i].address = CTL_REGISTER_BASE + static_cast<std::uint32_t>(first + i);
    int count = 0;
    for (;;) {
        ctlClkAnnounce(1);
        if (++count < every) continue;
        count = 0;
        std::int32_t speeds[CTL_SERVO_AXES] = {};
        const bool valid = ctlGetServoSpeed(controlGroup, speeds) == 0;
        const auto values = korSpeedRegisterValues(speeds, valid);
        for (int i = 0; i < KOR_SPEED_REGISTERS; ++i) out[i].value = values[i];
        kor_countSpeedTick(ctlWriteIO(out.data(), KOR_SPEED_REGISTERS) == 0);
    }
}

// Position streaming, speed output, time stamp and position record header
// commands (22 .. 27, 33).
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ctl.h"
#include "korApp.h"
#include "korCommands.h"
#include "korLock.h"
#include "korParams.h"
#include "posStream.h"

namespace {

constexpr int kPosStreamPriority = 0;
constexpr int kSpeedOutputPriority = 1;

// What a running streaming task reads: its destination text and the header
// as it was at its start. Rewritten only after the previous task has ended.
struct StreamLaunch {
    char destination[KOR_ADDR_TEXT_SIZE];
    std::int32_t header[6];
};
StreamLaunch streamLaunch{};

// One lock around the stream settings, the record header and the task and
// socket ids: commands of different slots may run at once, and two starts or
// stops must not delete or close the same task or socket twice.
KorSharedSem streamSem;

// Runs `work` (a result code) under the lock; 254 without it.
template <class Work>
int underStreamLock(Work work) {
    const KorSharedLock lock(streamSem, "stream settings");
    return lock.held() ? work() : KOR_RES_FAILED;
}

int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

void setNotConfigured(KorStreamSettings& s) {
    s.robotNo = -1;
    s.frame = -1;
    s.tool = -1;
}

bool configured(const KorStreamSettings& s) {
    return s.robotNo != -1 && s.frame != -1 && s.tool != -1;
}

// Ends the streaming task (the delete returns once it has ended, so nothing is
// sent after this), then closes its socket.
void stopStreaming(KorStreamSettings& s) {
    if (s.taskID != -1) {
        ctlDeleteTask(s.taskID);
        s.taskID = -1;
    }
    if (s.udpSocket != -1) {
        ctlClose(s.udpSocket);
        s.udpSocket = -1;
    }
}

void stopSpeedOutput(KorStreamSettings& s) {
    if (s.taskIDSpeedOutput != -1) {
        ctlDeleteTask(s.taskIDSpeedOutput);
        s.taskIDSpeedOutput = -1;
    }
}

int startStreaming(const KorCommand& cmd) {
    KorStreamSettings& s = korStreamSettings;
    char destination[KOR_ADDR_TEXT_SIZE];
    korFormatAddress(destination, cmd.p[4], cmd.p[5], cmd.p[6], cmd.p[7]);
    const int port = cmd.p[0];  // not port-encoded

    if (!configured(s)) {
        setNotConfigured(s);
        return KOR_RES_FAILED;
    }
    // Octets above 255 make no address: refuse instead of streaming to nowhere
    // (the running stream, if any, goes on).
    if (ctlInetAddr(destination) == CTL_INADDR_NONE &&
        std::strcmp(destination, "255.255.255.255") != 0) {
        std::printf("Error POSSTREAMSTART - invalid address %s\r\n", destination);
        return KOR_RES_FAILED;
    }
    stopStreaming(s);

    s.udpSocket = ctlSocket(CTL_AF_INET, CTL_SOCK_DGRAM, 0);
    if (s.udpSocket < 0) {
        vx::perror("Error UDPPositionTask - Can't create socket\r\n");
        s.udpSocket = -1;
        return KOR_RES_FAILED;
    }

    std::memcpy(streamLaunch.destination, destination, sizeof destination);
    std::memcpy(streamLaunch.header, korPosRecHeader, sizeof streamLaunch.header);
    const int id = ctlCreateTask(kPosStreamPriority, 0, UDPPositionTask, s.udpSocket, s.robotNo,
                                 s.frame, s.tool, s.io,
                                 reinterpret_cast<CtlArg>(streamLaunch.destination), port,
                                 s.recMode, s.delay, reinterpret_cast<CtlArg>(streamLaunch.header));
    if (id == -1) {
        ctlClose(s.udpSocket);
        s.udpSocket = -1;
        return KOR_RES_FAILED;
    }
    s.taskID = id;
    return 1;
}

int startSpeedOutput(const KorCommand& cmd) {
    KorStreamSettings& s = korStreamSettings;
    const int group = cmd.p[4] < 0 ? 0 : cmd.p[4];
    const int first = cmd.p[5] < 0 ? 0 : cmd.p[5];
    const int divider = cmd.p[6] <= 0 ? 1 : cmd.p[6];
    if (first > KOR_SPEED_LAST_REGISTER - (KOR_SPEED_REGISTERS - 1)) return KOR_RES_NOTHING;
    if (group > KOR_SPEED_MAX_GROUP) return KOR_RES_NOTHING;

    stopSpeedOutput(s);
    const int id = ctlCreateTask(kSpeedOutputPriority, 0, SpeedOutputTask, group, first, divider, 0,
                                 0, 0, 0, 0, 0, 0);
    if (id == -1) return KOR_RES_FAILED;
    s.taskIDSpeedOutput = id;
    return 1;
}

// "HH:MM:SS:mmm" of the real-time clock in local time into S variable `var`.
int writeTimeStamp(std::int32_t var) {
    if (vx::time() <= 0) return KOR_RES_FAILED;
    vx::Timespec now{};
    vx::clock_gettime(0, &now);
    const std::time_t seconds = static_cast<std::time_t>(now.tv_sec);
    if (static_cast<std::int64_t>(seconds) != now.tv_sec) return KOR_RES_FAILED;  // 32-bit time_t
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return KOR_RES_FAILED;

    CtlSVarInfoData text{};
    std::snprintf(text.half[0], sizeof text.half[0], "%02d:%02d:%02d:%03d", local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    const CtlVarInfo info{CTL_VAR_S_INFO, static_cast<std::uint16_t>(var)};
    return ctlPutSVarInfo(&info, &text, 1) < 0 ? KOR_RES_FAILED : 1;
}

int loadRecordHeader(std::int32_t var) {
    const CtlVarInfo info{CTL_VAR_P, static_cast<std::uint16_t>(var)};
    CtlPosVarData data{};
    if (ctlGetPosVarData(&info, &data, 1) != 0) return KOR_RES_NOTHING;
    std::memcpy(korPosRecHeader, &data.word[2], sizeof korPosRecHeader);
    return 1;
}

// Mode 1 sends what one read of the I/O signal and registers 500 .. 511
// gives; an address that cannot be read would stream zeros as if all were well.
bool registerStreamReadable(int io) {
    std::array<CtlIoInfo, 1 + KOR_STREAM_REGISTERS> info{};
    info[0].address = static_cast<std::uint32_t>(io);
    for (int k = 0; k < KOR_STREAM_REGISTERS; ++k)
        info[1 + k].address = CTL_REGISTER_BASE + KOR_STREAM_FIRST_REGISTER + k;
    std::array<std::uint16_t, 1 + KOR_STREAM_REGISTERS> values{};
    return ctlReadIO(info.data(), values.data(), static_cast<int>(info.size())) == 0;
}

int configureStreaming(const KorCommand& cmd) {
    KorStreamSettings& s = korStreamSettings;
    s.robotNo = cmd.p[4];
    s.frame = cmd.p[5];
    s.tool = cmd.p[6];
    s.io = cmd.p[7];
    s.delay = clampInt(cmd.p[0], 0, KOR_STREAM_MAX_DELAY);
    s.recMode = clampInt(cmd.p[1], 0, 1);
    bool valid = s.robotNo >= 0 && s.robotNo <= KOR_STREAM_MAX_ROBOT && s.frame >= 0 &&
                 s.tool >= 0 && s.tool <= KOR_STREAM_MAX_TOOL;
    if (valid && s.recMode == 1 && !registerStreamReadable(s.io)) {
        std::printf("Error POSSTREAMCONFIG - I/O address %d cannot be read\r\n", s.io);
        valid = false;
    }
    if (!valid) setNotConfigured(s);
    return valid ? 1 : KOR_RES_FAILED;
}

}  // namespace

void korCmdPosStreamConfig(const KorCommand& cmd) {
    korWriteResult(cmd.p[3], underStreamLock([&] { return configureStreaming(cmd); }));
}

void korCmdPosStreamStart(const KorCommand& cmd) {
    korWriteResult(cmd.p[3], underStreamLock([&] { return startStreaming(cmd); }));
}

void korCmdPosStreamStop(const KorCommand& cmd) {
    korWriteResult(cmd.p[3], underStreamLock([] {
                       stopStreaming(korStreamSettings);
                       return 1;
                   }));
}

void korCmdTimeStamp(const KorCommand& cmd) { korWriteResult(cmd.p[3], writeTimeStamp(cmd.p[4])); }

void korCmdSpeedOutStart(const KorCommand& cmd) {
    korWriteResult(cmd.p[3], underStreamLock([&] { return startSpeedOutput(cmd); }));
}

void korCmdSpeedOutStop(const KorCommand& cmd) {
    korWriteResult(cmd.p[3], underStreamLock([] {
                       stopSpeedOutput(korStreamSettings);
                       return 1;
                   }));
}

void korCmdPosRecHeader(const KorCommand& cmd) {
    korWriteResult(cmd.p[3], underStreamLock([&] { return loadRecordHeader(cmd.p[4]); }));
}

// The launcher: start-up of the program and the poll loop over the command
// area, which hands every command a job writes to a command task of its own.
#include <array>
#include <cstdio>
#include <cstring>

#include "funclib.h"
#include "korApp.h"
#include "korHandleTable.h"
#include "korObserve.h"
#include "korParams.h"

namespace {

constexpr int TASK_PRIORITY = 3;
constexpr int FALLBACK_PRIORITY = 150;
constexpr int FALLBACK_STACK = 40960;
constexpr int SVAR_HALF_CHARS = 16;
constexpr int PARAM_TEXT_SIZE = 2 * SVAR_HALF_CHARS + 1;

// The admin server, as the entry point names it.
CtlTaskEntry adminServerEntry = nullptr;
int adminServerPort = 0;

std::uint16_t var(std::int32_t number) { return static_cast<std::uint16_t>(number); }

// The text of S092: both 20-byte halves joined, each taken only up to its NUL
// and at most 16 characters, so a malformed record cannot overrun the buffer.
void joinHalves(const CtlSVarInfoData& data, char (&text)[PARAM_TEXT_SIZE]) {
    std::memset(text, 0, sizeof text);
    int used = 0;
    for (const auto& half : data.half) {
        const void* nul = std::memchr(half, '\0', SVAR_HALF_CHARS);
        const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - half)
                                  : SVAR_HALF_CHARS;
        std::memcpy(text + used, half, n);
        used += static_cast<int>(n);
    }
}

// Answers a command that waits in slot k from before the start: it was never
// run, and its job must not wait for a result that never comes.
void answerNotRun(const KorCommandArea& area, int k, std::int32_t id) {
    std::int32_t resultVar = 0;
    if (GetIVar(var(area.firstParamVar(k) + 3), &resultVar) != 0) {
        std::printf("Error - Reading command parameters I\r\n");
        return;
    }
    std::printf("Command %d in slot %d not run: controller restarted\r\n", id, k);
    if (SetBVar(var(resultVar), KOR_RES_NOT_RUN_RESTARTED) != 0)
        std::printf("Error - Writing result B\r\n");
}

// Clears the command IDs at start; the commands that were waiting are answered
// once their IDs are cleared (IDs left standing are run by the poll loop).
void clearCommandArea(const KorCommandArea& area) {
    std::array<std::int32_t, KOR_MAX_SLOTS> ids{};
    if (GetMultiBVar(var(area.base), ids.data(), area.slots) != 0) ids.fill(0);
    const std::array<std::int32_t, KOR_MAX_SLOTS> zeros{};
    if (SetMultiBVar(var(area.base), zeros.data(), area.slots) != 0) {
        std::printf("Error - Resetting command area:%d,%d\r\n", area.base, area.slots);
        return;
    }
    for (int k = 0; k < area.slots; ++k)
        if (ids[k] != 0) answerNotRun(area, k, ids[k]);
}

// Starts a command task for slot k, or writes 254 when none can be started.
void startCommand(const KorCommandArea& area, int k) {
    std::array<std::int32_t, KOR_SLOT_PARAMS> p{};
    if (GetMultiIVar(var(area.firstParamVar(k)), p.data(), KOR_SLOT_PARAMS) != 0) {
        std::printf("Error - Reading command parameters I\r\n");
        return;
    }
    const int ticket = kor_commandBegin(k, area.ids[k], p.data());
    const int task = korCreateTask(TASK_PRIORITY, 0, korCommandInterpreter,
                                   kor_packCommand(area.ids[k], ticket), p[4], p[5], p[6], p[7],
                                   p[0], p[1], p[2], p[8], p[3]);
    if (task == -1) kor_commandAbort(ticket, KOR_RES_FAILED);
    if (task == -1 && SetBVar(var(p[3]), KOR_RES_FAILED) != 0)
        std::printf("Error - Writing result B\r\n");
}

}  // namespace

int kor_readParameters(int* baseNumber, int* slotCount) {
    const CtlVarInfo ref{CTL_VAR_S_INFO, KOR_PARAM_SVAR};
    CtlSVarInfoData data{};
    if (ctlGetSVarInfo(&ref, &data, 1) != 0) return -1;
    if (data.half[0][0] == '\0') return -2;
    char text[PARAM_TEXT_SIZE];
    joinHalves(data, text);
    KorSlotLayout layout;
    if (korParseStartParameters(text, &layout) != 2) return -4;
    *baseNumber = layout.base;
    *slotCount = layout.slots;
    return 0;
}

int korCreateTask(int priority, int stackSize, CtlTaskEntry entry, CtlArg a1, CtlArg a2, CtlArg a3,
                  CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7, CtlArg a8, CtlArg a9, CtlArg a10) {
    const int id = ctlCreateTask(priority, stackSize, entry, a1, a2, a3, a4, a5, a6, a7, a8, a9,
                                 a10);
    if (id != -1) return id;
    std::printf("Error creating default KOR Task. Trying VXWorks thread\r\n");
    const int spawned = vx::taskSpawn(nullptr, FALLBACK_PRIORITY, 0, FALLBACK_STACK, entry, a1, a2,
                                      a3, a4, a5, a6, a7, a8, a9, a10);
    if (spawned == -1) vx::perror("Error - taskSpawn()");
    return spawned;
}

void korLauncherServe(CtlTaskEntry adminServer, int adminPort) {
    adminServerEntry = adminServer;
    adminServerPort = adminPort;
}

KorCommandArea korLauncherStart() {
    KorCommandArea area{};
    korFtpHandle = nullptr;
    std::memset(korPosRecHeader, 0, sizeof korPosRecHeader);

    if (kor_readParameters(&area.base, &area.slots) != 0) {
        area.base = KOR_DEFAULT_BASE;
        area.slots = KOR_DEFAULT_SLOTS;
    }
    korSysClkRate = vx::sysClkRateGet() / 1000;
    kor_observeStart();
    kor_observeStartTask();
    clearCommandArea(area);
    std::printf(
        "ArvoKOR started successfully !\r\nVersion:\t%.2f\r\nBaseAddress:\t%d\r\n"
        "ChannelNo:\t%d\r\nAdminPort:\t%d\r\nClockRate:\t%d\r\n",
        KOR_VERSION, area.base, area.slots, adminServerPort, korSysClkRate);

    if (adminServerEntry != nullptr)
        ctlCreateTask(TASK_PRIORITY, 0, adminServerEntry, adminServerPort, 0, 0, 0, 0, 0, 0, 0, 0,
                      0);
    return area;
}

void korPollCommandArea(KorCommandArea& area) {
    if (GetMultiBVar(var(area.base), area.ids, area.slots) != 0) {
        std::printf("Error - Reading commandIDs B\r\n");
        return;
    }
    for (int k = 0; k < area.slots; ++k) {
        if (area.ids[k] == 0) continue;
        startCommand(area, k);
        area.ids[k] = 0;
        if (SetBVar(var(area.commandIdVar(k)), 0) != 0)
            std::printf("Error - Resetting CommandID\r\n");
    }
}

int korPollDelayTicks() {
    // Rounded up: 4 ms at any clock rate, at least one tick, so the loop never
    // spins (korSysClkRate, ticks per millisecond, truncates to 0 below 1000 Hz).
    return ctlMsToTicks(KOR_POLL_MS);
}

void korLauncher(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg) {
    // Without the table's lock every channel command would run unlocked.
    if (KORHDLTBL_Init(&korHandleTable) != 0) {
        std::printf("Error - ArvoKOR not started: the channel table has no lock\r\n");
        return;
    }
    KorCommandArea area = korLauncherStart();
    for (;;) {
        korPollCommandArea(area);
        ctlTaskDelay(korPollDelayTicks());
    }
}

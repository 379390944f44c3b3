// Life cycle of the virtual controller: settings, state file, the
// controller's own FTP server and the boot task that runs the entry point.
#include <cstdio>
#include <mutex>
#include <string>

#include "ctl.h"
#include "schedule.h"
#include "taskInternal.h"
#include "vc.h"
#include "vcConsole.h"
#include "vcFtpServer.h"
#include "vcState.h"

namespace vc {

namespace {

std::mutex lifecycleLock;
bool running = false;

void bootTask(CtlArg root, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg) {
    reinterpret_cast<void (*)()>(root)();
}

}  // namespace

int startWith(const Settings& s, void (*root)()) {
    std::lock_guard guard(lifecycleLock);
    if (running) {
        std::fprintf(stderr, "virtual controller: already started\n");
        return -1;
    }
    if (std::string problem = settingsProblem(s); !problem.empty()) {
        std::fprintf(stderr, "virtual controller: %s\n", problem.c_str());
        return -1;
    }
    useSettings(s);
    installConsole();
    sched::setUp(s);
    std::string error;
    if (openState(s, &error) != 0) {
        std::fprintf(stderr, "virtual controller: %s\n", error.c_str());
        return -1;
    }
    removeTransferLeftovers(s.jobsDir);
    startFtpServer(s);  // reports its own failure; the controller runs without it
    if (vx::taskSpawn("tUsrRoot", 100, 0, 0, bootTask, reinterpret_cast<CtlArg>(root), 0, 0, 0, 0,
                      0, 0, 0, 0, 0) < 0) {
        std::perror("virtual controller: boot task");
        stopFtpServer();
        closeState();
        return -1;
    }
    running = true;
    return 0;
}

void stop() {
    std::lock_guard guard(lifecycleLock);
    task::deleteAllCreated();
    if (!running) return;
    stopFtpServer();
    closeState();
    running = false;
}

}  // namespace vc

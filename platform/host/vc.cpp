// Life cycle of the virtual controller: settings, state file, the
// controller's own FTP server and the boot task that runs the entry point.
#include <arpa/inet.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "ctl.h"
#include "schedule.h"
#include "taskInternal.h"
#include "vc.h"
#include "vcFtpServer.h"
#include "vcState.h"

namespace vc {

namespace {

std::mutex lifecycleLock;
bool running = false;

bool validAddress(const std::string& text) {
    in_addr a;
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// Settings the platform cannot run with; empty when they are usable.
std::string settingsProblem(const Settings& s) {
    if (!validAddress(s.address)) return "address '" + s.address + "' is no IPv4 address";
    if (!s.altAddress.empty() && !validAddress(s.altAddress))
        return "motetsec0 '" + s.altAddress + "' is no IPv4 address";
    if (s.clockRate < 1 || s.clockRate > 1000000) return "clock_rate must be 1 .. 1000000";
    if (s.clock0Us < 100 || s.clock1Us < 100) return "clock periods must be at least 100 us";
    if (s.ftpPort < 1 || s.ftpPort > 65535) return "ftp_port must be 1 .. 65535";
    return {};
}

void bootTask(CtlArg root, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
              CtlArg) {
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
    sched::setUp(s);
    std::string error;
    if (openState(s, &error) != 0) {
        std::fprintf(stderr, "virtual controller: %s\n", error.c_str());
        return -1;
    }
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

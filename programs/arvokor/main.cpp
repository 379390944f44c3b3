// arvokor: the virtual controller with ArvoKOR running in it. The controller's
// console is standard output.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "faults.h"
#include "korApp.h"
#include "korSettings.h"
#include "schedule.h"
#include "vc.h"

namespace {

void printHelp() {
    std::printf(
        "usage: arvokor [--config FILE] [--help]\n"
        "\n"
        "Starts the virtual controller and ArvoKOR in it, as a controller does at boot.\n"
        "The controller's console (the banner and every diagnostic) goes to standard\n"
        "output, each message as soon as it is printed. SIGINT or SIGTERM stop it.\n"
        "\n"
        "  --config FILE   settings file of key = value lines (# starts a comment):\n"
        "                  address, motetsec0, hostname, state, jobs, clock_rate,\n"
        "                  clock0_us, clock1_us, com1, com2, b_count, i_count,\n"
        "                  d_count, r_count, s_count, p_count, io_count,\n"
        "                  register_count, ftp_server, ftp_port, realtime (see the\n"
        "                  README). Without it the defaults serve.\n"
        "\n"
        "The state file (variables, I/O signals, registers, robot) is created when\n"
        "missing. When it was made with other variable counts, it is rebuilt with\n"
        "the counts of the settings: values whose index exists in both are kept.\n"
        "ArvoKOR's start parameters come from S92 ('base:slots', default 100:4).\n"
        "\n"
        "Test hooks (environment): KOR_FAULTS arms platform failures, KOR_FAULTS_AFTER_MS\n"
        "delays arming them, KOR_ALLOC_REPORT names a file that shows the memory\n"
        "blocks in use (see programs/arvokor/faults.h).\n");
}

int usage(const std::string& message) {
    std::fprintf(stderr, "arvokor: %s (arvokor --help tells more)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* configPath = nullptr;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) {
            printHelp();
            return 0;
        }
        if (std::strcmp(argv[k], "--config") == 0 && k + 1 < argc) configPath = argv[++k];
        else return usage(std::string("unknown argument '") + argv[k] + "'");
    }
    vc::Settings settings;
    std::string error;
    if (!kor::loadSettings(configPath, &settings, &error)) {
        std::fprintf(stderr, "arvokor: %s\n", error.c_str());
        return 2;
    }

    // The console shows each message when it is printed, also into a pipe
    // or a file.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A peer that goes away must not end the program: writes then fail
    // with EPIPE instead.
    signal(SIGPIPE, SIG_IGN);
    // Every task inherits the blocked stop signals; only main takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (const char* problem = nullptr; !kor::armFaultsFromEnvironment(&problem)) return usage(problem);
    // The admin server is a class 3 task like the commands; it serves an
    // engineer's tool and yields to them.
    vc::sched::placeEntry(kor_startAdminTCPServer, vc::sched::kAdminPriority);
    if (vc::start(settings) != 0) return 1;
    int signalNumber = 0;
    while (sigwait(&stopSignals, &signalNumber) != 0) {
    }
    vc::stop();
    std::fprintf(stderr, "arvokor: stopped by %s\n", signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}

// arvokor: the virtual controller with ArvoKOR running in it. The controller's
// console is standard output.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "faults.h"
#include "korApp.h"
#include "korObserve.h"
#include "korPPComm.h"
#include "korSettings.h"
#include "schedule.h"
#include "vc.h"
#include "vcState.h"

namespace {

void printHelp() {
    std::printf(
        "Usage: arvokor [--config FILE] [--make-state] [--new-state | --repair-state]\n"
        "               [--help]\n"
        "\n"
        "Starts the virtual controller and ArvoKOR in it, as a controller does at boot.\n"
        "The controller's console (the banner and every diagnostic) goes to standard\n"
        "output, each message as soon as it is printed. SIGINT or SIGTERM stop it.\n"
        "\n"
        "  --config FILE   settings file of key = value lines (# starts a comment);\n"
        "                  without it the defaults serve; relative paths in it are\n"
        "                  taken from the file's folder\n"
        "  --make-state    only make the state file (or bring it to the counts of the\n"
        "                  settings), then exit: korjob never makes one, so this lets\n"
        "                  a job's variables (such as S92) be set before the first start\n"
        "  --new-state     start over: the state file is moved aside to STATE.damaged\n"
        "                  (its values stay there) and an empty one is made\n"
        "  --repair-state  set the state file's lock up afresh, keeping every value;\n"
        "                  only while no other program (korjob, kordash) uses the file\n"
        "\n"
        "The state file (variables, I/O signals, registers, robot) is created when\n"
        "missing. When it was made with other variable counts, it is rebuilt with\n"
        "the counts of the settings: values whose index exists in both are kept.\n"
        "One arvokor runs per state file: a second one on the same file exits with\n"
        "status 1 and names the process that uses it (the lock is the file STATE.lock\n"
        "next to the state file, symbolic links resolved; korjob does not take it).\n"
        "A damaged state file is refused with a message that says what is damaged and\n"
        "which of the two options above recovers from it; nothing else starts over.\n"
        "ArvoKOR's start parameters come from S92 ('base:slots', default 100:4).\n"
        "\n"
        "Settings (key, default, allowed values, then what it does):\n"
        "%s",
        kor::describeSettings().c_str());
}

// The state file's path with every symbolic link resolved (also a link to a
// file not made yet), so that each way of naming the file finds one lock.
std::string resolvedPath(const std::string& statePath) {
    namespace fs = std::filesystem;
    fs::path p(statePath);
    for (int hops = 0; hops < 40; ++hops) {  // as many as the kernel follows
        std::error_code ec;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(p, ec), ec);
    return ec ? statePath : resolved.string();
}

// One arvokor per state file: a second would serve the same command slots.
// A write lock on "<state>.lock" next to the file itself (which holds the
// owner's pid for people) marks the owner; the kernel drops it when the
// process ends. korjob does not take it. Returns false with *error set when
// the lock is held or unusable.
bool lockStateFile(const std::string& statePath, std::string* error) {
    const std::string path = resolvedPath(statePath) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open lock file " + path + ": " + std::generic_category().message(errno);
        return false;
    }
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &whole) != 0) {
        const int err = errno;
        struct flock holder = whole;
        const bool known = ::fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
        ::close(fd);
        if (err != EACCES && err != EAGAIN) {
            *error = "cannot lock " + path + ": " + std::generic_category().message(err);
        } else {
            *error = "state file " + statePath + " is in use by process " +
                     (known ? std::to_string(holder.l_pid) : std::string("(unknown)")) +
                     " (another arvokor); stop it or give this one another state file";
        }
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    // The lock holds without the text, which is only for people to read.
    [[maybe_unused]] const bool written = ::ftruncate(fd, 0) == 0 &&
                                          ::pwrite(fd, pid.data(), pid.size(), 0) > 0;
    return true;  // fd stays open, and the lock with it, until the process ends
}

// --make-state: the state file as the controller would start with it.
int makeState(const vc::Settings& settings) {
    std::string notice, error;
    if (!vc::StateFile::open(settings.statePath, vc::countsFrom(settings),
                             vc::StateFile::Mode::Owner, &notice, &error,
                             settings.repairStateLock)) {
        std::fprintf(stderr, "arvokor: %s\n", error.c_str());
        return 1;
    }
    if (!notice.empty()) std::printf("%s\n", notice.c_str());
    return 0;
}

// --new-state: the old file goes aside, never away.
bool moveStateAside(const std::string& statePath, std::string* error) {
    const std::string aside = statePath + ".damaged";
    if (::rename(statePath.c_str(), aside.c_str()) == 0) {
        std::printf("arvokor: state file %s moved to %s; starting with an empty one\n",
                    statePath.c_str(), aside.c_str());
        return true;
    }
    if (errno == ENOENT) return true;
    *error = "cannot move state file " + statePath +
             " aside: " + std::generic_category().message(errno);
    return false;
}

// Ends the program at a stop signal that comes while it starts (the start
// may wait up to 10 s for the state file's lock); once started, hands the
// signal on to main, which stops the controller.
class StopSignals {
public:
    explicit StopSignals(const sigset_t& set) : set_(set) {
        pthread_create(&thread_, nullptr, &StopSignals::run, this);
    }
    void started() {
        pthread_mutex_lock(&lock_);
        started_ = true;
        pthread_mutex_unlock(&lock_);
    }
    int wait() {
        pthread_join(thread_, nullptr);
        return signal_;
    }

private:
    static void* run(void* self) {
        auto* s = static_cast<StopSignals*>(self);
        while (sigwait(&s->set_, &s->signal_) != 0) {
        }
        pthread_mutex_lock(&s->lock_);
        if (!s->started_) {
            std::printf("arvokor: stopped by %s while starting\n",
                        s->signal_ == SIGINT ? "SIGINT" : "SIGTERM");
            std::_Exit(1);
        }
        pthread_mutex_unlock(&s->lock_);
        return nullptr;
    }
    sigset_t set_;
    pthread_t thread_{};
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    bool started_ = false;
    int signal_ = 0;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "arvokor: %s (arvokor --help tells more)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* configPath = nullptr;
    bool makeStateOnly = false;
    bool newState = false;
    bool repairState = false;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) {
            printHelp();
            return 0;
        }
        if (std::strcmp(argv[k], "--config") == 0 && k + 1 < argc) configPath = argv[++k];
        else if (std::strcmp(argv[k], "--make-state") == 0) makeStateOnly = true;
        else if (std::strcmp(argv[k], "--new-state") == 0) newState = true;
        else if (std::strcmp(argv[k], "--repair-state") == 0) repairState = true;
        else return usage(std::string("unknown argument '") + argv[k] + "'");
    }
    if (newState && repairState) return usage("give --new-state or --repair-state, not both");
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

    if (const char* problem = nullptr; !kor::armFaultsFromEnvironment(&problem))
        return usage(problem);
    if (!lockStateFile(settings.statePath, &error) ||
        (newState && !moveStateAside(settings.statePath, &error))) {
        std::fprintf(stderr, "arvokor: %s\n", error.c_str());
        return 1;
    }
    settings.repairStateLock = repairState;
    if (makeStateOnly) return makeState(settings);
    StopSignals stop(stopSignals);
    // The admin server is a class 3 task like the commands; it serves an
    // engineer's tool and yields to them.
    vc::sched::placeEntry(kor_startAdminTCPServer, vc::sched::kAdminPriority);
    kor_observeConfigure(
        KorObserveConfig{settings.journal, settings.captureAll, settings.captureBytes});
    if (vc::start(settings) != 0) return 1;
    stop.started();
    const int signalNumber = stop.wait();
    vc::stop();
    std::printf("arvokor: stopped by %s\n", signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}

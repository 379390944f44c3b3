// The controller's own FTP server: a child process serving the job directory.
//
// "auto" runs vcftpd.py (installed in lib/arvokor, else the path the build set)
// with Debian's python3; any other command line runs through /bin/sh with the server's place in the
// environment (VC_FTP_ROOT, VC_FTP_ADDRESS, VC_FTP_PORT). The child ends with the program, also
// when the program is killed: it is given the read end of a pipe whose only write end the program
// holds, and the built-in server ends on its EOF; both get PR_SET_PDEATHSIG as well when started
// from the main thread. Start-up waits for readiness only briefly, so a slow server never delays
// the controller by more than that.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vcFtpServer.h"

namespace {

constexpr int READY_WAIT_MS = 2000;
constexpr int STOP_WAIT_MS = 2000;
constexpr int PARENT_FD = 3;  // the pipe end the built-in server watches
constexpr int READY_FD = 4;   // where it reports that it listens
constexpr const char* PYTHON = "/usr/bin/python3";

std::mutex serverLock;
pid_t serverPid = -1;
int parentPipe = -1;  // our (write) end: closing it ends the built-in server

// An installed arvokor (bin/) finds the server in lib/arvokor/ beside it,
// wherever the tree was unpacked; a build runs the source tree's copy (its
// absolute path comes from the build).
std::string scriptPath() {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        const std::string path(exe, static_cast<size_t>(n));
        std::string installed = path.substr(0, path.rfind('/')) + "/../lib/arvokor/vcftpd.py";
        if (::access(installed.c_str(), R_OK) == 0) return installed;
    }
    return VC_FTPD_SCRIPT;
}

// argv / envp as the exec calls want them; prepared before fork, since the
// child may only make async-signal-safe calls.
struct ExecArgs {
    std::vector<std::string> store;
    std::vector<char*> argv;
    void build(std::vector<std::string> words) {
        store = std::move(words);
        argv.clear();
        for (auto& w : store) argv.push_back(w.data());
        argv.push_back(nullptr);
    }
};

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until the child writes its ready line, closes the pipe (it failed) or
// the limit passes. 1 ready, 0 not yet, -1 the child ended.
int waitReadyLine(int fd) {
    const long long deadline = nowMs() + READY_WAIT_MS;
    for (;;) {
        const long long left = deadline - nowMs();
        if (left <= 0) return 0;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        char buf[16];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? 1 : -1;
    }
}

// Custom commands say nothing: wait until the port takes a connection.
int waitPortOpen(const vc::Settings& settings, pid_t pid) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(settings.ftpPort));
    if (inet_pton(AF_INET, settings.address.c_str(), &sin.sin_addr) != 1) return 0;
    const long long deadline = nowMs() + READY_WAIT_MS;
    while (nowMs() < deadline) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) return -1;
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return 0;
        const int r = ::connect(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        ::close(s);
        if (r == 0) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

// In the child: fd becomes `target` and stays open across exec. (dup2 onto
// itself would keep close-on-exec set.) Async-signal-safe.
bool keepAs(int fd, int target) {
    if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
    return ::dup2(fd, target) == target;
}

// A close-on-exec pipe whose end `childEnd` (0 read, 1 write) is moved above
// the descriptors the child will use, so that placing it there never clashes.
bool openPipe(int fds[2], int childEnd) {
    fds[0] = fds[1] = -1;
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    const int moved = ::fcntl(fds[childEnd], F_DUPFD_CLOEXEC, 10);
    if (moved < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        fds[0] = fds[1] = -1;
        return false;
    }
    ::close(fds[childEnd]);
    fds[childEnd] = moved;
    return true;
}

void reap(pid_t pid) {
    const long long deadline = nowMs() + STOP_WAIT_MS;
    int status;
    while (nowMs() < deadline) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
}

bool isBuiltIn(const vc::Settings& settings) {
    return settings.ftpServer.empty() || settings.ftpServer == "auto";
}

// The server's command line: the built-in script or the settings' command.
bool serverCommand(const vc::Settings& settings, ExecArgs* args) {
    if (!isBuiltIn(settings)) {
        args->build({"/bin/sh", "-c", settings.ftpServer});
        return true;
    }
    const std::string script = scriptPath();
    if (::access(script.c_str(), R_OK) != 0) {
        std::printf("arvokor: FTP server script %s not found; no FTP server\n", script.c_str());
        return false;
    }
    args->build({PYTHON, script, "--root", settings.jobsDir, "--address", settings.address,
                 "--port", std::to_string(settings.ftpPort), "--parent-fd",
                 std::to_string(PARENT_FD), "--ready-fd", std::to_string(READY_FD)});
    return true;
}

// Our environment with the server's place in VC_FTP_* (earlier ones replaced).
void serverEnvironment(const vc::Settings& settings, ExecArgs* env) {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "VC_FTP_", 7) != 0) vars.emplace_back(*e);
    }
    vars.push_back("VC_FTP_ROOT=" + settings.jobsDir);
    vars.push_back("VC_FTP_ADDRESS=" + settings.address);
    vars.push_back("VC_FTP_PORT=" + std::to_string(settings.ftpPort));
    env->build(std::move(vars));
}

// The pipe the server watches for our end (read end to the child) and the one
// it reports readiness on (write end to the child).
bool openServerPipes(int parent[2], int ready[2]) {
    if (openPipe(parent, 0) && openPipe(ready, 1)) return true;
    std::perror("arvokor: FTP server pipe");
    if (parent[0] >= 0) {
        ::close(parent[0]);
        ::close(parent[1]);
    }
    return false;
}

struct ChildSetup {
    const ExecArgs* args;
    const ExecArgs* env;
    int parentEnd, readyEnd;
    bool deathSignal;  // only when forked from the main thread, which lives as long as the program
    pid_t mainPid;
};

// In the child: only async-signal-safe calls from here to exec. The program
// blocks its stop signals in every thread and ignores SIGPIPE; the server
// must not inherit either.
[[noreturn]] void execServer(const ChildSetup& c) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe): one thread here
    ::signal(SIGPIPE, SIG_DFL);
    ::setpgid(0, 0);
    if (c.deathSignal) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != c.mainPid) ::_exit(1);
    }
    if (!keepAs(c.parentEnd, PARENT_FD) || !keepAs(c.readyEnd, READY_FD)) ::_exit(1);
    ::execve(c.args->argv[0], c.args->argv.data(), c.env->argv.data());
    ::_exit(127);
}

// Waits briefly for the started server; a server that ended is reaped and
// forgotten. 0 running (perhaps not ready yet), -1 it did not start.
int awaitServer(const vc::Settings& settings, pid_t pid, int readyFd) {
    const int state = isBuiltIn(settings) ? waitReadyLine(readyFd) : waitPortOpen(settings, pid);
    ::close(readyFd);
    if (state < 0) {
        std::printf("arvokor: the FTP server on %s port %d did not start\n",
                    settings.address.c_str(), settings.ftpPort);
        ::close(parentPipe);
        parentPipe = -1;
        reap(pid);
        serverPid = -1;
        return -1;
    }
    if (state == 0) {
        std::printf("arvokor: the FTP server on %s port %d is not ready yet\n",
                    settings.address.c_str(), settings.ftpPort);
    }
    return 0;
}

}  // namespace

int vc::startFtpServer(const Settings& settings) {
    if (settings.ftpServer == "off") return 0;
    std::lock_guard guard(serverLock);
    if (serverPid > 0) return 0;
    ExecArgs args;
    ExecArgs env;
    if (!serverCommand(settings, &args)) return -1;
    serverEnvironment(settings, &env);
    // The death signal belongs to the thread that forks.
    const bool onMainThread = ::gettid() == ::getpid();
    int parent[2];
    int ready[2];
    if (!openServerPipes(parent, ready)) return -1;
    const ChildSetup child{&args, &env, parent[0], ready[1], onMainThread, ::getpid()};
    const pid_t pid = ::fork();
    if (pid == 0) execServer(child);
    ::close(parent[0]);
    ::close(ready[1]);
    if (pid < 0) {
        std::perror("arvokor: FTP server fork");
        ::close(parent[1]);
        ::close(ready[0]);
        return -1;
    }
    serverPid = pid;
    parentPipe = parent[1];
    return awaitServer(settings, pid, ready[0]);
}

void vc::stopFtpServer() {
    std::lock_guard guard(serverLock);
    if (serverPid <= 0) return;
    if (parentPipe >= 0) ::close(parentPipe);
    parentPipe = -1;
    ::kill(-serverPid, SIGTERM);
    reap(serverPid);
    serverPid = -1;
}

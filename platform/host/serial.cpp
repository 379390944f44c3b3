// Serial ports of the virtual controller: "\COM1" (also the empty name) and
// "\COM2" are the devices named by the settings com1 and com2, real ttys or
// ptys, used in raw mode.
//
// Port numbers: ctlRsOpen returns line + 2 * n for the n-th opening of a line,
// so a number that was closed never reaches a later opening of the same line.
// ctlRsClose from any task wakes a ctlRsRecv / ctlRsSend waiting on the port
// (an eventfd in each of their waits), which then fails with -1. A receive
// waits for data, the closing or its task's deletion and nothing else, so an
// idle serial channel costs no wake-ups.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <strings.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "taskInternal.h"
#include "vc.h"

namespace {

using vc::hooks::Site;
using vc::task::Deadline;

constexpr int kLines = 2;
constexpr auto kSendWait = std::chrono::seconds(10);  // a stuck line fails a send after this
constexpr CtlRsConfig kDefaultConfig{960, 8, 0, 1};

int fail(int err) {
    errno = err;
    return -1;
}

// One opening of a device. The descriptors close with the last user, so a
// receive still waiting on them when the port is closed never sees a
// descriptor number that has been reused meanwhile.
struct OpenPort {
    int fd = -1;
    int wakeFd = -1;  // readable once the port is closed
    ~OpenPort() {
        if (fd >= 0) ::close(fd);
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

struct Line {
    std::mutex lock;
    CtlRsConfig config = kDefaultConfig;
    std::shared_ptr<OpenPort> port;
    int number = -1;
    int openings = 0;
};

Line lines[kLines];

int lineOf(const char* name) {
    if (!name) return -1;
    if (name[0] == 0 || strcasecmp(name, "\\COM1") == 0) return 0;
    if (strcasecmp(name, "\\COM2") == 0) return 1;
    return -1;
}

speed_t speedOf(std::int32_t config0) {
    switch (config0 <= 0 ? 960 : config0) {
        case 11: return B110;
        case 15: return B150;
        case 30: return B300;
        case 60: return B600;
        case 120: return B1200;
        case 180: return B1800;
        case 240: return B2400;
        case 480: return B4800;
        case 960: return B9600;
        case 1920: return B19200;
        case 3840: return B38400;
        case 5760: return B57600;
        case 11520: return B115200;
        case 23040: return B230400;
        default: return B0;
    }
}

bool configValid(const CtlRsConfig& c) {
    int stop = c.config3 & 15, flow = c.config3 & ~15;
    return speedOf(c.config0) != B0 && (c.config1 == 0 || (c.config1 >= 5 && c.config1 <= 8)) &&
           c.config2 >= 0 && c.config2 <= 2 && stop <= 2 && (flow == 0 || flow == 16 || flow == 32);
}

bool applyConfig(int fd, const CtlRsConfig& c) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    speed_t speed = speedOf(c.config0);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[(c.config1 == 0 ? 8 : c.config1) - 5];
    if (c.config2 == 1) t.c_cflag |= PARENB | PARODD;
    if (c.config2 == 2) t.c_cflag |= PARENB;
    if ((c.config3 & 15) == 2) t.c_cflag |= CSTOPB;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if ((c.config3 & ~15) == 16) t.c_cflag |= CRTSCTS;
    if ((c.config3 & ~15) == 32) t.c_iflag |= IXON | IXOFF;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// The open port behind a number, shared with the caller for one call.
std::shared_ptr<OpenPort> portOf(int number) {
    if (number < 0) return nullptr;
    Line& line = lines[number % kLines];
    std::lock_guard guard(line.lock);
    return line.number == number ? line.port : nullptr;
}

}  // namespace

int ctlRsInit(const char* portName, const CtlRsConfig* config) {
    int l = lineOf(portName);
    if (l < 0 || !config || !configValid(*config)) return fail(EINVAL);
    if (vc::hooks::shouldFail(Site::RsInit)) return -1;
    Line& line = lines[l];
    std::lock_guard guard(line.lock);
    line.config = *config;
    if (line.port && isatty(line.port->fd) && !applyConfig(line.port->fd, *config)) return -1;
    return 0;
}

int ctlRsOpen(const char* portName) {
    int l = lineOf(portName);
    if (l < 0) return fail(EINVAL);
    if (vc::hooks::shouldFail(Site::RsOpen)) return -1;
    const std::string& path = l == 0 ? vc::settings().com1 : vc::settings().com2;
    if (path.empty()) return fail(ENODEV);  // no device behind this name
    Line& line = lines[l];
    std::lock_guard guard(line.lock);
    if (line.port) return fail(EBUSY);
    auto port = std::make_shared<OpenPort>();
    port->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->fd < 0) return -1;
    port->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (port->wakeFd < 0) return -1;
    if (isatty(port->fd)) {
        if (!applyConfig(port->fd, line.config)) return -1;
        tcflush(port->fd, TCIFLUSH);  // what arrived before the opening is not for us
    }
    line.port = std::move(port);
    line.number = l + kLines * (line.openings++ % 1000000);
    return line.number;
}

int ctlRsSend(int portNo, const char* buf, int len) {
    if (len < 0 || (len > 0 && !buf)) return fail(EINVAL);
    auto port = portOf(portNo);
    if (!port) return fail(EBADF);
    if (vc::hooks::shouldFail(Site::RsSend)) return -1;
    Deadline deadline = Deadline::after(kSendWait);
    int sent = 0;
    while (sent < len) {
        ssize_t n = ::write(port->fd, buf + sent, static_cast<std::size_t>(len - sent));
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
        pollfd set[2] = {{port->fd, POLLOUT, 0}, {port->wakeFd, POLLIN, 0}};
        int ready = vc::task::pollWait(set, 2, deadline);
        if (ready < 0) return -1;
        if (ready == 0) return fail(ETIMEDOUT);
        if (set[1].revents != 0) return fail(EBADF);  // closed under us
    }
    return 0;
}

int ctlRsRecv(int portNo, char* buf, int len) {
    if (len <= 0 || !buf) return fail(EINVAL);
    auto port = portOf(portNo);
    if (!port) return fail(EBADF);
    if (vc::hooks::shouldFail(Site::RsRecv)) return -1;
    pollfd set[2] = {{port->fd, POLLIN, 0}, {port->wakeFd, POLLIN, 0}};
    int ready = vc::task::pollWait(set, 2, Deadline::forever());
    if (ready < 0) return -1;
    if (set[1].revents != 0) return fail(EBADF);  // closed under us
    ssize_t n = ::read(port->fd, buf, static_cast<std::size_t>(len));
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // End of file or a hang-up: the device is gone.
    return n == 0 ? fail(EIO) : -1;
}

int ctlRsClose(int portNo) {
    if (portNo < 0) return fail(EBADF);
    Line& line = lines[portNo % kLines];
    std::shared_ptr<OpenPort> port;
    {
        std::lock_guard guard(line.lock);
        if (line.number != portNo || !line.port) return fail(EBADF);
        port = std::move(line.port);
        line.number = -1;
    }
    std::uint64_t one = 1;
    if (::write(port->wakeFd, &one, sizeof one) < 0) return -1;
    return 0;
}

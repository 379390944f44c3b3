// Pipe devices: named queues of at most nMessages messages of at most nBytes.
// The messages live in the device; an eventfd counts them, and every pipe
// descriptor is a duplicate of that eventfd, so a descriptor is readable (for
// ctlSelect and ppoll) exactly while a message is pending. A write that finds
// the pipe full fails at once; a read waits (deletably) for a message.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "pipeInternal.h"
#include "taskInternal.h"

namespace {

constexpr int kMaxMessages = 4096;
constexpr int kMaxMessageBytes = 65536;

struct PipeDevice {
    std::size_t maxMessages = 0;
    std::size_t maxBytes = 0;
    int countFd = -1;  // eventfd (semaphore mode): one count per pending message
    std::mutex lock;
    std::deque<std::vector<char>> messages;
    bool deleted = false;
    int openDescriptors = 0;  // guarded by the registry lock

    ~PipeDevice() {
        if (countFd >= 0) ::close(countFd);
    }
};

struct Registry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<PipeDevice>> byName;
    std::map<int, std::shared_ptr<PipeDevice>> byDescriptor;
};

// Never destroyed: detached tasks may still use pipes while the program exits.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

std::shared_ptr<PipeDevice> deviceOf(int fd) {
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.byDescriptor.find(fd);
    return it == reg.byDescriptor.end() ? nullptr : it->second;
}

void countUp(const PipeDevice& dev) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(dev.countFd, &one, sizeof one);
}

void countDown(const PipeDevice& dev) {
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(dev.countFd, &value, sizeof value);
}

// Takes the oldest message into buf; -1 with errno when the device is gone,
// -2 when nothing is pending.
int takeMessage(PipeDevice& dev, char* buf, std::size_t maxBytes) {
    std::lock_guard guard(dev.lock);
    if (dev.deleted) {
        errno = EBADF;
        return -1;
    }
    if (dev.messages.empty()) return -2;
    std::vector<char> message = std::move(dev.messages.front());
    dev.messages.pop_front();
    countDown(dev);
    std::size_t n = std::min(message.size(), maxBytes);
    if (n > 0) std::memcpy(buf, message.data(), n);
    return static_cast<int>(n);
}

}  // namespace

bool vc::pipes::isPipe(int fd) { return deviceOf(fd) != nullptr; }

namespace vx {

int pipeDevCreate(const char* name, int nMessages, int nBytes) {
    if (vc::hooks::shouldFail(vc::hooks::Site::PipeCreate)) return -1;
    if (!name || !*name || nMessages < 1 || nMessages > kMaxMessages || nBytes < 1 ||
        nBytes > kMaxMessageBytes) {
        errno = EINVAL;
        return -1;
    }
    auto dev = std::make_shared<PipeDevice>();
    dev->maxMessages = static_cast<std::size_t>(nMessages);
    dev->maxBytes = static_cast<std::size_t>(nBytes);
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    if (reg.byName.count(name) != 0) {
        errno = EEXIST;
        return -1;
    }
    dev->countFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (dev->countFd < 0) return -1;
    reg.byName.emplace(name, std::move(dev));
    return 0;
}

int pipeDevDelete(const char* name, bool force) {
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    std::shared_ptr<PipeDevice> dev;
    {
        Registry& reg = registry();
        std::lock_guard guard(reg.lock);
        auto it = reg.byName.find(name);
        if (it == reg.byName.end()) {
            errno = ENOENT;
            return -1;
        }
        if (!force && it->second->openDescriptors > 0) {
            errno = EBUSY;
            return -1;
        }
        dev = std::move(it->second);
        reg.byName.erase(it);
    }
    // Descriptors still open on it stay readable from now on, and their reads
    // fail, so a reader waiting on it wakes up.
    std::lock_guard guard(dev->lock);
    dev->deleted = true;
    dev->messages.clear();
    countUp(*dev);
    return 0;
}

int open(const char* name, int /*flags*/, int /*mode*/) {
    if (vc::hooks::shouldFail(vc::hooks::Site::PipeOpen)) return -1;
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    Registry& reg = registry();
    std::lock_guard guard(reg.lock);
    auto it = reg.byName.find(name);
    if (it == reg.byName.end()) {
        errno = ENOENT;
        return -1;
    }
    int fd = ::fcntl(it->second->countFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!ctlFdValid(fd)) {  // could never be watched with ctlSelect
        ::close(fd);
        errno = EMFILE;
        return -1;
    }
    ++it->second->openDescriptors;
    reg.byDescriptor[fd] = it->second;
    return fd;
}

int read(int fd, char* buf, std::size_t maxBytes) {
    vc::task::checkDeleted();
    std::shared_ptr<PipeDevice> dev = deviceOf(fd);
    if (!dev)
        return ctlRecv(fd, buf, static_cast<int>(std::min<std::size_t>(maxBytes, INT32_MAX)), 0);
    if (vc::hooks::shouldFail(vc::hooks::Site::PipeRead)) return -1;
    if (!buf && maxBytes > 0) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        int n = takeMessage(*dev, buf, maxBytes);
        if (n != -2) return n;
        if (vc::task::pollOne(fd, POLLIN, vc::task::Deadline::forever()) < 0) return -1;
    }
}

int write(int fd, const char* buf, std::size_t nBytes) {
    std::shared_ptr<PipeDevice> dev = deviceOf(fd);
    if (!dev)
        return ctlSend(fd, buf, static_cast<int>(std::min<std::size_t>(nBytes, INT32_MAX)), 0);
    if (vc::hooks::shouldFail(vc::hooks::Site::PipeWrite)) return -1;
    if (nBytes > dev->maxBytes || (!buf && nBytes > 0)) {
        errno = EMSGSIZE;
        return -1;
    }
    if (nBytes == 0) return 0;
    std::lock_guard guard(dev->lock);
    if (dev->deleted) {
        errno = EBADF;
        return -1;
    }
    if (dev->messages.size() >= dev->maxMessages) {
        errno = EAGAIN;  // full: never wait
        return -1;
    }
    dev->messages.emplace_back(buf, buf + nBytes);
    countUp(*dev);
    return static_cast<int>(nBytes);
}

int close(int fd) {
    std::shared_ptr<PipeDevice> dev;
    {
        Registry& reg = registry();
        std::lock_guard guard(reg.lock);
        auto it = reg.byDescriptor.find(fd);
        if (it != reg.byDescriptor.end()) {
            dev = std::move(it->second);
            reg.byDescriptor.erase(it);
            --dev->openDescriptors;
            ::close(fd);
        }
    }
    if (!dev) return ctlClose(fd);
    return 0;
}

}  // namespace vx

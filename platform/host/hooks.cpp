// Test hooks: armed failures per call site and per variable range.
#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "ctlTestHooks.h"

namespace vc::hooks {
namespace {

struct SiteFailure {
    int skip = 0;
    int times = 0;  // < 0: forever
    int err = EIO;
};

struct VarFailure {
    bool write;
    std::uint16_t type, first, last;
    int times;
};

std::mutex hookLock;
std::array<SiteFailure, static_cast<int>(Site::Count)> sites;
std::vector<VarFailure> vars;
// Fast path: nothing armed, no lock taken on every platform call.
std::atomic<bool> anyArmed{false};
std::atomic<std::int64_t> calendarStep{0};
std::atomic<int> sendDelay{0};

void updateArmed() {
    bool armed = !vars.empty();
    for (const auto& s : sites) armed = armed || s.times != 0;
    anyArmed.store(armed, std::memory_order_release);
}

}  // namespace

void failAfter(Site site, int skip, int times, int err) {
    std::lock_guard guard(hookLock);
    sites[static_cast<int>(site)] = SiteFailure{skip, times, err};
    updateArmed();
}

void failVar(bool write, std::uint16_t type, std::uint16_t first, std::uint16_t last, int times) {
    std::lock_guard guard(hookLock);
    vars.push_back(VarFailure{write, type, first, last, times});
    updateArmed();
}

const char* siteName(Site site) {
    static constexpr const char* kNames[] = {
        "Malloc",      "VarRead",     "VarWrite",    "IoRead",    "IoWrite",   "Socket",
        "Bind",        "Listen",      "Accept",      "Connect",   "Send",      "Recv",
        "SendTo",      "Select",      "TaskCreate",  "TaskSpawn", "SemCreate", "MsgQCreate",
        "PipeCreate",  "PipeOpen",    "RsInit",      "RsOpen",    "RsSend",    "RsRecv",
        "CartPos",     "ServoSpeed",  "FileList",    "IfAddr",    "Close",     "SemTake",
        "MsgQSend",    "MsgQReceive", "MsgQDelete",  "PipeRead",  "PipeWrite", "Random",
        "TlsSettings", "Shutdown",    "MutexCreate", "MutexTake"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(Site::Count));
    const auto i = static_cast<std::size_t>(site);
    return i < std::size(kNames) ? kNames[i] : "?";
}

void delaySends(int ms) { sendDelay.store(ms); }

int sendDelayMs() { return sendDelay.load(); }

void stepCalendar(std::int64_t seconds) { calendarStep.fetch_add(seconds); }

std::int64_t calendarOffset() { return calendarStep.load(); }

void reset() {
    calendarStep.store(0);
    sendDelay.store(0);
    std::lock_guard guard(hookLock);
    sites.fill(SiteFailure{});
    vars.clear();
    updateArmed();
}

bool shouldFail(Site site) {
    if (!anyArmed.load(std::memory_order_acquire)) return false;
    std::lock_guard guard(hookLock);
    SiteFailure& s = sites[static_cast<int>(site)];
    if (s.times == 0) return false;
    if (s.skip > 0) {
        --s.skip;
        return false;
    }
    if (s.times > 0) --s.times;
    errno = s.err;
    updateArmed();
    return true;
}

bool shouldFailVar(bool write, std::uint16_t type, std::uint16_t index) {
    if (!anyArmed.load(std::memory_order_acquire)) return false;
    std::lock_guard guard(hookLock);
    for (auto it = vars.begin(); it != vars.end(); ++it) {
        if (it->write != write || it->type != type || index < it->first || index > it->last)
            continue;
        if (it->times > 0 && --it->times == 0) vars.erase(it);
        errno = EIO;
        updateArmed();
        return true;
    }
    return false;
}

}  // namespace vc::hooks

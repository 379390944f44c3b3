// The controller's console: standard output, with a tap in front of it. The
// process's stdout stream is replaced once by one that hands every write to
// the tap, so printf and vx::perror of every task pass through it.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "ctl.h"
#include "vcConsole.h"

namespace {

std::atomic<CtlConsoleTap> currentTap{nullptr};

void writeConsole(const char* text, int length) {
    while (length > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, text, static_cast<std::size_t>(length));
        if (n <= 0) return;  // a closed or failing console loses the text, as before
        text += n;
        length -= static_cast<int>(n);
    }
}

// stdio calls the write with the stream's lock held, so writes come one at a
// time; the tap's own lock says so where the race detector can see it too
// (stdio's lock is inside the C library). Recursive, as stdio's lock is.
std::recursive_mutex tapLock;

ssize_t tappedWrite(void*, const char* text, std::size_t size) {
    const int length = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    const std::lock_guard<std::recursive_mutex> oneAtATime(tapLock);
    if (CtlConsoleTap tap = currentTap.load(std::memory_order_acquire))
        tap(text, length, writeConsole);
    else writeConsole(text, length);
    return static_cast<ssize_t>(length);
}

}  // namespace

void ctlConsoleTap(CtlConsoleTap tap) { currentTap.store(tap, std::memory_order_release); }

namespace vc {

void installConsole() {
    static bool installed = false;
    if (installed) return;
    cookie_io_functions_t io{};
    io.write = tappedWrite;
    FILE* tapped = ::fopencookie(nullptr, "w", io);
    if (tapped == nullptr) return;  // the console stays untapped
    std::fflush(stdout);
    // Unbuffered: each printf reaches the tap (and the console) as one write.
    std::setvbuf(tapped, nullptr, _IONBF, 0);
    stdout = tapped;
    installed = true;
}

}  // namespace vc

// The parts of korObserve as observe.cpp sees them. The journal, the console,
// the capture and the counters are leaves: none calls another; observe.cpp
// configures and starts them and hands each event to the ones it concerns.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "korObserve.h"
#include "korSecure.h"

namespace korobs {

// Calendar time from the platform's real-time clock.
inline std::int64_t nowUs() {
    vx::Timespec ts{};
    if (vx::clock_gettime(0, &ts) != 0) return 0;
    return ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}
inline std::int64_t nowMs() { return nowUs() / 1000; }

// Appends text to buf at *used (room size), truncating; always terminated.
inline void append(char* buf, int size, int* used, const char* text) {
    while (*used < size - 1 && *text != '\0') buf[(*used)++] = *text++;
    if (size > 0) buf[*used < size ? *used : size - 1] = '\0';
}
// snprintf into buf at *used, truncating.
inline __attribute__((format(printf, 4, 5))) void appendf(char* buf, int size, int* used,
                                                          const char* format, ...) {
    if (*used >= size - 1) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf + *used, static_cast<std::size_t>(size - *used), format, args);
    va_end(args);
    if (n > 0) *used = *used + n < size - 1 ? *used + n : size - 1;
}

// ---------------------------------------------------------------- journal.cpp

// Allocates the journal's ring (entries > 0); false when it cannot be had.
bool startJournal(int entries);
// Text the calling task printed: kept with the journal record of the command
// that task runs, if any. Only the command's own task writes its record.
void journalPrinted(const char* text, int length);
// A command that ended: what the counters are told.
struct EndedCommand {
    std::int32_t id;
    std::int32_t result;
    std::int64_t durationMs;
};
// The command of `ticket` (not started) ends with result; false for none.
bool endTicket(int ticket, std::int32_t result, EndedCommand* ended);
// The calling task's command ends with result; false when it runs none.
bool endOwnCommand(std::int32_t result, EndedCommand* ended);

// ---------------------------------------------------------------- console.cpp

// Allocates the console's ring.
void startConsole();
// Starts the task that writes fold counts, unless it runs (without it a count
// is written before the next line).
void startConsoleTask();
// A console write of the calling task (one at a time, as the platform passes
// them): what reaches the console goes through write.
void consoleWrite(const char* text, int length, CtlConsoleWrite write);

// ---------------------------------------------------------------- capture.cpp

// Creates the streams' locks; with all, switches every stream on (rings of
// bytes each). False when a ring could not be had.
bool startCapture(int bytes, bool all);
// One chunk of a channel's traffic (received: true) for its capture, if on;
// from: a received datagram's sender.
void captureChunk(int handle, bool received, const char* data, int length,
                  const CtlSockAddrIn* from = nullptr);
// What a service's connection carried (see KorStreamBlock).
void captureService(const KorStreamBlock& block);

// ---------------------------------------------------------------- counters.cpp

// Histogram bounds of command durations (ms); one more bucket above the last.
inline constexpr const int (&kDurationBounds)[KOR_DURATION_BOUNDS] = KOR_DURATION_BOUNDS_MS;
inline constexpr int kDurationBuckets = KOR_DURATION_BOUNDS + 1;
void countCommand(std::int32_t id, std::int32_t result, std::int64_t durationMs);
// The controller started now (its start time in the counters).
void noteStarted();
// Bytes channel `handle` of kind `type` received (stored of them went into its queue).
void countReceived(int handle, int type, int length, int stored);
// Bytes channel `handle` of kind `type` sent.
void countSent(int handle, int type, int sent);

// ---------------------------------------------------------------- journal.cpp (slots)

// A command slot with a command running: the oldest one's number and start.
struct BusySlot {
    int slot;
    std::int32_t id;
    std::int64_t sinceMs;
};
// Fills out with at most max slots; returns how many are busy.
int busySlots(BusySlot* out, int max);

}  // namespace korobs

// Shared by the parts of korObserve: time and the command tasks' console lines.
#pragma once

#include <cstdint>

#include "korObserve.h"

namespace korobs {

// Calendar time from the platform's real-time clock.
std::int64_t nowUs();
inline std::int64_t nowMs() { return nowUs() / 1000; }

const KorObserveConfig& config();

// A whole console line (no line end) printed by task taskId: kept with the
// journal entry of the command that task runs, if any.
void attachLine(int taskId, const char* text, int length);

// Appends text to buf at *used (room size), truncating; always terminated.
void append(char* buf, int size, int* used, const char* text);
// snprintf into buf at *used, truncating.
void appendf(char* buf, int size, int* used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void startConsole();
bool startCapture();

// Histogram bounds of command durations (ms); one more bucket above the last.
inline constexpr const int (&kDurationBounds)[KOR_DURATION_BOUNDS] = KOR_DURATION_BOUNDS_MS;
inline constexpr int kDurationBuckets = KOR_DURATION_BOUNDS + 1;
void countCommand(std::int32_t id, std::int32_t result, std::int64_t durationMs);
// The controller started now (its start time in the counters).
void noteStarted();

// A command slot with a command running: the oldest one's number and start.
struct BusySlot {
    int slot;
    std::int32_t id;
    std::int64_t sinceMs;
};
// Fills out with at most max slots; returns how many are busy.
int busySlots(BusySlot* out, int max);

}  // namespace korobs

namespace korobs {

// One chunk of a channel's traffic (received: true) for its capture, if on.
void captureChunk(int handle, bool received, const char* data, int length);

}  // namespace korobs

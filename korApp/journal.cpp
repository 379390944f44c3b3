// The command journal: every command a job issues, recorded when it ends
// (its result is written), with the console lines its task printed meanwhile.
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "korCommands.h"
#include "korObserveInternal.h"
#include "korRing.h"

namespace {

struct KorJournalRecord {
    std::int64_t startMs;
    std::int32_t durationMs;
    std::int32_t result;  // -1: none written
    std::int32_t p[KOR_JOURNAL_PARAMS];
    std::int16_t slot;
    std::int16_t pad;
    std::int32_t id;
    std::int32_t textLength;
    std::int32_t pad2;
    char text[KOR_JOURNAL_TEXT];  // the console lines, each ended by LF
};

// A command between its start by the launcher and its end. Only the
// launcher (before the task exists) and then the command's own task write it.
struct ActiveCommand {
    std::atomic<int> claimed{0};
    std::atomic<int> taskId{0};
    std::int64_t startTicks = 0;
    // Start ms, slot and command number packed, 0 when none runs: what the
    // counters show as "busy since", read without a lock.
    std::atomic<std::uint64_t> busy{0};
    KorJournalRecord record{};
};

// More commands than this running at once go unrecorded.
constexpr int kActive = 64;
std::array<ActiveCommand, kActive> active;
KorRing<KorJournalRecord> journal;
KorObserveConfig settings;
std::atomic<std::uint64_t> unrecorded{0};

ActiveCommand* ofTicket(int ticket) {
    return ticket >= 1 && ticket <= kActive ? &active[static_cast<std::size_t>(ticket - 1)]
                                            : nullptr;
}

ActiveCommand* ofTask(int taskId) {
    if (taskId == 0) return nullptr;
    for (auto& a : active)
        if (a.taskId.load(std::memory_order_acquire) == taskId) return &a;
    return nullptr;
}

std::int64_t ticksToMs(std::int64_t ticks) {
    const int rate = vx::sysClkRateGet();
    return rate > 0 ? (ticks * 1000 + rate / 2) / rate : 0;
}

std::uint64_t packBusy(std::int64_t startMs, int slot, std::int32_t id) {
    return static_cast<std::uint64_t>(startMs) << 22 |
           (static_cast<std::uint64_t>(slot) & 0x3f) << 16 |
           (static_cast<std::uint64_t>(id) & 0xffff);
}

void finish(ActiveCommand& a, std::int32_t result) {
    a.busy.store(0, std::memory_order_relaxed);
    KorJournalRecord& r = a.record;
    const std::int64_t ms = ticksToMs(vx::tickGet() - a.startTicks);
    r.durationMs = static_cast<std::int32_t>(ms > 0x7fffffff ? 0x7fffffff : ms);
    r.result = result;
    korobs::countCommand(r.id, result, ms);
    journal.publish(r);
    a.taskId.store(0, std::memory_order_release);
    a.claimed.store(0, std::memory_order_release);
}

}  // namespace

namespace korobs {

std::int64_t nowUs() {
    vx::Timespec ts{};
    if (vx::clock_gettime(0, &ts) != 0) return 0;
    return ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

const KorObserveConfig& config() { return settings; }

int busySlots(BusySlot* out, int max) {
    int found = 0;
    for (const auto& a : active) {
        const std::uint64_t v = a.busy.load(std::memory_order_relaxed);
        if (v == 0) continue;
        const BusySlot b{static_cast<int>(v >> 16 & 0x3f), static_cast<std::int32_t>(v & 0xffff),
                         static_cast<std::int64_t>(v >> 22)};
        int k = 0;
        while (k < found && out[k].slot != b.slot) ++k;
        if (k < found && out[k].sinceMs <= b.sinceMs) continue;  // an older one runs there
        if (k == found && found == max) continue;
        if (k == found) ++found;
        out[k] = b;
    }
    return found;
}

void append(char* buf, int size, int* used, const char* text) {
    while (*used < size - 1 && *text != '\0') buf[(*used)++] = *text++;
    if (size > 0) buf[*used < size ? *used : size - 1] = '\0';
}

void appendf(char* buf, int size, int* used, const char* format, ...) {
    if (*used >= size - 1) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf + *used, static_cast<std::size_t>(size - *used), format, args);
    va_end(args);
    if (n > 0) *used = *used + n < size - 1 ? *used + n : size - 1;
}

void attachLine(int taskId, const char* text, int length) {
    ActiveCommand* a = ofTask(taskId);
    if (a == nullptr) return;
    KorJournalRecord& r = a->record;
    const int room = KOR_JOURNAL_TEXT - 1 - r.textLength;
    if (room <= 1) return;  // full: later lines are left out
    const int n = length < room - 1 ? length : room - 1;
    std::memcpy(r.text + r.textLength, text, static_cast<std::size_t>(n));
    r.textLength += n;
    r.text[r.textLength++] = '\n';
    r.text[r.textLength] = '\0';
}

}  // namespace korobs

void kor_observeConfigure(const KorObserveConfig& config) {
    settings = config;
    if (settings.journalEntries < 0) settings.journalEntries = 0;
    if (settings.journalEntries > KOR_JOURNAL_MAX_ENTRIES)
        settings.journalEntries = KOR_JOURNAL_MAX_ENTRIES;
    if (settings.captureBytes < KOR_CAPTURE_MIN_BYTES)
        settings.captureBytes = KOR_CAPTURE_MIN_BYTES;
    if (settings.captureBytes > KOR_CAPTURE_MAX_BYTES)
        settings.captureBytes = KOR_CAPTURE_MAX_BYTES;
}

void kor_observeStart() {
    korobs::noteStarted();
    if (settings.journalEntries > 0 && !journal.allocate(settings.journalEntries))
        std::printf("Error - Journal: no memory for %d entries, journal off\r\n",
                    settings.journalEntries);
    korobs::startConsole();
    korobs::startCapture();
}

int kor_commandBegin(int slot, std::int32_t id, const std::int32_t p[KOR_JOURNAL_PARAMS]) {
    for (int i = 0; i < kActive; ++i) {
        int expected = 0;
        if (!active[i].claimed.compare_exchange_strong(expected, 1, std::memory_order_acquire))
            continue;
        ActiveCommand& a = active[i];
        a.startTicks = vx::tickGet();
        a.record = KorJournalRecord{};
        a.record.startMs = korobs::nowMs();
        a.record.slot = static_cast<std::int16_t>(slot);
        a.record.id = id;
        a.record.result = -1;
        std::memcpy(a.record.p, p, sizeof a.record.p);
        a.busy.store(packBusy(a.record.startMs, slot, id), std::memory_order_relaxed);
        return i + 1;
    }
    unrecorded.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void kor_commandAbort(int ticket, std::int32_t result) {
    if (ActiveCommand* a = ofTicket(ticket)) finish(*a, result);
}

void kor_commandAttach(int ticket) {
    if (ActiveCommand* a = ofTicket(ticket))
        a->taskId.store(ctlTaskIdSelf(), std::memory_order_release);
}

void kor_commandResult(std::int32_t result) {
    if (ActiveCommand* a = ofTask(ctlTaskIdSelf())) finish(*a, result);
}

void kor_commandEnd() { kor_commandResult(-1); }

namespace {

void entryText(std::uint64_t seq, const KorJournalRecord& r, char* buf, int size, int* used) {
    const char* name = korCommandName(r.id);
    korobs::appendf(buf, size, used, "E %llu %lld %d %d %d %d %s",
                    static_cast<unsigned long long>(seq), static_cast<long long>(r.startMs),
                    r.durationMs, r.slot, r.id, r.result, name ? name : "?");
    for (std::int32_t v : r.p) korobs::appendf(buf, size, used, " %d", v);
    korobs::append(buf, size, used, "\n");
    // Each console line as "L text".
    const char* line = r.text;
    const char* end = r.text + (r.textLength < KOR_JOURNAL_TEXT ? r.textLength : 0);
    while (line < end) {
        const char* lf = static_cast<const char*>(std::memchr(line, '\n', end - line));
        if (lf == nullptr) lf = end;
        korobs::appendf(buf, size, used, "L %.*s\n", static_cast<int>(lf - line), line);
        line = lf + 1;
    }
}

}  // namespace

int kor_journalText(std::uint64_t since, char* buf, int size) {
    int used = 0;
    const std::uint64_t next = journal.next();
    korobs::appendf(buf, size, &used, "J %llu %llu %llu\n", static_cast<unsigned long long>(next),
                    static_cast<unsigned long long>(journal.capacity()),
                    static_cast<unsigned long long>(unrecorded.load(std::memory_order_relaxed)));
    // Room for one more whole entry is needed; the client asks again for the rest.
    constexpr int kEntryText = 200 + KOR_JOURNAL_TEXT + 2 * 16;
    journal.walk(
        since, next, [&] { return used + kEntryText < size; },
        [&](std::uint64_t seq, const KorJournalRecord& r) { entryText(seq, r, buf, size, &used); });
    return used;
}

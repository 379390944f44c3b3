// The command journal: every command a job issues, recorded when it ends
// (its result is written), with the console lines its task printed meanwhile.
#include <array>
#include <atomic>
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
// launcher (before the task exists, and when it could not be started) and
// then the command's own task write it: the console hands a task's text to the
// journal in the task that printed it.
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

// Publishes the command's record and frees its place; what the counters are told.
void finish(ActiveCommand& a, std::int32_t result, korobs::EndedCommand* ended) {
    a.busy.store(0, std::memory_order_relaxed);
    KorJournalRecord& r = a.record;
    const std::int64_t ms = ticksToMs(vx::tickGet() - a.startTicks);
    r.durationMs = static_cast<std::int32_t>(ms > 0x7fffffff ? 0x7fffffff : ms);
    r.result = result;
    *ended = korobs::EndedCommand{r.id, result, ms};
    journal.publish(r);
    a.taskId.store(0, std::memory_order_release);
    a.claimed.store(0, std::memory_order_release);
}

// Keeps printed text in the record, without CR; a record that is full ends
// its last line and keeps nothing more.
void keepText(KorJournalRecord& r, const char* text, int length) {
    constexpr int kRoom = KOR_JOURNAL_TEXT - 2;  // the last line's LF and the NUL
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\r') continue;
        if (r.textLength >= kRoom) {
            if (r.textLength == kRoom && r.text[kRoom - 1] != '\n') r.text[r.textLength++] = '\n';
            return;
        }
        r.text[r.textLength++] = text[i];
    }
}

}  // namespace

namespace korobs {

bool startJournal(int entries) { return journal.allocate(entries); }

void journalPrinted(const char* text, int length) {
    if (ActiveCommand* a = ofTask(ctlTaskIdSelf())) keepText(a->record, text, length);
}

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

bool endTicket(int ticket, std::int32_t result, EndedCommand* ended) {
    ActiveCommand* a = ofTicket(ticket);
    if (a == nullptr || a->claimed.load(std::memory_order_acquire) == 0) return false;
    finish(*a, result, ended);
    return true;
}

bool endOwnCommand(std::int32_t result, EndedCommand* ended) {
    ActiveCommand* a = ofTask(ctlTaskIdSelf());
    if (a == nullptr) return false;
    finish(*a, result, ended);
    return true;
}

}  // namespace korobs

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

void kor_commandAttach(int ticket) {
    if (ActiveCommand* a = ofTicket(ticket))
        a->taskId.store(ctlTaskIdSelf(), std::memory_order_release);
}

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

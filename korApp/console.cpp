// The console: every console line goes into a ring with its time and the name
// of the task that printed it, and to the console as it is printed. Only a
// flood is folded: from the fourth identical consecutive line of one task
// within a second on, the lines are counted instead of shown, and a task of
// the console's own writes `last message repeated <n> times` within a second
// (or the next other line does, before itself).
//
// The platform passes console writes one at a time, so the state below needs
// no lock (a lock here could be left held by a task deleted inside printf).
// The count task therefore writes its line through the console as well: it
// prints a tick, and the tap, seeing the tick's task, writes the count.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "korObserveInternal.h"
#include "korRing.h"

namespace {

constexpr int kLine = KOR_CONSOLE_LINE;
constexpr int kTaskName = KOR_CONSOLE_TASK;
constexpr int kConsoleLines = KOR_CONSOLE_LINES;
constexpr int kShownRepeats = 3;         // identical lines always shown
constexpr std::int64_t kFloodMs = 1000;  // a fourth within this is folded
constexpr int kCountDelayMs = 500;       // a count follows its first folded line within this
constexpr const char* kTick = "\r";      // the count task's write

struct KorConsoleRecord {
    std::int64_t timeMs;
    std::int32_t count;  // 1, or the lines this one stands for
    std::int32_t length;
    char task[kTaskName];
    char text[kLine];
};

KorRing<KorConsoleRecord> lines;
std::atomic<std::uint64_t> folded{0};

// What a task has printed of its current line so far.
struct Pending {
    char raw[1024];  // as printed, line end included
    int rawLength = 0;
    int task = 0;
    char name[kTaskName] = "-";  // copied while the task runs (its name dies with it)
    int shownLength = 0;         // raw[0 .. shownLength) is on the console already
    bool shown = false;          // part of the line is on the console (it is not folded)
};

// The last whole line and the identical lines of the same task just before it.
struct Run {
    char text[kLine];
    int length = -1;  // -1: none
    int task = 0;
    char name[kTaskName] = "-";
    std::int64_t times[kShownRepeats] = {};  // of the run's last lines, [0] the oldest
    int seen = 0;                            // lines in the run
    int repeats = 0;                         // folded since the last count
};

Pending pending;
Run run;
CtlSemId countDue = 0;          // given when a count or a held line waits
std::atomic<int> countTask{0};  // the task that writes counts

void record(const char* text, int length, int count, const char* name) {
    if (!lines.active()) return;
    KorConsoleRecord r{};
    r.timeMs = korobs::nowMs();
    r.count = count;
    r.length = length < kLine ? length : kLine - 1;
    std::memcpy(r.text, text, static_cast<std::size_t>(r.length));
    std::memcpy(r.task, name, sizeof r.task);
    lines.publish(r);
}

void copyName(int task, char (&name)[kTaskName]) {
    const char* n = vx::taskName(task);
    std::snprintf(name, sizeof name, "%s", n != nullptr && *n ? n : "-");
    for (char& c : name)
        if (c == ' ') c = '_';
}

void wakeCountTask() {
    if (countDue != 0) ctlSemGive(countDue);
}

// Writes the count of the lines folded since the last count.
void writeCount(CtlConsoleWrite write) {
    if (run.repeats == 0) return;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "last message repeated %d times", run.repeats);
    record(text, n, run.repeats, run.name);
    write(text, n);
    write("\r\n", 2);
    run.repeats = 0;
}

// A flood: the run's last three lines came within kFloodMs of now.
bool flooding(std::int64_t now) {
    return run.seen >= kShownRepeats && now - run.times[0] < kFloodMs;
}

void noteInRun(std::int64_t now) {
    for (int i = 0; i + 1 < kShownRepeats; ++i) run.times[i] = run.times[i + 1];
    run.times[kShownRepeats - 1] = now;
    ++run.seen;
}

bool continuesRun(const char* text, int length) {
    return run.length == length && run.task == pending.task &&
           std::memcmp(run.text, text, static_cast<std::size_t>(length)) == 0;
}

void startRun(const char* text, int length) {
    std::memcpy(run.text, text, static_cast<std::size_t>(length));
    run.length = length;
    run.task = pending.task;
    std::memcpy(run.name, pending.name, sizeof run.name);
    run.seen = 0;
}

// The line's text for the ring and for folding: without CR and LF.
int lineText(char (&text)[kLine]) {
    int n = 0;
    for (int i = 0; i < pending.rawLength && n < kLine - 1; ++i)
        if (pending.raw[i] != '\r' && pending.raw[i] != '\n') text[n++] = pending.raw[i];
    return n;
}

void clearPending() {
    pending.rawLength = 0;
    pending.shownLength = 0;
    pending.shown = false;
}

// The pending line is whole: it is shown and recorded, or folded.
void completeLine(CtlConsoleWrite write) {
    const std::int64_t now = korobs::nowMs();
    char text[kLine];
    const int length = lineText(text);
    if (!continuesRun(text, length)) {
        writeCount(write);
        startRun(text, length);
    }
    if (!pending.shown && flooding(now)) {
        if (run.repeats++ == 0) wakeCountTask();
        folded.fetch_add(1, std::memory_order_relaxed);
    } else {
        writeCount(write);
        write(pending.raw + pending.shownLength, pending.rawLength - pending.shownLength);
        record(text, length, 1, run.name);
    }
    noteInRun(now);
    clearPending();
}

// Shows what the console does not have yet of the pending line; from then on
// the line is not folded.
void showPending(CtlConsoleWrite write) {
    writeCount(write);
    write(pending.raw + pending.shownLength, pending.rawLength - pending.shownLength);
    pending.shownLength = pending.rawLength;
    pending.shown = true;
}

// An unfinished line is held only while a flood goes on and it may still
// become one more line of it (printf may pass a line in pieces); any other is
// shown at once, as a task that prints a prompt and waits expects.
bool mayFold() {
    if (pending.shown || run.length < 0 || run.task != pending.task || !flooding(korobs::nowMs()))
        return false;
    char text[kLine];
    const int length = lineText(text);
    return length <= run.length &&
           std::memcmp(text, run.text, static_cast<std::size_t>(length)) == 0;
}

// Adds printed text to the pending line; a line too long to hold is shown in
// parts and not folded.
void addToPending(const char* text, int length, CtlConsoleWrite write) {
    while (length > 0) {
        const int room = static_cast<int>(sizeof pending.raw) - pending.rawLength;
        if (room == 0) {
            showPending(write);
            pending.rawLength = 0;
            pending.shownLength = 0;
            continue;
        }
        const int n = length < room ? length : room;
        std::memcpy(pending.raw + pending.rawLength, text, static_cast<std::size_t>(n));
        pending.rawLength += n;
        text += n;
        length -= n;
    }
}

// The count task's tick: the count of a flood, and a held line that waited.
void tick(CtlConsoleWrite write) {
    writeCount(write);
    if (pending.rawLength > pending.shownLength) showPending(write);
}

// Woken by the first folded line of a flood (or a held line), it ticks once
// the flood had time to go on; a flood that goes on wakes it again.
void countTaskBody(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg) {
    for (;;) {
        if (ctlSemTake(countDue, CTL_WAIT_FOREVER) != 0) return;
        ctlTaskDelay(ctlMsToTicks(kCountDelayMs));
        std::printf("%s", kTick);
    }
}

}  // namespace

namespace korobs {

void startConsole() {
    // Without the ring the console still folds floods and fills the journal.
    if (!lines.active() && !lines.allocate(kConsoleLines))
        std::printf("Error - Console ring: no memory for %d lines\r\n", kConsoleLines);
    if (countDue == 0) countDue = ctlSemBCreate(0, 0);
}

void startConsoleTask() {
    const int task = countTask.load(std::memory_order_acquire);
    if (countDue != 0 && (task == 0 || vx::taskName(task) == nullptr))
        countTask.store(ctlCreateTask(3, 0, countTaskBody, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
                        std::memory_order_release);
}

void consoleWrite(const char* text, int length, CtlConsoleWrite write) {
    const int task = ctlTaskIdSelf();
    if (task == countTask.load(std::memory_order_acquire)) {
        tick(write);
        return;
    }
    // Another task's unfinished line ends here (it is shown as it is).
    if ((pending.rawLength > 0 || pending.shown) && pending.task != task) {
        if (!pending.shown) showPending(write);
        completeLine(write);
    }
    if (pending.task != task || (pending.rawLength == 0 && !pending.shown)) {
        pending.task = task;
        copyName(task, pending.name);
    }
    int start = 0;
    for (int i = 0; i < length; ++i) {
        if (text[i] != '\n') continue;
        addToPending(text + start, i + 1 - start, write);
        completeLine(write);
        start = i + 1;
    }
    addToPending(text + start, length - start, write);
    if (pending.rawLength > pending.shownLength) {
        if (mayFold()) wakeCountTask();
        else showPending(write);
    }
}

}  // namespace korobs

int kor_consoleText(std::uint64_t since, char* buf, int size) {
    int used = 0;
    const std::uint64_t next = lines.next();
    korobs::appendf(buf, size, &used, "C %llu %llu %llu\n", static_cast<unsigned long long>(next),
                    static_cast<unsigned long long>(lines.capacity()),
                    static_cast<unsigned long long>(folded.load(std::memory_order_relaxed)));
    constexpr int kLineText = kLine + kTaskName + 64;
    lines.walk(
        since, next, [&] { return used + kLineText < size; },
        [&](std::uint64_t seq, const KorConsoleRecord& r) {
            korobs::appendf(buf, size, &used, "%llu %lld %s %d %.*s\n",
                            static_cast<unsigned long long>(seq), static_cast<long long>(r.timeMs),
                            r.task, r.count, r.length, r.text);
        });
    return used;
}

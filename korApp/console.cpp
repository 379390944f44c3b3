// The console tap: every console line goes into a ring with its time and the
// task that printed it, and to the journal entry of that task's command.
// Consecutive repeats of a line by one task within a minute are folded into
// one line with a count (the count is written when another line comes or the minute is
// over), so a client that reconnects all the time does not fill the console.
//
// The platform passes console writes one at a time, so the state below needs
// no lock (a lock here could be left held by a task deleted inside printf).
#include <cstdio>
#include <cstring>

#include "korObserveInternal.h"
#include "korRing.h"

namespace {

constexpr int kLine = KOR_CONSOLE_LINE;
constexpr int kTaskName = KOR_CONSOLE_TASK;
constexpr int kConsoleLines = KOR_CONSOLE_LINES;
constexpr std::int64_t kFoldMs = 60000;

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
    int shownLength = 0;  // raw[0 .. shownLength) is on the console already
    bool shown = false;   // part of the line is on the console (it is not folded)
};

struct Fold {
    char text[kLine];
    int length = -1;  // -1: no line to fold into
    int task = 0;     // only a task's own repeats fold (two commands are two lines)
    std::int64_t firstMs = 0;
    int repeats = 0;
};

Pending pending;
Fold fold;

void record(const char* text, int length, int count, int task) {
    if (!lines.active()) return;
    KorConsoleRecord r{};
    r.timeMs = korobs::nowMs();
    r.count = count;
    r.length = length < kLine ? length : kLine - 1;
    std::memcpy(r.text, text, static_cast<std::size_t>(r.length));
    const char* name = vx::taskName(task);
    std::snprintf(r.task, sizeof r.task, "%s", name != nullptr && *name ? name : "-");
    for (char& c : r.task)
        if (c == ' ') c = '_';
    lines.publish(r);
}

// Writes the count of the fold that ends now.
void endFold(CtlConsoleWrite write) {
    if (fold.repeats > 0) {
        char text[64];
        const int n = std::snprintf(text, sizeof text, "last message repeated %d times",
                                    fold.repeats);
        record(text, n, fold.repeats, fold.task);
        write(text, n);
        write("\r\n", 2);
    }
    fold.repeats = 0;
    fold.length = -1;
}

bool repeatsFold(const char* text, int length, std::int64_t now) {
    return fold.length == length && fold.task == pending.task &&
           std::memcmp(fold.text, text, static_cast<std::size_t>(length)) == 0 &&
           now - fold.firstMs < kFoldMs;
}

void startFold(const char* text, int length, std::int64_t now) {
    std::memcpy(fold.text, text, static_cast<std::size_t>(length));
    fold.length = length;
    fold.task = pending.task;
    fold.firstMs = now;
    fold.repeats = 0;
}

// The line's text for the ring and for folding: without CR and LF.
int lineText(char (&text)[kLine]) {
    int n = 0;
    for (int i = 0; i < pending.rawLength && n < kLine - 1; ++i)
        if (pending.raw[i] != '\r' && pending.raw[i] != '\n') text[n++] = pending.raw[i];
    return n;
}

// The pending line is whole: it is shown (or folded) and recorded.
void completeLine(CtlConsoleWrite write) {
    const std::int64_t now = korobs::nowMs();
    char text[kLine];
    const int length = lineText(text);
    korobs::attachLine(pending.task, text, length);
    if (pending.shown) {
        write(pending.raw + pending.shownLength, pending.rawLength - pending.shownLength);
        record(text, length, 1, pending.task);
        startFold(text, length, now);  // its repeats fold into it
    } else if (repeatsFold(text, length, now)) {
        ++fold.repeats;
        folded.fetch_add(1, std::memory_order_relaxed);
    } else {
        endFold(write);
        write(pending.raw, pending.rawLength);
        record(text, length, 1, pending.task);
        startFold(text, length, now);
    }
    pending.rawLength = 0;
    pending.shownLength = 0;
    pending.shown = false;
}

// Shows what the console does not have yet of the pending line; from then on
// the line is not folded.
void showPending(CtlConsoleWrite write) {
    if (!pending.shown) endFold(write);
    write(pending.raw + pending.shownLength, pending.rawLength - pending.shownLength);
    pending.shownLength = pending.rawLength;
    pending.shown = true;
}

// An unfinished line is held only while it may still become a repeat of the
// line being folded (printf may pass a line in pieces); any other is shown at
// once, as a task that prints a prompt and waits expects.
bool mayRepeat() {
    if (pending.shown || fold.length < 0 || fold.task != pending.task) return false;
    char text[kLine];
    const int length = lineText(text);
    return length <= fold.length &&
           std::memcmp(text, fold.text, static_cast<std::size_t>(length)) == 0;
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

}  // namespace

namespace korobs {

void startConsole() {
    // Without the ring the tap still folds repeats and fills the journal.
    if (!lines.allocate(kConsoleLines))
        std::printf("Error - Console ring: no memory for %d lines\r\n", kConsoleLines);
    ctlConsoleTap(kor_consoleTap);
}

}  // namespace korobs

void kor_consoleTap(const char* text, int length, CtlConsoleWrite write) {
    const int task = ctlTaskIdSelf();
    // Another task's unfinished line ends here (it is shown as it is).
    if ((pending.rawLength > 0 || pending.shown) && pending.task != task) completeLine(write);
    pending.task = task;
    int start = 0;
    for (int i = 0; i < length; ++i) {
        if (text[i] != '\n') continue;
        addToPending(text + start, i + 1 - start, write);
        completeLine(write);
        start = i + 1;
    }
    addToPending(text + start, length - start, write);
    if (pending.rawLength > pending.shownLength && !mayRepeat()) showPending(write);
}

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

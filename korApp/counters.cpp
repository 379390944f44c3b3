// Counters since start. Every counter is one relaxed atomic add, so the
// commands, receive tasks and stream tasks that count never wait.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "korCommands.h"
#include "korHandleTable.h"
#include "korObserveInternal.h"
#include "korSlotLayout.h"

namespace {

using Counter = std::atomic<std::uint64_t>;

// Commands by (number, result): an open-addressed table that only grows.
constexpr int kPairs = 1024;
std::array<std::atomic<std::uint32_t>, kPairs> pairKeys{};
std::array<Counter, kPairs> pairCounts{};
Counter pairOverflow{0};
// By command (korCommandIndex): results by class, durations by bucket and their sum.
constexpr auto kCommands = static_cast<std::size_t>(KOR_COMMAND_INDEXES);
std::array<std::array<Counter, KOR_RESULT_CLASSES>, kCommands> classCounts{};
std::array<std::array<Counter, korobs::kDurationBuckets>, kCommands> durations{};
std::array<Counter, kCommands> durationSumMs{};
// Bytes by channel handle 1..19 (0: anything else).
constexpr int kHandles = 20;
std::array<Counter, kHandles> handleIn{}, handleOut{};
std::atomic<std::int64_t> startedMs{0};

// Channel kinds are the table's type codes 1..5; 0 holds anything else.
constexpr int kKinds = 6;
constexpr const char* kKindNames[kKinds] = {"other",    "tcpclient", "tcpserver",
                                            "accepted", "serial",    "udp"};
std::array<Counter, kKinds> opened{}, closed{}, bytesIn{}, bytesOut{}, dropped{};

Counter positionSent{0}, positionMissed{0}, speedTicks{0}, speedMissed{0}, adminSessions{0};
// FTP job transfers by code (0, -1 .. -30), mails by result (0..255).
constexpr int kFtpCodes = 32;
std::array<Counter, kFtpCodes> ftpTransfers{};
std::array<Counter, 256> mails{};

int kindOf(int type) { return type >= 1 && type < kKinds ? type : 0; }
std::size_t handleOf(int handle) {
    return static_cast<std::size_t>(handle >= 1 && handle < kHandles ? handle : 0);
}

void add(Counter& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

std::uint64_t get(const Counter& c) { return c.load(std::memory_order_relaxed); }

std::uint32_t pairKey(std::int32_t id, std::int32_t result) {
    return ((static_cast<std::uint32_t>(id) & 0x7fff) << 16 |
            (static_cast<std::uint32_t>(result) & 0xffff)) +
           1;
}

void countPair(std::int32_t id, std::int32_t result) {
    const std::uint32_t key = pairKey(id, result);
    std::uint32_t slot = (key * 2654435761u) % kPairs;
    for (int probe = 0; probe < kPairs; ++probe, slot = (slot + 1) % kPairs) {
        std::uint32_t found = pairKeys[slot].load(std::memory_order_acquire);
        if (found == 0 && pairKeys[slot].compare_exchange_strong(found, key)) found = key;
        if (found == key) {
            add(pairCounts[slot]);
            return;
        }
    }
    add(pairOverflow);
}

}  // namespace

namespace korobs {

void countCommand(std::int32_t id, std::int32_t result, std::int64_t durationMs) {
    countPair(id, result);
    const auto command = static_cast<std::size_t>(korCommandIndex(id));
    add(classCounts[command][static_cast<std::size_t>(korResultClass(id, result))]);
    int bucket = 0;
    while (bucket < kDurationBuckets - 1 && durationMs > kDurationBounds[bucket]) ++bucket;
    add(durations[command][static_cast<std::size_t>(bucket)]);
    add(durationSumMs[command], static_cast<std::uint64_t>(durationMs > 0 ? durationMs : 0));
}

void noteStarted() { startedMs.store(nowMs(), std::memory_order_relaxed); }

}  // namespace korobs

void kor_countChannelOpened(int type) { add(opened[kindOf(type)]); }
void kor_countChannelClosed(int type) { add(closed[kindOf(type)]); }

namespace korobs {

void countReceived(int handle, int type, int length, int stored) {
    add(bytesIn[kindOf(type)], static_cast<std::uint64_t>(length));
    add(handleIn[handleOf(handle)], static_cast<std::uint64_t>(length));
    if (stored < length) add(dropped[kindOf(type)], static_cast<std::uint64_t>(length - stored));
}

void countSent(int handle, int type, int sent) {
    add(bytesOut[kindOf(type)], static_cast<std::uint64_t>(sent));
    add(handleOut[handleOf(handle)], static_cast<std::uint64_t>(sent));
}

}  // namespace korobs

void kor_countPositionTick(bool sent) { add(sent ? positionSent : positionMissed); }
void kor_countSpeedTick(bool written) {
    add(speedTicks);
    if (!written) add(speedMissed);
}
void kor_countFtpTransfer(int code) {
    add(ftpTransfers[static_cast<std::size_t>(code <= 0 && code > -kFtpCodes ? -code
                                                                             : kFtpCodes - 1)]);
}
void kor_countMail(int result) { add(mails[static_cast<std::size_t>(result & 0xff)]); }
void kor_countAdminSession() { add(adminSessions); }

namespace {

void kindLines(char* buf, int size, int* used, const char* name,
               const std::array<Counter, kKinds>& counters) {
    for (int k = 0; k < kKinds; ++k)
        if (const std::uint64_t v = get(counters[static_cast<std::size_t>(k)]))
            korobs::appendf(buf, size, used, "%s %s %llu\n", name, kKindNames[k],
                            static_cast<unsigned long long>(v));
}

using korobs::kDurationBounds;
using korobs::kDurationBuckets;
constexpr int kOverBound = kDurationBounds[kDurationBuckets - 2];

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

void pairLines(char* buf, int size, int* used) {
    for (int i = 0; i < kPairs; ++i) {
        const std::uint32_t key = pairKeys[static_cast<std::size_t>(i)].load(
            std::memory_order_acquire);
        if (key == 0) continue;
        const int id = static_cast<int>((key - 1) >> 16);
        const int result = static_cast<std::int16_t>((key - 1) & 0xffff);
        korobs::appendf(buf, size, used, "command %d %d %llu\n", id, result,
                        ull(get(pairCounts[static_cast<std::size_t>(i)])));
    }
    if (const std::uint64_t v = get(pairOverflow))
        korobs::appendf(buf, size, used, "command_other %llu\n", ull(v));
}

// All commands' durations together, as readers before the per-command lines know them.
void durationLines(char* buf, int size, int* used) {
    for (int b = 0; b < kDurationBuckets; ++b) {
        std::uint64_t v = 0;
        for (const auto& command : durations) v += get(command[static_cast<std::size_t>(b)]);
        if (b < kDurationBuckets - 1)
            korobs::appendf(buf, size, used, "duration_ms_le %d %llu\n", kDurationBounds[b],
                            ull(v));
        else korobs::appendf(buf, size, used, "duration_ms_over %d %llu\n", kOverBound, ull(v));
    }
}

// Per command that ran: results by class, durations by bucket (not cumulated)
// and their sum. Numbers that are no command are "other".
void perCommandLines(char* buf, int size, int* used) {
    constexpr KorResultClass kClasses[] = {KorResultClass::Success, KorResultClass::Empty,
                                           KorResultClass::Failure};
    for (int c = 0; c < KOR_COMMAND_INDEXES; ++c) {
        const auto k = static_cast<std::size_t>(c);
        char id[16];
        if (c < KOR_COMMAND_COUNT) std::snprintf(id, sizeof id, "%d", KOR_COMMAND_IDS[c]);
        else std::snprintf(id, sizeof id, "other");
        std::uint64_t ran = 0;
        for (KorResultClass cls : kClasses)
            if (const std::uint64_t v = get(classCounts[k][static_cast<std::size_t>(cls)])) {
                ran += v;
                korobs::appendf(buf, size, used, "command_result %s %s %llu\n", id,
                                korResultClassName(cls), ull(v));
            }
        if (ran == 0) continue;
        for (int b = 0; b < kDurationBuckets; ++b)
            if (const std::uint64_t v = get(durations[k][static_cast<std::size_t>(b)]))
                korobs::appendf(buf, size, used, "command_duration_ms_%s %s %d %llu\n",
                                b < kDurationBuckets - 1 ? "le" : "over", id,
                                b < kDurationBuckets - 1 ? kDurationBounds[b] : kOverBound, ull(v));
        korobs::appendf(buf, size, used, "command_duration_ms_sum %s %llu\n", id,
                        ull(get(durationSumMs[k])));
    }
}

// What a rule watching a controller needs beside the totals: its start, the
// slots running a command since when, the bytes by handle.
void watchLines(char* buf, int size, int* used) {
    korobs::appendf(buf, size, used, "started_ms %lld\n",
                    static_cast<long long>(startedMs.load(std::memory_order_relaxed)));
    korobs::BusySlot busy[KOR_MAX_SLOTS];
    const int n = korobs::busySlots(busy, KOR_MAX_SLOTS);
    for (int k = 0; k < n; ++k)
        korobs::appendf(buf, size, used, "slot_busy %d %d %lld\n", busy[k].slot, busy[k].id,
                        static_cast<long long>(busy[k].sinceMs));
    for (int h = 1; h < kHandles; ++h) {
        const auto k = static_cast<std::size_t>(h);
        if (const std::uint64_t v = get(handleIn[k]))
            korobs::appendf(buf, size, used, "handle_bytes_in %d %llu\n", h, ull(v));
        if (const std::uint64_t v = get(handleOut[k]))
            korobs::appendf(buf, size, used, "handle_bytes_out %d %llu\n", h, ull(v));
    }
}

}  // namespace

int kor_countersText(char* buf, int size) {
    int used = 0;
    if (size > 0) buf[0] = '\0';
    pairLines(buf, size, &used);
    durationLines(buf, size, &used);
    kindLines(buf, size, &used, "channels_opened", opened);
    kindLines(buf, size, &used, "channels_closed", closed);
    kindLines(buf, size, &used, "bytes_in", bytesIn);
    kindLines(buf, size, &used, "bytes_out", bytesOut);
    kindLines(buf, size, &used, "bytes_dropped", dropped);
    const auto line = [&](const char* name, const Counter& c) {
        korobs::appendf(buf, size, &used, "%s %llu\n", name,
                        static_cast<unsigned long long>(get(c)));
    };
    line("position_datagrams", positionSent);
    line("position_ticks_without", positionMissed);
    line("speed_ticks", speedTicks);
    line("speed_ticks_missed", speedMissed);
    for (int c = 0; c < kFtpCodes; ++c)
        if (const std::uint64_t v = get(ftpTransfers[static_cast<std::size_t>(c)]))
            korobs::appendf(buf, size, &used, "ftp_transfers %d %llu\n", -c,
                            static_cast<unsigned long long>(v));
    for (int r = 0; r < 256; ++r)
        if (const std::uint64_t v = get(mails[static_cast<std::size_t>(r)]))
            korobs::appendf(buf, size, &used, "mails %d %llu\n", r,
                            static_cast<unsigned long long>(v));
    line("admin_sessions", adminSessions);
    perCommandLines(buf, size, &used);
    watchLines(buf, size, &used);
    return used;
}

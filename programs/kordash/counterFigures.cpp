#include "counterFigures.h"

#include <cstdlib>

#include "korCommands.h"
#include "korObserve.h"

namespace kordash {
namespace {

using kor::admin::Counter;

// The channel kinds always shown, so that a series exists before its first channel.
constexpr const char* kKinds[] = {"tcpclient", "tcpserver", "accepted", "serial", "udp"};
constexpr int kNoNumber = CounterFigures::kNoCode;
// A transfer's or a mail's code as the core writes it: within a few hundred
// either side of zero.
constexpr int kCodeSpan = 999;

int toInt(const std::string& text) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && *end == '\0' && v > -100000 && v < 100000 ? static_cast<int>(v)
                                                                            : kNoNumber;
}

// A command key: its number, or "other".
int indexOfKey(const std::string& key) {
    const int id = toInt(key);
    return id == kNoNumber ? KOR_COMMAND_COUNT : korCommandIndex(id);
}

// Label values come from closed sets: a word the core knows, else "other".
// So one controller cannot make the exposition invalid (bytes that are not
// UTF-8) or endless (a label value for every count it invents).
std::string kindLabel(const std::string& key) {
    for (const char* kind : kKinds)
        if (key == kind) return kind;
    return "other";
}

// A bucket bound the core uses, else above the last (a count is kept, not a label).
int boundOf(const std::string& key) {
    const int bound = toInt(key);
    for (int known : KOR_DURATION_BOUNDS_MS)
        if (bound == known) return bound;
    return CounterFigures::kOverMs;
}

int classOfName(const std::string& name) {
    for (int k = 0; k < KOR_RESULT_CLASSES; ++k)
        if (name == korResultClassName(static_cast<KorResultClass>(k))) return k;
    return -1;
}

bool parseKinded(CounterFigures& f, const Counter& c) {
    static const std::map<std::string, std::map<std::string, std::uint64_t> CounterFigures::*>
        byKind = {{"channels_opened", &CounterFigures::opened},
                  {"channels_closed", &CounterFigures::closed},
                  {"bytes_in", &CounterFigures::bytesIn},
                  {"bytes_out", &CounterFigures::bytesOut},
                  {"bytes_dropped", &CounterFigures::dropped}};
    auto it = byKind.find(c.name);
    if (it == byKind.end() || c.keys.size() != 1) return false;
    (f.*(it->second))[kindLabel(c.keys[0])] += c.value;
    return true;
}

// "command N RESULT": the codes of results that were no success; also the
// classes when the controller sends no "command_result" lines (older ones).
void parsePair(
    CounterFigures& f, const Counter& c,
    std::array<std::array<std::uint64_t, KOR_RESULT_CLASSES>, KOR_COMMAND_INDEXES>& fromPairs) {
    const int id = toInt(c.keys[0]), result = toInt(c.keys[1]);
    if (id == kNoNumber || result == kNoNumber) return;
    const KorResultClass cls = korResultClass(id, result);
    const auto k = static_cast<std::size_t>(korCommandIndex(id));
    fromPairs[k][static_cast<std::size_t>(cls)] += c.value;
    if (cls != KorResultClass::Success) f.commands[k].codes[{cls, result}] += c.value;
}

bool parsePerCommand(CounterFigures& f, const Counter& c) {
    if (c.name.rfind("command_", 0) != 0 || c.keys.empty()) return false;
    CommandFigures& cmd = f.commands[static_cast<std::size_t>(indexOfKey(c.keys[0]))];
    if (c.name == "command_result" && c.keys.size() == 2) {
        const int cls = classOfName(c.keys[1]);
        if (cls >= 0) cmd.byClass[static_cast<std::size_t>(cls)] += c.value;
    } else if (c.name == "command_duration_ms_le" && c.keys.size() == 2) {
        cmd.durations[boundOf(c.keys[1])] += c.value;
    } else if (c.name == "command_duration_ms_over" && c.keys.size() == 2) {
        cmd.durations[CounterFigures::kOverMs] += c.value;
    } else if (c.name == "command_duration_ms_sum" && c.keys.size() == 1) {
        cmd.durationSumMs += c.value;
        f.hasDurationSums = true;
    } else {
        return false;
    }
    return true;
}

bool parseWatch(CounterFigures& f, const Counter& c) {
    if (c.name == "started_ms" && c.keys.empty()) {
        f.startedMs = static_cast<std::int64_t>(c.value);
    } else if (c.name == "slot_busy" && c.keys.size() == 2) {
        const int slot = toInt(c.keys[0]);
        if (slot < 0 || slot >= 64) return true;
        f.busySinceMs[slot] = static_cast<std::int64_t>(c.value);
        f.busyCommand[slot] = toInt(c.keys[1]);
    } else if ((c.name == "handle_bytes_in" || c.name == "handle_bytes_out") &&
               c.keys.size() == 1) {
        const int h = toInt(c.keys[0]);
        if (h < 1 || h > CounterFigures::kHandles) return true;
        (c.name == "handle_bytes_in" ? f.handleIn
                                     : f.handleOut)[static_cast<std::size_t>(h)] += c.value;
    } else {
        return false;
    }
    return true;
}

// A result class and, for a failure, its code (successes differ only in value).
std::pair<std::string, int> outcome(bool success, int code) {
    return {success ? "success" : "failure", success ? kNoNumber : code};
}

bool parseServices(CounterFigures& f, const Counter& c) {
    if (c.keys.size() != 1) return false;
    // A code beyond any the core writes: a failure without its code.
    int code = toInt(c.keys[0]);
    if (code < -kCodeSpan || code > kCodeSpan) code = kNoNumber;
    if (c.name == "ftp_transfers") f.ftp[outcome(code == 0, code)] += c.value;
    else if (c.name == "mails") f.mails[outcome(code == 1, code)] += c.value;
    else return false;
    return true;
}

}  // namespace

std::string commandLabel(int index) {
    const char* name = index >= 0 && index < KOR_COMMAND_COUNT
                           ? korCommandName(KOR_COMMAND_IDS[index])
                           : nullptr;
    return name ? name : "other";
}

std::uint64_t CounterFigures::ofClass(KorResultClass cls) const {
    std::uint64_t n = 0;
    for (const CommandFigures& c : commands) n += c.byClass[static_cast<std::size_t>(cls)];
    return n;
}

CounterFigures figuresOf(const std::vector<Counter>& counters) {
    CounterFigures f;
    for (const char* kind : kKinds) f.opened[kind] = f.closed[kind] = 0;
    f.bytesIn = f.bytesOut = f.dropped = f.opened;
    const std::map<std::string, std::uint64_t CounterFigures::*> plain = {
        {"position_datagrams", &CounterFigures::positionSent},
        {"position_ticks_without", &CounterFigures::positionMissed},
        {"speed_ticks", &CounterFigures::speedTicks},
        {"speed_ticks_missed", &CounterFigures::speedMissed},
        {"admin_sessions", &CounterFigures::adminSessions}};
    std::array<std::array<std::uint64_t, KOR_RESULT_CLASSES>, KOR_COMMAND_INDEXES> fromPairs{};
    bool hasClasses = false;
    for (const Counter& c : counters) {
        if (c.name == "command" && c.keys.size() == 2) {
            parsePair(f, c, fromPairs);
            continue;
        }
        hasClasses = hasClasses || c.name == "command_result";
        if (parsePerCommand(f, c) || parseKinded(f, c) || parseWatch(f, c) || parseServices(f, c))
            continue;
        auto it = plain.find(c.name);
        if (it != plain.end() && c.keys.empty()) f.*(it->second) += c.value;
    }
    if (!hasClasses)
        for (std::size_t k = 0; k < f.commands.size(); ++k) f.commands[k].byClass = fromPairs[k];
    return f;
}

CommandTotals totalsOf(const std::vector<Counter>& counters) {
    // By the per-command class lines; by the result codes for a controller
    // that sends none.
    CommandTotals byClass, byCode;
    bool hasClasses = false;
    const auto failure = static_cast<int>(KorResultClass::Failure);
    for (const Counter& c : counters) {
        if (c.name == "command" && c.keys.size() == 2) {
            const int id = toInt(c.keys[0]), result = toInt(c.keys[1]);
            if (id == kNoNumber || result == kNoNumber) continue;
            byCode.all += c.value;
            if (korResultClass(id, result) == KorResultClass::Failure) byCode.failed += c.value;
        } else if (c.name == "command_result") {
            hasClasses = true;
            const int cls = c.keys.size() == 2 ? classOfName(c.keys[1]) : -1;
            if (cls >= 0) byClass.all += c.value;
            if (cls == failure) byClass.failed += c.value;
        } else if ((c.name == "position_ticks_without" || c.name == "speed_ticks_missed") &&
                   c.keys.empty()) {
            byClass.ticksMissed += c.value;
        }
    }
    if (!hasClasses) {
        byClass.all = byCode.all;
        byClass.failed = byCode.failed;
    }
    return byClass;
}

}  // namespace kordash

#include "metrics.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <map>
#include <set>
#include <string_view>

#include "counterFigures.h"
#include "korObserve.h"
#include "korSlotLayout.h"

namespace kordash {
namespace {

constexpr std::int64_t kMinute = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMinute;
// Readings closer than this to the last kept one replace only the latest.
constexpr std::int64_t kSampleSpacingMs = 5000;
// Slots shown, busy or not (the most a controller has).
constexpr int kSlots = KOR_MAX_SLOTS;
// Why a controller's counters could not be read, every one always shown.
constexpr const char* kDownReasons[] = {"unreachable", "refused", "busy", "broken", "misbehaving"};
constexpr KorResultClass kClasses[] = {KorResultClass::Success, KorResultClass::Empty,
                                       KorResultClass::Failure};

// Appended in place: a scrape of a few hundred controllers writes some
// hundred thousand labels, nearly all with nothing to escape.
void appendEscaped(std::string& out, std::string_view value) {
    const auto plain = [](char ch) { return ch != '\\' && ch != '"' && ch != '\n'; };
    if (std::all_of(value.begin(), value.end(), plain)) {
        out += value;
        return;
    }
    for (char ch : value) {
        if (ch == '\\' || ch == '"') out += '\\';
        if (ch == '\n') out += "\\n";
        else out += ch;
    }
}

using Label = std::pair<std::string_view, std::string_view>;

// One controller's samples: its label (escaped once) opens every sample's
// labels, the others follow it.
class Samples {
public:
    explicit Samples(const std::string& controller) {
        base_ = "{controller=\"";
        appendEscaped(base_, controller);
        base_ += '"';
    }
    void into(std::string* out) { out_ = out; }
    void add(std::string_view name, std::initializer_list<Label> labels, std::uint64_t value) {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        addText(name, labels, std::string_view(text, static_cast<std::size_t>(end - text)));
    }
    void addText(std::string_view name, std::initializer_list<Label> labels,
                 std::string_view value) {
        std::string& out = *out_;
        out += name;
        out += base_;
        for (const Label& l : labels) {
            out += ',';
            out += l.first;
            out += "=\"";
            appendEscaped(out, l.second);
            out += '"';
        }
        out += "} ";
        out += value;
        out += '\n';
    }

private:
    std::string base_;
    std::string* out_ = nullptr;
};

// Numbers as label values (slots, handles, codes).
class Number {
public:
    explicit Number(long long n) {
        size_ = static_cast<std::size_t>(std::to_chars(text_, text_ + sizeof text_, n).ptr - text_);
    }
    operator std::string_view() const { return {text_, size_}; }

private:
    char text_[24];
    std::size_t size_;
};

// Milliseconds (not negative) as seconds, exactly.
std::string secondsText(std::int64_t ms) {
    const std::int64_t whole = ms > 0 ? ms : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(whole / 1000),
                  static_cast<long long>(whole % 1000));
    return text;
}

std::string boundText(int ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms / 1000.0);
    return text;
}

const char* className(KorResultClass cls) { return korResultClassName(cls); }

// The command labels, formed once.
const std::string& commandText(int index) {
    static const std::vector<std::string> labels = [] {
        std::vector<std::string> texts(KOR_COMMAND_INDEXES);
        for (int k = 0; k < KOR_COMMAND_INDEXES; ++k)
            texts[static_cast<std::size_t>(k)] = commandLabel(k);
        return texts;
    }();
    return labels[static_cast<std::size_t>(index)];
}

// Every command's results by class, each series there from the first reading.
void writeCommands(Samples& out, const CounterFigures& f) {
    for (int k = 0; k < KOR_COMMAND_INDEXES; ++k)
        for (KorResultClass cls : kClasses)
            out.add("arvokor_commands_total",
                    {{"command", commandText(k)}, {"result", className(cls)}},
                    f.commands[static_cast<std::size_t>(k)].byClass[static_cast<std::size_t>(cls)]);
}

using CodeKey = std::pair<KorResultClass, int>;

// The codes the table lists for a command as no success, in order.
const std::vector<CodeKey>& tableCodes(int index) {
    static const std::vector<std::vector<CodeKey>> codes = [] {
        std::vector<std::vector<CodeKey>> all(KOR_COMMAND_INDEXES);
        for (int k = 0; k < KOR_COMMAND_INDEXES; ++k) {
            std::set<CodeKey> keys;
            for (const KorResultCode& c : KOR_RESULT_CODES)
                if (korCommandIndex(c.id) == k && c.cls != KorResultClass::Success)
                    keys.insert({c.cls, c.result});
            if (k == KOR_COMMAND_COUNT) keys.insert({KorResultClass::Failure, 240});
            all[static_cast<std::size_t>(k)].assign(keys.begin(), keys.end());
        }
        return all;
    }();
    return codes[static_cast<std::size_t>(index)];
}

// The results that were no success by code: the codes the table lists for a
// command from the first reading on, others once they happened (both in
// order, merged).
void writeCodes(Samples& out, const CounterFigures& f) {
    for (int k = 0; k < KOR_COMMAND_INDEXES; ++k) {
        const auto& counted = f.commands[static_cast<std::size_t>(k)].codes;
        const std::vector<CodeKey>& listed = tableCodes(k);
        auto c = counted.begin();
        auto l = listed.begin();
        while (c != counted.end() || l != listed.end()) {
            const bool fromCounted = l == listed.end() || (c != counted.end() && c->first <= *l);
            const CodeKey key = fromCounted ? c->first : *l;
            const std::uint64_t v = fromCounted ? c->second : 0;
            if (fromCounted && l != listed.end() && *l == key) ++l;
            if (fromCounted) ++c;
            else ++l;
            out.add("arvokor_command_results_total",
                    {{"command", commandText(k)},
                     {"result", className(key.first)},
                     {"code", Number(key.second)}},
                    v);
        }
    }
}

// Cumulative buckets in seconds by command; the sum when the controller counts it.
void writeDurations(Samples& out, const CounterFigures& f) {
    // The bounds as text once, not once a bucket.
    static const std::vector<std::string> les = [] {
        std::vector<std::string> texts;
        for (int bound : KOR_DURATION_BOUNDS_MS) texts.push_back(boundText(bound));
        return texts;
    }();
    for (int k = 0; k < KOR_COMMAND_INDEXES; ++k) {
        const CommandFigures& c = f.commands[static_cast<std::size_t>(k)];
        const std::string& command = commandText(k);
        std::uint64_t below = 0;
        for (int b = 0; b < KOR_DURATION_BOUNDS; ++b) {
            const auto it = c.durations.find(KOR_DURATION_BOUNDS_MS[b]);
            below += it == c.durations.end() ? 0 : it->second;
            out.add("arvokor_command_duration_seconds_bucket",
                    {{"command", command}, {"le", les[static_cast<std::size_t>(b)]}}, below);
        }
        const auto over = c.durations.find(CounterFigures::kOverMs);
        below += over == c.durations.end() ? 0 : over->second;
        out.add("arvokor_command_duration_seconds_bucket", {{"command", command}, {"le", "+Inf"}},
                below);
        if (f.hasDurationSums)
            out.addText("arvokor_command_duration_seconds_sum", {{"command", command}},
                        secondsText(static_cast<std::int64_t>(c.durationSumMs)));
        out.add("arvokor_command_duration_seconds_count", {{"command", command}}, below);
    }
}

void writeKinds(Samples& out, std::string_view name,
                const std::map<std::string, std::uint64_t>& byKind,
                std::string_view direction = {}) {
    for (const auto& [kind, v] : byKind)
        if (direction.empty()) out.add(name, {{"kind", kind}}, v);
        else out.add(name, {{"kind", kind}, {"direction", direction}}, v);
}

void writeOutcomes(Samples& out, std::string_view name,
                   const std::map<std::pair<std::string, int>, std::uint64_t>& outcomes) {
    for (const auto& [key, v] : outcomes)
        if (key.first != "success" && key.second != CounterFigures::kNoCode)
            out.add(name, {{"result", key.first}, {"code", Number(key.second)}}, v);
        else out.add(name, {{"result", key.first}}, v);
}

// A family's samples of one controller. The first three are every
// controller's; the others only of those whose counters were read.
using Writer = void (*)(Samples&, const NamedReading&, const CounterFigures&);
struct Family {
    const char* name;
    const char* type;
    const char* help;
    Writer write;
};
constexpr std::size_t kEveryController = 3;

const Family kFamilies[] = {
    {"arvokor_up", "gauge", "1 when kordash read the controller's counters at its last try.",
     [](Samples& out, const NamedReading& r, const CounterFigures&) {
         out.add("arvokor_up", {}, r.reading.ok ? 1 : 0);
     }},
    {"arvokor_down_reason", "gauge",
     "1 for the reason the last try failed (unreachable, refused, busy, broken, misbehaving).",
     [](Samples& out, const NamedReading& r, const CounterFigures&) {
         for (const char* reason : kDownReasons)
             out.add("arvokor_down_reason", {{"reason", reason}},
                     !r.reading.ok && r.reading.reason == reason ? 1 : 0);
     }},
    {"arvokor_replies_refused_total", "counter",
     "Replies of the controller kordash refused: longer, slower or other than a controller "
     "sends.",
     [](Samples& out, const NamedReading& r, const CounterFigures&) {
         out.add("arvokor_replies_refused_total", {}, r.refused);
     }},
    {"arvokor_start_time_seconds", "gauge",
     "When the controller started, in seconds since 1970 (a restart changes it).",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         if (f.startedMs) out.addText("arvokor_start_time_seconds", {}, secondsText(*f.startedMs));
     }},
    {"arvokor_commands_total", "counter",
     "Commands the jobs issued, by command and result class (success, empty, failure).",
     [](Samples& out, const NamedReading&, const CounterFigures& f) { writeCommands(out, f); }},
    {"arvokor_command_results_total", "counter",
     "Commands whose result was no success, by command, class and result code.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) { writeCodes(out, f); }},
    {"arvokor_command_duration_seconds", "histogram", "How long the commands ran, by command.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) { writeDurations(out, f); }},
    {"arvokor_slot_busy_since_seconds", "gauge",
     "When the command running in a slot started, in seconds since 1970; 0 when none runs.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         for (int slot = 0; slot < kSlots; ++slot) {
             const auto it = f.busySinceMs.find(slot);
             out.addText("arvokor_slot_busy_since_seconds", {{"slot", Number(slot)}},
                         it == f.busySinceMs.end() ? "0" : secondsText(it->second));
         }
     }},
    {"arvokor_channels_open", "gauge", "Channels open now, by kind.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         for (const auto& [kind, opened] : f.opened) {
             const auto it = f.closed.find(kind);
             const std::uint64_t closed = it == f.closed.end() ? 0 : it->second;
             out.add("arvokor_channels_open", {{"kind", kind}},
                     opened > closed ? opened - closed : 0);
         }
     }},
    {"arvokor_channels_opened_total", "counter", "Channels opened, by kind.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         writeKinds(out, "arvokor_channels_opened_total", f.opened);
     }},
    {"arvokor_channel_bytes_total", "counter", "Bytes the channels received and sent, by kind.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         writeKinds(out, "arvokor_channel_bytes_total", f.bytesIn, "received");
         writeKinds(out, "arvokor_channel_bytes_total", f.bytesOut, "sent");
     }},
    {"arvokor_handle_bytes_total", "counter",
     "Bytes the channels received and sent, by channel handle.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         for (int h = 1; h <= CounterFigures::kHandles; ++h)
             for (const bool in : {true, false})
                 out.add("arvokor_handle_bytes_total",
                         {{"handle", Number(h)}, {"direction", in ? "received" : "sent"}},
                         (in ? f.handleIn : f.handleOut)[static_cast<std::size_t>(h)]);
     }},
    {"arvokor_queue_dropped_bytes_total", "counter",
     "Received bytes a full input queue could not take, by kind.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         writeKinds(out, "arvokor_queue_dropped_bytes_total", f.dropped);
     }},
    {"arvokor_stream_ticks_total", "counter",
     "Clock ticks of the position stream and the speed output.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         out.add("arvokor_stream_ticks_total", {{"stream", "position"}},
                 f.positionSent + f.positionMissed);
         out.add("arvokor_stream_ticks_total", {{"stream", "speed"}}, f.speedTicks);
     }},
    {"arvokor_stream_ticks_missed_total", "counter",
     "Ticks without a position datagram sent or speed registers written.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         out.add("arvokor_stream_ticks_missed_total", {{"stream", "position"}}, f.positionMissed);
         out.add("arvokor_stream_ticks_missed_total", {{"stream", "speed"}}, f.speedMissed);
     }},
    {"arvokor_ftp_transfers_total", "counter", "Job file transfers, by result.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         writeOutcomes(out, "arvokor_ftp_transfers_total", f.ftp);
     }},
    {"arvokor_mails_total", "counter", "Mails the SMTP command sent or failed to send, by result.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         writeOutcomes(out, "arvokor_mails_total", f.mails);
     }},
    {"arvokor_admin_sessions_total", "counter", "Sessions on the admin port.",
     [](Samples& out, const NamedReading&, const CounterFigures& f) {
         out.add("arvokor_admin_sessions_total", {}, f.adminSessions);
     }},
};
constexpr std::size_t kFamilyCount = std::size(kFamilies);

std::string familyHead(const Family& f) {
    return std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type +
           "\n";
}

bool sameCounters(const std::vector<Counter>& a, const std::vector<Counter>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Counter& x, const Counter& y) {
                          return x.value == y.value && x.name == y.name && x.keys == y.keys;
                      });
}

// Everything a part's text depends on (not the time of the reading).
bool sameSource(const NamedReading& a, const NamedReading& b) {
    return a.controller == b.controller && a.refused == b.refused && a.reading.ok == b.reading.ok &&
           a.reading.reason == b.reading.reason &&
           sameCounters(a.reading.counters, b.reading.counters);
}

}  // namespace

void CountersHistory::add(std::int64_t timeMs, const CommandTotals& totals) {
    latest_ = Sample{timeMs, totals};
    if (samples_.empty() || timeMs - samples_.back().timeMs >= kSampleSpacingMs)
        samples_.push_back(*latest_);
    // Keep one sample at least an hour old, as the hour's base.
    while (samples_.size() > 2 && samples_[1].timeMs <= timeMs - kHour) samples_.pop_front();
}

// The newest kept sample at least windowMs before the latest, else the oldest.
const CountersHistory::Sample* CountersHistory::baseFor(std::int64_t windowMs) const {
    if (!latest_ || samples_.empty()) return nullptr;
    const Sample* base = &samples_.front();
    for (const Sample& s : samples_)
        if (s.timeMs <= latest_->timeMs - windowMs) base = &s;
    return base;
}

std::optional<double> CountersHistory::commandsPerMinute() const {
    const Sample* base = baseFor(kMinute);
    if (!base || latest_->timeMs <= base->timeMs) return std::nullopt;
    // A restarted controller counts from zero again.
    const std::uint64_t from = latest_->totals.all >= base->totals.all ? base->totals.all : 0;
    const auto count = static_cast<double>(latest_->totals.all - from);
    const std::int64_t span = latest_->timeMs - base->timeMs;
    // Watched for less than a minute: what that time saw, not an extrapolation.
    return span < kMinute ? count : count * kMinute / static_cast<double>(span);
}

std::optional<std::uint64_t> CountersHistory::failuresLastHour() const {
    const Sample* base = baseFor(kHour);
    if (!base) return std::nullopt;
    const std::uint64_t now = latest_->totals.failed, then = base->totals.failed;
    return now >= then ? now - then : now;
}

std::optional<std::uint64_t> CountersHistory::ticksMissed() const {
    if (!latest_) return std::nullopt;
    return latest_->totals.ticksMissed;
}

// Rows of the page's table: a command's successes, then its other results by code.
nlohmann::json countersJson(const CountersReading& reading) {
    const CounterFigures f = figuresOf(reading.counters);
    nlohmann::json commands = nlohmann::json::array();
    nlohmann::json byResult = nlohmann::json::object();
    for (KorResultClass cls : kClasses) byResult[className(cls)] = f.ofClass(cls);
    for (int k = 0; k < KOR_COMMAND_INDEXES; ++k) {
        const CommandFigures& c = f.commands[static_cast<std::size_t>(k)];
        // A code's meaning as the job sees it ("other": no command's own codes).
        const int id = k < KOR_COMMAND_COUNT ? KOR_COMMAND_IDS[k] : 0;
        auto row = [&](KorResultClass cls, nlohmann::json code, std::uint64_t count) {
            nlohmann::json meaning = code.is_number()
                                         ? nlohmann::json(
                                               kor::admin::resultMeaning(id, code.get<int>()))
                                         : nullptr;
            commands.push_back({{"command", commandLabel(k)},
                                {"result", className(cls)},
                                {"code", std::move(code)},
                                {"meaning", std::move(meaning)},
                                {"count", count}});
        };
        if (const std::uint64_t ok = c.byClass[0]) row(KorResultClass::Success, nullptr, ok);
        std::array<std::uint64_t, KOR_RESULT_CLASSES> coded{};
        for (const auto& [key, v] : c.codes) {
            row(key.first, key.second, v);
            coded[static_cast<std::size_t>(key.first)] += v;
        }
        // Results the controller counted beyond its table of codes.
        for (KorResultClass cls : {KorResultClass::Empty, KorResultClass::Failure}) {
            const auto n = static_cast<std::size_t>(cls);
            if (c.byClass[n] > coded[n]) row(cls, nullptr, c.byClass[n] - coded[n]);
        }
    }
    auto sum = [](const std::map<std::string, std::uint64_t>& m) {
        std::uint64_t s = 0;
        for (const auto& [k, v] : m) s += v;
        return s;
    };
    std::uint64_t ftpFailed = 0, mailsFailed = 0;
    for (const auto& [key, v] : f.ftp) ftpFailed += key.first == "failure" ? v : 0;
    for (const auto& [key, v] : f.mails) mailsFailed += key.first == "failure" ? v : 0;
    return {{"time", reading.timeMs},
            {"ok", reading.ok},
            {"reason", reading.reason},
            {"byResult", byResult},
            {"commands", commands},
            {"bytesIn", sum(f.bytesIn)},
            {"bytesOut", sum(f.bytesOut)},
            {"dropped", sum(f.dropped)},
            {"channelsOpened", sum(f.opened)},
            {"positionDatagrams", f.positionSent},
            {"ticksMissed", f.positionMissed + f.speedMissed},
            {"ftpFailed", ftpFailed},
            {"mailsFailed", mailsFailed},
            {"adminSessions", f.adminSessions}};
}

std::shared_ptr<const MetricsPart> metricsPart(NamedReading reading,
                                               std::shared_ptr<const MetricsPart> previous) {
    if (previous && sameSource(previous->source, reading)) return previous;
    auto part = std::make_shared<MetricsPart>();
    const CounterFigures figures = reading.reading.ok ? figuresOf(reading.reading.counters)
                                                      : CounterFigures{};
    Samples samples(reading.controller);
    // Written into one growing text, kept at its size.
    std::string text;
    samples.into(&text);
    part->families.resize(kFamilyCount);
    for (std::size_t k = 0; k < kFamilyCount; ++k) {
        if (k >= kEveryController && !reading.reading.ok) break;
        text.clear();
        kFamilies[k].write(samples, reading, figures);
        part->families[k] = text;
        part->size += text.size();
    }
    part->source = std::move(reading);
    return part;
}

// Family by family, each with its HELP and TYPE once and every controller's
// samples of it together.
std::string metricsText(const std::vector<std::shared_ptr<const MetricsPart>>& parts) {
    static const std::vector<std::string> heads = [] {
        std::vector<std::string> texts;
        for (const Family& f : kFamilies) texts.push_back(familyHead(f));
        return texts;
    }();
    std::size_t size = 0;
    for (const std::string& head : heads) size += head.size();
    for (const auto& part : parts) size += part->size;
    std::string text;
    text.reserve(size);
    for (std::size_t k = 0; k < kFamilyCount; ++k) {
        text += heads[k];
        for (const auto& part : parts) text += part->families[k];
    }
    return text;
}

// arvokor_up and why not, for every controller; the rest for those read.
std::string metricsText(const std::vector<NamedReading>& readings) {
    std::vector<std::shared_ptr<const MetricsPart>> parts;
    parts.reserve(readings.size());
    for (const NamedReading& r : readings) parts.push_back(metricsPart(r, nullptr));
    return metricsText(parts);
}

}  // namespace kordash

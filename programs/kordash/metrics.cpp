#include "metrics.h"

#include <cstdio>
#include <map>

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
// hundred thousand labels.
void appendEscaped(std::string& out, const std::string& value) {
    for (char ch : value) {
        if (ch == '\\' || ch == '"') out += '\\';
        if (ch == '\n') out += "\\n";
        else out += ch;
    }
}

using Labels = std::vector<std::pair<std::string, std::string>>;

// Writes one metric family after another, each with its HELP and TYPE once.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type +
                 "\n";
    }
    void sample(const std::string& name, const Labels& labels, std::uint64_t value) {
        sampleText(name, labels, std::to_string(value));
    }
    void sampleText(const std::string& name, const Labels& labels, const std::string& value) {
        text_ += name;
        text_ += '{';
        for (std::size_t k = 0; k < labels.size(); ++k) {
            if (k) text_ += ',';
            text_ += labels[k].first;
            text_ += "=\"";
            appendEscaped(text_, labels[k].second);
            text_ += '"';
        }
        text_ += "} ";
        text_ += value;
        text_ += '\n';
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

Labels with(Labels labels, const Labels& more) {
    labels.insert(labels.end(), more.begin(), more.end());
    return labels;
}

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

// Every command's results by class, each series there from the first reading.
void writeCommands(Exposition& out, const Labels& base, const CounterFigures& f) {
    for (int k = 0; k < KOR_COMMAND_INDEXES; ++k)
        for (KorResultClass cls : kClasses)
            out.sample(
                "arvokor_commands_total",
                with(base, {{"command", commandLabel(k)}, {"result", className(cls)}}),
                f.commands[static_cast<std::size_t>(k)].byClass[static_cast<std::size_t>(cls)]);
}

// The results that were no success by code: the codes the table lists for a
// command from the first reading on, others once they happened.
void writeCodes(Exposition& out, const Labels& base, const CounterFigures& f) {
    for (int k = 0; k < KOR_COMMAND_INDEXES; ++k) {
        std::map<std::pair<KorResultClass, int>, std::uint64_t> codes =
            f.commands[static_cast<std::size_t>(k)].codes;
        for (const KorResultCode& c : KOR_RESULT_CODES)
            if (korCommandIndex(c.id) == k && c.cls != KorResultClass::Success)
                codes.try_emplace({c.cls, c.result}, 0);
        if (k == KOR_COMMAND_COUNT) codes.try_emplace({KorResultClass::Failure, 240}, 0);
        for (const auto& [key, v] : codes)
            out.sample("arvokor_command_results_total",
                       with(base, {{"command", commandLabel(k)},
                                   {"result", className(key.first)},
                                   {"code", std::to_string(key.second)}}),
                       v);
    }
}

// Cumulative buckets in seconds by command; the sum when the controller counts it.
void writeDurations(Exposition& out, const Labels& base, const CounterFigures& f) {
    const std::string name = "arvokor_command_duration_seconds", bucket = name + "_bucket";
    // The bounds as text once, not once a bucket.
    static const std::vector<std::string> les = [] {
        std::vector<std::string> texts;
        for (int bound : KOR_DURATION_BOUNDS_MS) texts.push_back(boundText(bound));
        return texts;
    }();
    for (int k = 0; k < KOR_COMMAND_INDEXES; ++k) {
        const CommandFigures& c = f.commands[static_cast<std::size_t>(k)];
        const Labels labels = with(base, {{"command", commandLabel(k)}});
        std::uint64_t below = 0;
        for (int b = 0; b < KOR_DURATION_BOUNDS; ++b) {
            const auto it = c.durations.find(KOR_DURATION_BOUNDS_MS[b]);
            below += it == c.durations.end() ? 0 : it->second;
            out.sample(bucket, with(labels, {{"le", les[static_cast<std::size_t>(b)]}}), below);
        }
        const auto over = c.durations.find(CounterFigures::kOverMs);
        below += over == c.durations.end() ? 0 : over->second;
        out.sample(bucket, with(labels, {{"le", "+Inf"}}), below);
        if (f.hasDurationSums)
            out.sampleText(name + "_sum", labels,
                           secondsText(static_cast<std::int64_t>(c.durationSumMs)));
        out.sample(name + "_count", labels, below);
    }
}

using Writer = void (*)(Exposition&, const Labels&, const CounterFigures&);
struct Family {
    const char* name;
    const char* type;
    const char* help;
    Writer write;
};

void writeKinds(Exposition& out, const std::string& name, const Labels& base,
                const std::map<std::string, std::uint64_t>& byKind, const Labels& more = {}) {
    for (const auto& [kind, v] : byKind)
        out.sample(name, with(with(base, {{"kind", kind}}), more), v);
}

Labels outcomeLabels(const std::pair<std::string, int>& key) {
    Labels l = {{"result", key.first}};
    if (key.first != "success" && key.second != CounterFigures::kNoCode)
        l.emplace_back("code", std::to_string(key.second));
    return l;
}

const Family kFamilies[] = {
    {"arvokor_start_time_seconds", "gauge",
     "When the controller started, in seconds since 1970 (a restart changes it).",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         if (f.startedMs)
             out.sampleText("arvokor_start_time_seconds", base, secondsText(*f.startedMs));
     }},
    {"arvokor_commands_total", "counter",
     "Commands the jobs issued, by command and result class (success, empty, failure).",
     writeCommands},
    {"arvokor_command_results_total", "counter",
     "Commands whose result was no success, by command, class and result code.", writeCodes},
    {"arvokor_command_duration_seconds", "histogram", "How long the commands ran, by command.",
     writeDurations},
    {"arvokor_slot_busy_since_seconds", "gauge",
     "When the command running in a slot started, in seconds since 1970; 0 when none runs.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         for (int slot = 0; slot < kSlots; ++slot) {
             const auto it = f.busySinceMs.find(slot);
             out.sampleText("arvokor_slot_busy_since_seconds",
                            with(base, {{"slot", std::to_string(slot)}}),
                            it == f.busySinceMs.end() ? "0" : secondsText(it->second));
         }
     }},
    {"arvokor_channels_open", "gauge", "Channels open now, by kind.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         for (const auto& [kind, opened] : f.opened) {
             const auto it = f.closed.find(kind);
             const std::uint64_t closed = it == f.closed.end() ? 0 : it->second;
             out.sample("arvokor_channels_open", with(base, {{"kind", kind}}),
                        opened > closed ? opened - closed : 0);
         }
     }},
    {"arvokor_channels_opened_total", "counter", "Channels opened, by kind.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         writeKinds(out, "arvokor_channels_opened_total", base, f.opened);
     }},
    {"arvokor_channel_bytes_total", "counter", "Bytes the channels received and sent, by kind.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         writeKinds(out, "arvokor_channel_bytes_total", base, f.bytesIn,
                    {{"direction", "received"}});
         writeKinds(out, "arvokor_channel_bytes_total", base, f.bytesOut, {{"direction", "sent"}});
     }},
    {"arvokor_handle_bytes_total", "counter",
     "Bytes the channels received and sent, by channel handle.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         for (int h = 1; h <= CounterFigures::kHandles; ++h)
             for (const bool in : {true, false})
                 out.sample("arvokor_handle_bytes_total",
                            with(base, {{"handle", std::to_string(h)},
                                        {"direction", in ? "received" : "sent"}}),
                            (in ? f.handleIn : f.handleOut)[static_cast<std::size_t>(h)]);
     }},
    {"arvokor_queue_dropped_bytes_total", "counter",
     "Received bytes a full input queue could not take, by kind.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         writeKinds(out, "arvokor_queue_dropped_bytes_total", base, f.dropped);
     }},
    {"arvokor_stream_ticks_total", "counter",
     "Clock ticks of the position stream and the speed output.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         out.sample("arvokor_stream_ticks_total", with(base, {{"stream", "position"}}),
                    f.positionSent + f.positionMissed);
         out.sample("arvokor_stream_ticks_total", with(base, {{"stream", "speed"}}), f.speedTicks);
     }},
    {"arvokor_stream_ticks_missed_total", "counter",
     "Ticks without a position datagram sent or speed registers written.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         out.sample("arvokor_stream_ticks_missed_total", with(base, {{"stream", "position"}}),
                    f.positionMissed);
         out.sample("arvokor_stream_ticks_missed_total", with(base, {{"stream", "speed"}}),
                    f.speedMissed);
     }},
    {"arvokor_ftp_transfers_total", "counter", "Job file transfers, by result.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         for (const auto& [key, v] : f.ftp)
             out.sample("arvokor_ftp_transfers_total", with(base, outcomeLabels(key)), v);
     }},
    {"arvokor_mails_total", "counter", "Mails the SMTP command sent or failed to send, by result.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         for (const auto& [key, v] : f.mails)
             out.sample("arvokor_mails_total", with(base, outcomeLabels(key)), v);
     }},
    {"arvokor_admin_sessions_total", "counter", "Sessions on the admin port.",
     [](Exposition& out, const Labels& base, const CounterFigures& f) {
         out.sample("arvokor_admin_sessions_total", base, f.adminSessions);
     }},
};

}  // namespace

CommandTotals totalsOf(const std::vector<Counter>& counters) {
    const CounterFigures f = figuresOf(counters);
    CommandTotals t;
    for (KorResultClass cls : kClasses) t.all += f.ofClass(cls);
    t.failed = f.ofClass(KorResultClass::Failure);
    t.ticksMissed = f.positionMissed + f.speedMissed;
    return t;
}

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

// arvokor_up and why not, for every controller; the rest for those read.
std::string metricsText(const std::vector<NamedReading>& readings) {
    Exposition out;
    out.family("arvokor_up", "gauge",
               "1 when kordash read the controller's counters at its last try.");
    for (const NamedReading& r : readings)
        out.sample("arvokor_up", {{"controller", r.controller}}, r.reading.ok ? 1 : 0);
    out.family("arvokor_down_reason", "gauge",
               "1 for the reason the last try failed (unreachable, refused, busy, broken, "
               "misbehaving).");
    for (const NamedReading& r : readings)
        for (const char* reason : kDownReasons)
            out.sample("arvokor_down_reason", {{"controller", r.controller}, {"reason", reason}},
                       !r.reading.ok && r.reading.reason == reason ? 1 : 0);
    out.family("arvokor_replies_refused_total", "counter",
               "Replies of the controller kordash refused: longer, slower or other than a "
               "controller sends.");
    for (const NamedReading& r : readings)
        out.sample("arvokor_replies_refused_total", {{"controller", r.controller}}, r.refused);
    std::vector<CounterFigures> figures;
    figures.reserve(readings.size());
    for (const NamedReading& r : readings) figures.push_back(figuresOf(r.reading.counters));
    for (const Family& f : kFamilies) {
        out.family(f.name, f.type, f.help);
        for (std::size_t k = 0; k < readings.size(); ++k)
            if (readings[k].reading.ok)
                f.write(out, {{"controller", readings[k].controller}}, figures[k]);
    }
    return out.take();
}

}  // namespace kordash

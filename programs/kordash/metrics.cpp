#include "metrics.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

#include "korCommands.h"
#include "korResults.h"

namespace kordash {
namespace {

constexpr std::int64_t kMinute = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMinute;
// Readings closer than this to the last kept one replace only the latest.
constexpr std::int64_t kSampleSpacingMs = 5000;
// The channel kinds always shown, so that a series exists before its first channel.
constexpr const char* kKinds[] = {"tcpclient", "tcpserver", "accepted", "serial", "udp"};
constexpr int kNoCode = INT_MIN;

int toInt(const std::string& text) {
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

std::string commandLabel(int id) {
    const char* name = korCommandName(id);
    return name ? name : std::to_string(id);
}

// The counters of one reading, grouped the way the metrics show them.
struct Parsed {
    using Outcome = std::tuple<std::string, std::string, int>;  // name, result, code
    std::map<Outcome, std::uint64_t> commands;
    std::map<int, std::uint64_t> durations;  // by upper bound in ms; INT_MAX: above the last
    std::map<std::string, std::uint64_t> opened, closed, bytesIn, bytesOut, dropped;
    std::map<std::pair<std::string, int>, std::uint64_t> ftp, mails;
    std::uint64_t positionSent = 0, positionMissed = 0, speedTicks = 0, speedMissed = 0,
                  adminSessions = 0;
};

// A result class and, for a failure, its code (successes differ only in value).
std::pair<std::string, int> outcome(const char* cls, int code) {
    return {cls, std::string(cls) == "failure" ? code : kNoCode};
}

bool parseKinded(Parsed& p, const Counter& c) {
    static const std::map<std::string, std::map<std::string, std::uint64_t> Parsed::*> byKind = {
        {"channels_opened", &Parsed::opened},
        {"channels_closed", &Parsed::closed},
        {"bytes_in", &Parsed::bytesIn},
        {"bytes_out", &Parsed::bytesOut},
        {"bytes_dropped", &Parsed::dropped}};
    auto it = byKind.find(c.name);
    if (it == byKind.end() || c.keys.size() != 1) return false;
    (p.*(it->second))[c.keys[0]] += c.value;
    return true;
}

bool parseKeyed(Parsed& p, const Counter& c) {
    if (c.keys.size() == 2 && c.name == "command") {
        const int result = toInt(c.keys[1]);
        const auto [cls, code] = outcome(resultClass(result), result);
        p.commands[{commandLabel(toInt(c.keys[0])), cls, code}] += c.value;
    } else if (c.keys.empty() && c.name == "command_other") {
        p.commands[{"other", "unknown", kNoCode}] += c.value;
    } else if (c.keys.size() == 1 && c.name == "duration_ms_le") {
        p.durations[toInt(c.keys[0])] += c.value;
    } else if (c.keys.size() == 1 && c.name == "duration_ms_over") {
        p.durations[INT_MAX] += c.value;
    } else if (c.keys.size() == 1 && c.name == "ftp_transfers") {
        const int code = toInt(c.keys[0]);
        p.ftp[outcome(code == 0 ? "success" : "failure", code)] += c.value;
    } else if (c.keys.size() == 1 && c.name == "mails") {
        const int code = toInt(c.keys[0]);
        p.mails[outcome(code == 1 ? "success" : "failure", code)] += c.value;
    } else {
        return false;
    }
    return true;
}

Parsed parse(const std::vector<Counter>& counters) {
    Parsed p;
    for (const char* kind : kKinds) p.opened[kind] = p.closed[kind] = 0;
    p.bytesIn = p.bytesOut = p.dropped = p.opened;
    const std::map<std::string, std::uint64_t Parsed::*> plain = {
        {"position_datagrams", &Parsed::positionSent},
        {"position_ticks_without", &Parsed::positionMissed},
        {"speed_ticks", &Parsed::speedTicks},
        {"speed_ticks_missed", &Parsed::speedMissed},
        {"admin_sessions", &Parsed::adminSessions}};
    for (const Counter& c : counters) {
        if (parseKinded(p, c) || parseKeyed(p, c)) continue;
        auto it = plain.find(c.name);
        if (it != plain.end() && c.keys.empty()) p.*(it->second) += c.value;
    }
    return p;
}

std::string escapeLabel(const std::string& value) {
    std::string out;
    for (char ch : value) {
        if (ch == '\\' || ch == '"') out += '\\';
        out += ch == '\n' ? std::string("\\n") : std::string(1, ch);
    }
    return out;
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
        text_ += name + "{";
        for (std::size_t k = 0; k < labels.size(); ++k)
            text_ += (k ? "," : "") + labels[k].first + "=\"" + escapeLabel(labels[k].second) +
                     "\"";
        text_ += "} " + std::to_string(value) + "\n";
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

Labels with(Labels labels, const Labels& more) {
    labels.insert(labels.end(), more.begin(), more.end());
    return labels;
}

Labels outcomeLabels(const std::string& result, int code) {
    Labels l = {{"result", result}};
    if (code != kNoCode) l.emplace_back("code", std::to_string(code));
    return l;
}

std::string secondsText(int ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms / 1000.0);
    return text;
}

// Cumulative buckets in seconds; the controller keeps no sum of durations,
// so the histogram has none either.
void writeDurations(Exposition& out, const Labels& base, const Parsed& p) {
    const std::string name = "arvokor_command_duration_seconds";
    std::uint64_t below = 0;
    for (const auto& [boundMs, count] : p.durations) {
        below += count;
        if (boundMs != INT_MAX)
            out.sample(name + "_bucket", with(base, {{"le", secondsText(boundMs)}}), below);
    }
    out.sample(name + "_bucket", with(base, {{"le", "+Inf"}}), below);
    out.sample(name + "_count", base, below);
}

using Writer = void (*)(Exposition&, const Labels&, const Parsed&);
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

const Family kFamilies[] = {
    {"arvokor_commands_total", "counter", "Commands the jobs issued, by command and result class.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         for (const auto& [key, v] : p.commands) {
             const auto& [command, result, code] = key;
             out.sample("arvokor_commands_total",
                        with(with(base, {{"command", command}}), outcomeLabels(result, code)), v);
         }
     }},
    {"arvokor_command_duration_seconds", "histogram", "How long the commands ran.", writeDurations},
    {"arvokor_channels_open", "gauge", "Channels open now, by kind.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         for (const auto& [kind, opened] : p.opened) {
             const auto it = p.closed.find(kind);
             const std::uint64_t closed = it == p.closed.end() ? 0 : it->second;
             out.sample("arvokor_channels_open", with(base, {{"kind", kind}}),
                        opened > closed ? opened - closed : 0);
         }
     }},
    {"arvokor_channels_opened_total", "counter", "Channels opened, by kind.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         writeKinds(out, "arvokor_channels_opened_total", base, p.opened);
     }},
    {"arvokor_channel_bytes_total", "counter", "Bytes the channels received and sent, by kind.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         writeKinds(out, "arvokor_channel_bytes_total", base, p.bytesIn,
                    {{"direction", "received"}});
         writeKinds(out, "arvokor_channel_bytes_total", base, p.bytesOut, {{"direction", "sent"}});
     }},
    {"arvokor_queue_dropped_bytes_total", "counter",
     "Received bytes a full input queue could not take, by kind.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         writeKinds(out, "arvokor_queue_dropped_bytes_total", base, p.dropped);
     }},
    {"arvokor_stream_ticks_total", "counter",
     "Clock ticks of the position stream and the speed output.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         out.sample("arvokor_stream_ticks_total", with(base, {{"stream", "position"}}),
                    p.positionSent + p.positionMissed);
         out.sample("arvokor_stream_ticks_total", with(base, {{"stream", "speed"}}), p.speedTicks);
     }},
    {"arvokor_stream_ticks_missed_total", "counter",
     "Ticks without a position datagram sent or speed registers written.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         out.sample("arvokor_stream_ticks_missed_total", with(base, {{"stream", "position"}}),
                    p.positionMissed);
         out.sample("arvokor_stream_ticks_missed_total", with(base, {{"stream", "speed"}}),
                    p.speedMissed);
     }},
    {"arvokor_ftp_transfers_total", "counter", "Job file transfers, by result.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         for (const auto& [key, v] : p.ftp)
             out.sample("arvokor_ftp_transfers_total",
                        with(base, outcomeLabels(key.first, key.second)), v);
     }},
    {"arvokor_mails_total", "counter", "Mails the SMTP command sent or failed to send, by result.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         for (const auto& [key, v] : p.mails)
             out.sample("arvokor_mails_total", with(base, outcomeLabels(key.first, key.second)), v);
     }},
    {"arvokor_admin_sessions_total", "counter", "Sessions on the admin port.",
     [](Exposition& out, const Labels& base, const Parsed& p) {
         out.sample("arvokor_admin_sessions_total", base, p.adminSessions);
     }},
};

}  // namespace

const char* resultClass(int result) {
    if (result == KOR_RES_NONE) return "none";
    return korResultFailed(result) ? "failure" : "success";
}

CommandTotals totalsOf(const std::vector<Counter>& counters) {
    CommandTotals t;
    for (const Counter& c : counters) {
        if (c.name == "command_other") t.all += c.value;
        if (c.name == "position_ticks_without" || c.name == "speed_ticks_missed")
            t.ticksMissed += c.value;
        if (c.name != "command" || c.keys.size() != 2) continue;
        t.all += c.value;
        if (std::string(resultClass(toInt(c.keys[1]))) == "failure") t.failed += c.value;
    }
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

nlohmann::json countersJson(const CountersReading& reading) {
    const Parsed p = parse(reading.counters);
    nlohmann::json commands = nlohmann::json::array();
    nlohmann::json byResult = {{"success", 0}, {"failure", 0}, {"none", 0}};
    for (const auto& [key, v] : p.commands) {
        const auto& [command, result, code] = key;
        commands.push_back(
            {{"command", command},
             {"result", result},
             {"code", code == kNoCode ? nlohmann::json(nullptr) : nlohmann::json(code)},
             {"count", v}});
        if (byResult.contains(result)) byResult[result] = byResult[result].get<std::uint64_t>() + v;
    }
    auto sum = [](const std::map<std::string, std::uint64_t>& m) {
        std::uint64_t s = 0;
        for (const auto& [k, v] : m) s += v;
        return s;
    };
    std::uint64_t ftpFailed = 0, mailsFailed = 0;
    for (const auto& [key, v] : p.ftp) ftpFailed += key.first == "failure" ? v : 0;
    for (const auto& [key, v] : p.mails) mailsFailed += key.first == "failure" ? v : 0;
    return {{"time", reading.timeMs},
            {"ok", reading.ok},
            {"byResult", byResult},
            {"commands", commands},
            {"bytesIn", sum(p.bytesIn)},
            {"bytesOut", sum(p.bytesOut)},
            {"dropped", sum(p.dropped)},
            {"channelsOpened", sum(p.opened)},
            {"positionDatagrams", p.positionSent},
            {"ticksMissed", p.positionMissed + p.speedMissed},
            {"ftpFailed", ftpFailed},
            {"mailsFailed", mailsFailed},
            {"adminSessions", p.adminSessions}};
}

std::string metricsText(const std::vector<NamedReading>& readings) {
    Exposition out;
    out.family("arvokor_up", "gauge",
               "1 when kordash read the controller's counters at its last try.");
    for (const NamedReading& r : readings)
        out.sample("arvokor_up", {{"controller", r.controller}}, r.reading.ok ? 1 : 0);
    std::vector<Parsed> parsed;
    parsed.reserve(readings.size());
    for (const NamedReading& r : readings) parsed.push_back(parse(r.reading.counters));
    for (const Family& f : kFamilies) {
        out.family(f.name, f.type, f.help);
        for (std::size_t k = 0; k < readings.size(); ++k)
            if (readings[k].reading.ok)
                f.write(out, {{"controller", readings[k].controller}}, parsed[k]);
    }
    return out.take();
}

}  // namespace kordash

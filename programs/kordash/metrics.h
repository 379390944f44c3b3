// The controller's counters as kordash reads them (one ":counters" request
// per reading): the Prometheus text for /metrics, the page's Counters view
// and the overview's figures.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adminClient.h"
#include "counterFigures.h"

namespace kordash {

using kor::admin::Counter;

struct CountersReading {
    std::int64_t timeMs = 0;  // of the last attempt; 0: none yet
    bool ok = false;          // the last attempt read the counters
    std::vector<Counter> counters;
    // Why not: "unreachable", "refused", "busy" (another client holds the
    // admin port), "broken" (the reply was cut or not understood) or
    // "misbehaving" (a reply beyond what a controller sends was refused).
    std::string reason;
};

// The overview's figures over the last minute and hour, from readings kept
// a few seconds apart. Before kordash has watched for that long, they count
// what it saw in the time it has watched.
class CountersHistory {
public:
    void add(std::int64_t timeMs, const CommandTotals& totals);
    std::optional<double> commandsPerMinute() const;
    std::optional<std::uint64_t> failuresLastHour() const;
    std::optional<std::uint64_t> ticksMissed() const;

private:
    struct Sample {
        std::int64_t timeMs;
        CommandTotals totals;
    };
    const Sample* baseFor(std::int64_t windowMs) const;
    std::deque<Sample> samples_;
    std::optional<Sample> latest_;
};

// A controller's counters for the page: totals, by command and result, bytes.
nlohmann::json countersJson(const CountersReading& reading);

struct NamedReading {
    std::string controller;
    CountersReading reading;
    std::uint64_t refused = 0;  // replies refused as beyond what a controller sends
};
// The Prometheus text exposition (version 0.0.4) of every controller's last reading.
std::string metricsText(const std::vector<NamedReading>& readings);

// One controller's share of that text: its samples family by family, kept
// while its reading stays the same, so that a scrape of a few hundred
// controllers mostly copies text.
struct MetricsPart {
    NamedReading source;                // what the text was rendered from
    std::vector<std::string> families;  // in the order of the exposition
    std::size_t size = 0;               // of all of them
};
// The part for this reading: `previous` itself when rendered from the same
// one (its time aside), else rendered anew.
std::shared_ptr<const MetricsPart> metricsPart(NamedReading reading,
                                               std::shared_ptr<const MetricsPart> previous);
// The text of these parts, in their order.
std::string metricsText(const std::vector<std::shared_ptr<const MetricsPart>>& parts);
inline constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace kordash

// The controller's counters as kordash reads them (one ":counters" request
// per reading): the Prometheus text for /metrics, the page's Counters view
// and the overview's figures.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adminClient.h"

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

struct CommandTotals {
    std::uint64_t all = 0, failed = 0, ticksMissed = 0;
};
CommandTotals totalsOf(const std::vector<Counter>& counters);

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
inline constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace kordash

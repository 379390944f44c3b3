// The controllers one kordash watches: a dashboard each, each with its own
// refresh thread, so an unreachable controller delays none of the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dashboard.h"
#include "metrics.h"

namespace kordash {

struct ControllerEntry {
    std::string name;  // empty: its address
    ControllerOptions options;
};

class Fleet {
public:
    explicit Fleet(const std::vector<ControllerEntry>& entries);
    ~Fleet() { stop(); }  // before the pulse the dashboards' threads signal goes
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;
    // Opens every controller's state file (and the stream socket); false with *error.
    bool open(const std::string& streamHost, std::string* error);
    void start();
    void stop();

    std::size_t size() const { return dashboards_.size(); }
    Dashboard& at(std::size_t k) { return *dashboards_[k]; }

    // A count of the snapshots any dashboard published: waits (bounded) for
    // one beyond `seen`; false on time-out or stop.
    bool nextPulse(std::uint64_t seen, std::chrono::milliseconds wait, std::uint64_t* now);
    std::uint64_t pulse();
    // Keeps every dashboard refreshing for the overview; empty when one of
    // them has no room for another watcher.
    std::vector<std::shared_ptr<Dashboard::Watch>> watchAll(const std::string& address);
    // {"rows": [...]}: one row per controller, as JSON text. Only the rows
    // whose controller's summary changed are built again; *generation counts
    // the changes (the same number: the same text as before).
    std::string overview(std::uint64_t* generation);
    // The Prometheus text of every controller's last counters reading.
    std::string metrics();

private:
    nlohmann::json rowOf(std::size_t k, const Summary& s);

    std::vector<std::string> names_;
    std::vector<std::unique_ptr<Dashboard>> dashboards_;
    std::mutex mutex_;  // guards the two below; taken after a dashboard's lock
    std::condition_variable pulsed_;
    std::uint64_t pulse_ = 0;
    bool stopping_ = false;

    std::mutex overviewMutex_;  // guards the three below; taken before a dashboard's lock
    std::vector<std::optional<Summary>> shown_;  // what each row's text shows
    std::vector<std::string> rowText_;
    std::uint64_t overviewGeneration_ = 0;
    std::string overviewText_;

    // Each controller's last /metrics part: a scrape renders again only those
    // whose reading changed. Held only to take or keep the pointers.
    std::mutex metricsMutex_;
    std::vector<std::shared_ptr<const MetricsPart>> metricsParts_;
};

}  // namespace kordash
